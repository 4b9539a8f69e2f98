#pragma once

#include "platform/FrontmostApp.h"
#include "platform/MouseMonitor.h"
#include "platform/common/DesktopEntryNames.h"
#include "platform/common/MouseHandlers.h"

#include <QDBusConnection>
#include <QObject>

#include <memory>

class QDBusServiceWatcher;

// GNOME Shell tells no ordinary client which window has focus or where the pointer went; our own extension
// (src/platform/wayland/gnome-shell) does, over the session bus.  This follows its focus signal and, while a
// handler is installed, its once-a-second pointer counts, delivered as that many moves and clicks.  Where the
// extension is installed but off, it is switched on through org.gnome.Shell.Extensions; where it is missing,
// one line in the log says why every application is "Unknown app".
class GnomeShellActivity final : public QObject, public FrontmostApp {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(GnomeShellActivity)

public:
    // The extension's uuids: the ES-module form for GNOME 45 and later, the older form before.
    static const QString kModuleUuid;
    static const QString kLegacyUuid;

    explicit GnomeShellActivity(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);
    ~GnomeShellActivity() override;

    std::optional<QString> name() override;
    // The focused window's application id as the extension told it; empty when none or unknown.
    QString applicationId() const { return m_appId; }

    // Pointer moves and clicks as MouseMonitor events, while at least one handler is installed.
    MouseMonitor::Token watchPointer(MouseMonitor::Handler handler);
    void unwatchPointer(MouseMonitor::Token token);

    // Why applications are not named, when they are not: for the log and the tests.
    QString problem() const { return m_problem; }

Q_SIGNALS:
    void focusChanged();

private Q_SLOTS:
    void onFocusChanged(const QString& appId, uint pid, const QString& title);
    void onPointerActivity(uint moves, uint clicks);

private:
    void onExtensionAppeared();
    void onExtensionVanished();
    void askForFocus();
    void checkInstalled();
    void judgeInstalled(bool failed, const QHash<QString, QVariantMap>& infos);
    void report(const QString& problem);

    QDBusConnection m_bus;
    QDBusServiceWatcher* m_watcher = nullptr;
    QString m_appId;
    QString m_problem;
    bool m_enableAsked = false;
    MouseHandlers m_pointer;
    DesktopEntryNames m_names;
};

// On GNOME: active seconds from the compositor's idle monitor, moves and clicks from the extension.
class GnomeMouseMonitor final : public MouseMonitor {
public:
    GnomeMouseMonitor(std::shared_ptr<MouseMonitor> idle, std::shared_ptr<GnomeShellActivity> shell);

    std::optional<Token> install(Handler handler) override;
    void remove(Token token) override;

private:
    struct Installed {
        std::optional<Token> idle;
        Token pointer;
    };
    std::shared_ptr<MouseMonitor> m_idle;
    std::shared_ptr<GnomeShellActivity> m_shell;
    std::map<Token, Installed> m_installed;
    Token m_next = 1;
};
