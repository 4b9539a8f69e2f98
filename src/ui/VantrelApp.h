#pragma once

#include <QObject>

#include <chrono>
#include <memory>

class QSessionManager;
class QuitRequest;
class StaffWindow;
class Tracker;
class TrayMenu;
class UnixSignals;

// The running agent: the staff window, the tray item and the quit handling over one tracker.
class VantrelApp final : public QObject {
    Q_OBJECT
public:
    explicit VantrelApp(Tracker* tracker, QObject* parent = nullptr);
    ~VantrelApp() override;
    Q_DISABLE_COPY_MOVE(VantrelApp)

    // Names, desktop entry and widget style of the process; called once, before any window exists.
    static void configureApplication();
    // Tells the user why the agent cannot start when its runtime folder is unusable; the exit status.
    static int reportNoRuntimeDirectory(const QString& directory);
    // The Wayland session's support could not be loaded (a broken installation): says so, with the reason.
    static int reportNoWaylandSupport(const QString& why);

    // How long a login start waits for a tray host: panels often come up a moment after the agent.
    static constexpr std::chrono::seconds kTrayHostWait{5};
    // For a login start, before any tray icon or window exists: returns once a tray host is there (a
    // StatusNotifier host on the session bus, or an X11 system tray), or after `limit`.  It asks the bus and
    // the X server itself, not Qt: Qt settles once per process whether its tray icons are StatusNotifier
    // items, and a host that appears after that decision would never be used.
    static void waitForTrayHost(std::chrono::milliseconds limit);

    enum class Start { WithWindow, InTray };
    // Puts the item in the tray and opens the window; InTray leaves the window closed where a tray shows
    // the item (a login start), and opens it anyway where there is no tray to reach the agent from.
    void start(Start mode = Start::WithWindow);
    // "Open Vantrel", a later launch, a click on the tray item.
    void bringForward();

    StaffWindow* window() const { return m_window.get(); }
    TrayMenu* tray() const { return m_tray; }
    QuitRequest* quitRequest() const { return m_quit; }

private:
    void onContentShown();

    Tracker* m_tracker;
    std::unique_ptr<StaffWindow> m_window;
    TrayMenu* m_tray;
    QuitRequest* m_quit;
    UnixSignals* m_signals;
};
