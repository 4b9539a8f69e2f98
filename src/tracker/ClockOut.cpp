#include "tracker/Tracker.h"

#include "tracker/Minutes.h"
#include "tracker/RunHandle.h"
#include "tracker/Texts.h"

#include <algorithm>

QCoro::Task<> Tracker::stop(QString reason)
{
    co_await clockOut(std::move(reason), std::nullopt);
}

QCoro::Task<> Tracker::clockOut(QString reason, std::optional<qint64> endedAt)
{
    // A clock-in waiting for the service: the new generation tells it to close its session itself.
    if (m_starting && !m_active) {
        m_generation = QUuid::createUuid();
        setStatus(reason);
        setCaptureStatus(texts::kScreenshotsOff);
        co_return;
    }
    if (!m_active || !m_work) {
        // A stage switch between its clock-out and its clock-in: ending tracking now means staying out.
        if (m_switchingStage && !m_switchEndedBy) {
            m_switchEndedBy = reason;
            setStatus(reason);
        }
        co_return;
    }

    // Everything up to the first wait happens at once, so the rest of the agent sees a clocked-out tracker.
    const QString sessionId = m_work->id;
    setActive(false);
    m_generation = QUuid::createUuid();
    if (m_timer) {
        m_timer->invalidate();
        m_timer.reset();
    }
    for (const MouseMonitor::Token token : std::as_const(m_monitors))
        m_platform.mouse->remove(token);
    m_monitors.clear();
    m_platform.capture->endSession();
    const std::shared_ptr<RunHandle> run = std::exchange(m_uploadTask, nullptr);
    if (run)
        run->requestCancel();
    m_uploading = false;

    // Never before the end of the last report sent: a clock stepped back must not close the session before
    // activity the studio already holds.
    const qint64 clockOutTime = std::max(endedAt.value_or(serviceNow()), m_intervalStart);
    queueOwn(sessionId, clockOutTime);

    std::optional<QByteArray> finalReport;
    const qint64 length = clockOutTime - m_intervalStart;
    if (length >= 1 && length <= 75)
        finalReport = records::encode(activityReport(clockOutTime));

    m_work.reset();
    m_apps.clear();
    m_moves = 0;
    m_clicks = 0;
    m_mouseSeconds = 0;
    m_mouseInTick = false;
    setStatus(reason);
    setCaptureStatus(texts::kScreenshotsOff);
    setBusy(true);

    // The cancelled run ends at its next check; only then is its unfinished report ours to resend.
    if (run)
        co_await run->waitUntilEnded();

    bool finalActivityFailed = false;
    if (const std::shared_ptr<API> api = m_api) {
        const QString path = minutes::reportPath(sessionId);
        const std::stop_token giveUp = m_giveUp.get_token();
        if (m_inFlightData) {
            const QByteArray unfinished = *m_inFlightData;
            const Result<QByteArray> resent = co_await api->request(path, unfinished, true, giveUp);
            finalActivityFailed = !resent.ok();
        }
        if (finalReport && !finalActivityFailed) {
            const Result<QByteArray> sent = co_await api->request(path, *finalReport, true, giveUp);
            finalActivityFailed = !sent.ok();
        }
    }
    m_inFlightData.reset();

    if (Result<> flushed = co_await flushStops(); !flushed)
        setStatus(reason + (pendingOnDisk() ? texts::kSavedLocallyNotice : texts::kNotSavedNotice));
    else if (finalActivityFailed)
        setStatus(reason + texts::kFinalReportNotice);
    m_sleepDelay.reset();
    setBusy(false);
}
