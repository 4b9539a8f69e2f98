#pragma once

#include "tracker/Tracker.h"

#include <QObject>
#include <QPointer>

#include <functional>

// The one way the agent ends.  Clocked out and not clocking in: quit at once.  Otherwise clock out
// first and quit when the clock-out has been delivered or queued.  Quitting is delayed, never cancelled;
// a request while a clock-out is under way adds nothing, and a request after one that did not end the
// event loop tries again.
class QuitRequest final : public QObject {
    Q_OBJECT
public:
    // `quit` ends the process's event loop; by default one that no window can refuse.  Tests pass their own.
    explicit QuitRequest(std::function<void()> quit = &QuitRequest::exitEventLoop, QObject* parent = nullptr);
    Q_DISABLE_COPY_MOVE(QuitRequest)

    static const QString kReason;

    // Ends every running event loop with status 0.  QCoreApplication::quit() would first ask each visible
    // window to close, and the staff window refuses (it hides), which would cancel the quit.
    static void exitEventLoop();

    // Linked once the window has been on screen; a request before that quits at once.
    void setTracker(Tracker* tracker) { m_tracker = tracker; }

    void request();

    // A clock-out is under way and the quit waits for it.
    bool waiting() const { return m_waiting; }

private:
    std::function<void()> m_quit;
    QPointer<Tracker> m_tracker;
    bool m_waiting = false;
    // The event loop has ended; nothing is left to do.
    bool m_finished = false;
};
