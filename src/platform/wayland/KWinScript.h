#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

// The agent's script inside KWin, KDE Plasma's compositor: no ordinary Wayland client is told which window
// has focus or where the pointer is, but a KWin script is.  Loaded over D-Bus (org.kde.KWin /Scripting
// loadScript, then run on the script's object), it calls back into this object on every window activation
// and, while pointer counting is on, once a second with the moves of that second.  Unloaded with this object.
// Everything runs on the main thread, nothing blocks except the unload at exit.
class KWinScript final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.vantrel.KWinScript")
    Q_DISABLE_COPY_MOVE(KWinScript)

public:
    struct Window {
        QString desktopFile;   // KWin's desktop file name (a Wayland window's app_id)
        QString resourceClass; // the app_id again, or an X11 window's WM_CLASS class
        QString processName;   // the process's own name, read once at activation
    };

    static constexpr const char* kPluginName = "vantrel-activity";

    // Starts loading.  Where KWin's scripting does not answer or refuses, one line saying why goes to the
    // log (the desktop's journal) and failure() keeps it.
    explicit KWinScript(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);
    ~KWinScript() override;

    // Whether KWin runs the script (it said so itself), and whether that one counts the pointer.
    bool isRunning() const { return m_running; }
    bool isCountingPointer() const { return m_running && m_runningCounts; }
    const QString& failure() const { return m_failure; }
    // The last window KWin activated; nothing before the script reported or when no window is active.
    const std::optional<Window>& activeWindow() const { return m_active; }

    // Pointer counting costs KWin a little on every move, so it is on only while someone listens: the script
    // is loaded again with it switched on or off.
    void setCountingPointer(bool on);
    std::function<void(qint64 moves)> onPointerMoved;

public Q_SLOTS:
    // Called by the script only; calls from anyone else are refused.
    Q_SCRIPTABLE void windowActivated(const QString& desktopFile, const QString& resourceClass, const QString& pid);
    Q_SCRIPTABLE void pointerMoved(const QString& moves);
    Q_SCRIPTABLE void started(const QString& load);

private:
    bool fromKWin();
    void load();
    void loaded(int id, const QString& kwin, int generation);
    void run(QStringList paths, int generation);
    void fail(const QString& reason);
    QString scriptText() const;
    QDBusMessage scripting(const QString& method, const QVariantList& arguments) const;

    QDBusConnection m_bus;
    QString m_failure;
    QString m_path;
    QString m_scriptFile;
    QString m_kwin; // KWin's unique name on the bus, once it answered
    bool m_running = false;
    bool m_runningCounts = false;
    int m_startedGeneration = -1;
    bool m_countingPointer = false;
    int m_generation = 0; // each load; answers to an older one are ignored
    int m_attempts = 0;
    std::optional<Window> m_active;
};
