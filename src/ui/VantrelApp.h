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

    // Opens the window and puts the item in the tray.
    void start();
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
