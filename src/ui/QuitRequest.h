#pragma once

#include "tracker/Tracker.h"

#include <QObject>
#include <QPointer>

#include <functional>

// The one way the agent ends.  Clocked out and not clocking in: quit at once.  Otherwise clock out
// first and quit when the clock-out has been delivered or queued.  Quitting is delayed, never cancelled;
// a request while one is under way adds nothing.
class QuitRequest final : public QObject {
    Q_OBJECT
public:
    // `quit` ends the process's event loop; tests pass their own.
    explicit QuitRequest(std::function<void()> quit, QObject* parent = nullptr);
    Q_DISABLE_COPY_MOVE(QuitRequest)

    static const QString kReason;

    // Linked once the window has been on screen; a request before that quits at once.
    void setTracker(Tracker* tracker) { m_tracker = tracker; }

    void request();

    // A clock-out is under way and the quit waits for it.
    bool waiting() const { return m_waiting; }

private:
    void finish();

    std::function<void()> m_quit;
    QPointer<Tracker> m_tracker;
    bool m_waiting = false;
    bool m_finished = false;
};
