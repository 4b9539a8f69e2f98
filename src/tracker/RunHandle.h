#pragma once

#include <QObject>

#include <qcoro/qcorotask.h>

#include <stop_token>

// The handle of one job of the tracker that others may have to wait for: a capture-and-report run, or a
// delivery of the clock-out queue.  Cancelling is a request the run notices at its next check; whoever must
// not go on while the job lives (the clock-out, a second delivery) waits until it has ended.
class RunHandle final : public QObject {
    Q_OBJECT

public:
    RunHandle() = default;
    Q_DISABLE_COPY_MOVE(RunHandle)

    std::stop_token token() const { return m_stop.get_token(); }
    void requestCancel() { m_stop.request_stop(); }
    bool cancelled() const { return m_stop.stop_requested(); }
    bool hasEnded() const { return m_ended; }

    // Called once by the run itself, on every path out of it.
    void markEnded();
    // Resumes once the run has ended; at once if it already has.
    QCoro::Task<> waitUntilEnded();

Q_SIGNALS:
    void ended();

private:
    std::stop_source m_stop;
    bool m_ended = false;
};
