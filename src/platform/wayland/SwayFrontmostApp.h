#pragma once

#include "platform/FrontmostApp.h"
#include "platform/common/DesktopEntryNames.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QLocalSocket>
#include <QObject>

// The focused window of sway and other compositors that speak its IPC (SWAYSOCK), named by its desktop
// entry, else by its app_id (or X11 class under XWayland).  One connection listens for focus and workspace
// changes, a second asks for the tree after each; name() only reads the answer, so a tick never waits.
class SwayFrontmostApp final : public QObject, public FrontmostApp {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SwayFrontmostApp)

public:
    explicit SwayFrontmostApp(QString socketPath, QObject* parent = nullptr);
    ~SwayFrontmostApp() override;

    std::optional<QString> name() override;

    // The app_id (or X11 class) of the focused window in a get_tree answer; nothing when no window has focus.
    static std::optional<QString> focusedApplication(const QJsonObject& tree);

private:
    void connectToSway();
    void readEvents();
    void readTree();
    void askForTree();

    QString m_socketPath;
    QLocalSocket m_events;
    QLocalSocket m_query;
    QByteArray m_eventBuffer;
    QByteArray m_queryBuffer;
    bool m_asking = false;
    bool m_askAgain = false;
    QElapsedTimer m_sinceConnect;
    std::optional<QString> m_current;
    DesktopEntryNames m_names;
};
