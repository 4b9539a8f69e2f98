#pragma once

#include <QObject>

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
