#pragma once

#include "tracker/Tracker.h"

#include <QMessageBox>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <functional>

class QTimer;

// The one way the agent ends.  Clocked out and not clocking in: quit at once.  Otherwise clock out
// first and quit when the clock-out has been delivered or queued.  Quitting is delayed, never cancelled;
// a request while a clock-out is under way adds nothing, and a request after one that did not end the
// event loop tries again.
//
// Once the clock-out is queued on disk, a studio that does not answer holds the quit a few seconds at most:
// the next start delivers it.  A clock-out that neither the disk nor the studio took is never dropped
// silently: a quit the user asked for stays on screen with a question; a quit from the session (a signal,
// a logout) keeps trying for a few seconds more, then leaves the clock-out in the log and ends, well within
// the grace a session manager gives before it kills.
class QuitRequest final : public QObject {
    Q_OBJECT
public:
    // Who asked: the user (the tray's Quit) can be asked back; the session (SIGTERM, a logout) cannot wait.
    enum class Route { User, Session };

    // `quit` ends the process's event loop; by default one that no window can refuse.  Tests pass their own.
    explicit QuitRequest(std::function<void()> quit = &QuitRequest::exitEventLoop, QObject* parent = nullptr);
    ~QuitRequest() override;
    Q_DISABLE_COPY_MOVE(QuitRequest)

    static const QString kReason;
    static const QString kUnsavedQuestion;
    // How long a quit waits for a studio to take a clock-out that is safe on disk.
    static constexpr std::chrono::seconds kDeliveryWait{5};
    // How long a quit from the session goes on trying to keep a clock-out that is only in memory.
    static constexpr std::chrono::seconds kSessionGrace{10};

    // Ends every running event loop with status 0.  QCoreApplication::quit() would first ask each visible
    // window to close, and the staff window refuses (it hides), which would cancel the quit.
    static void exitEventLoop();

    // Linked once the window has been on screen; a request before that quits at once.
    void setTracker(Tracker* tracker) { m_tracker = tracker; }

    void request(Route route = Route::User);

    // A clock-out is under way and the quit waits for it.
    bool waiting() const { return m_waiting; }
    // The question shown while a clock-out is held only in memory; null when none is.
    QMessageBox* question() const { return m_question; }

private:
    // After the clock-out: quit, unless the clock-out is held only in memory.
    void settle(Route route);
    // The clock-out is on disk or delivered now: nothing can be lost any more.
    bool kept() const;
    void finish();

    std::function<void()> m_quit;
    QPointer<Tracker> m_tracker;
    bool m_waiting = false;
    // The event loop has ended; nothing is left to do.
    bool m_finished = false;
    QPointer<QMessageBox> m_question;
    // Looks again while the clock-out is held only in memory.
    QTimer* m_recheck = nullptr;
};
