#include "tracker/Tracker.h"

#include "tracker/Texts.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>

#include <chrono>

QCoro::Task<> Tracker::start()
{
    if (m_active || m_busy || !m_api || m_projectID.isEmpty())
        co_return;
    setBusy(true);
    m_starting = true;
    m_generation = QUuid::createUuid();
    const QUuid startCopy = m_generation;

    bool sessionQueued = false;
    const Result<> outcome = co_await clockIn(m_api, startCopy, sessionQueued);
    // Whatever kept the clock-in from tracking also closes the capture it opened.
    if (!m_active)
        m_platform.capture->endSession();
    if (!outcome) {
        setStatus(outcome.error().description());
        // Closes at once a session the service may have opened although its answer was lost.  A clock-in
        // refused because the queue could not be delivered has asked for no session: nothing to send again.
        if (sessionQueued)
            co_await flushStops();
    }
    setBusy(false);
    m_starting = false;
}

QCoro::Task<Result<>> Tracker::clockIn(std::shared_ptr<API> api, QUuid startCopy, bool& sessionQueued)
{
    // No new session before every earlier one is closed on the service.
    if (Result<> flushed = co_await flushStops(); !flushed)
        co_return flushed.error();

    if (!co_await m_platform.capture->checkCaptureAccess()) {
        m_platform.capture->requestCaptureAccess();
        co_return Error::api(0, m_platform.capture->accessInstructions());
    }
    // Where the desktop streams the screens, the streams open now and stay open until the clock-out.
    // The handler is a named local: GCC 12 destroys temporaries of a co_await expression twice.
    std::function<void(QString)> captureEnded = [self = QPointer<Tracker>(this)](QString reason) {
        if (self && self->m_active)
            self->stop(texts::captureEnded(reason));
    };
    if (const QString starting = m_platform.capture->sessionStartText(); !starting.isEmpty())
        setStatus(starting);
    const Result<> opened = co_await m_platform.capture->beginSession(std::move(captureEnded));
    if (!opened)
        co_return opened.error();

    // The clock-out of the session is queued before the session is asked for, so it is closed even when
    // the answer never arrives.
    const QString sessionId = QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
    queueOwn(sessionId, static_cast<qint64>(m_platform.clock->wallClock()));
    sessionQueued = true;

    const QByteArray body = QJsonDocument(QJsonObject{
                                              {QStringLiteral("id"), sessionId},
                                              {QStringLiteral("project_id"), m_projectID},
                                              {QStringLiteral("stage"), m_stage},
                                              {QStringLiteral("note"), m_note},
                                          })
                                .toJson(QJsonDocument::Compact);
    const Result<QByteArray> answer = co_await api->request(QStringLiteral("/device/sessions"), body, true);
    if (!answer)
        co_return answer.error();
    const Result<WorkSession> work = records::decode<WorkSession>(*answer);
    if (!work)
        co_return work.error();

    if (m_generation != startCopy) {
        // A clock-out ran meanwhile: the user stays out and the new session closes where it opened.
        queueOwn(work->id, work->started_at);
        if (Result<> flushed = co_await flushStops(); !flushed) {
            sessionQueued = false; // just tried: it waits for the next delivery
            co_return flushed.error();
        }
        co_return Result<>{};
    }

    beginTracking(*work, sessionId);
    co_return Result<>{};
}

void Tracker::beginTracking(const WorkSession& work, const QString& sessionId)
{
    // No wait from here to the launch of the first run: nobody sees a half-set tracking state.
    m_work = work;
    m_offset = static_cast<double>(work.started_at) - m_platform.clock->wallClock();
    m_intervalStart = work.started_at;
    m_seq = 0;
    m_apps.clear();
    m_moves = 0;
    m_clicks = 0;
    m_mouseSeconds = 0;
    m_mouseInTick = false;
    m_inFlightData.reset();
    m_generation = QUuid::createUuid();
    setElapsed(0);
    const double now = m_platform.clock->uptime();
    m_startUptime = now;
    m_lastTick = now;
    m_nextCapture = now;
    setActive(true);
    setStatus(texts::kClockedIn);
    setCaptureStatus(texts::kCapturingFirst);

    queueOwn(sessionId, work.started_at);

    installMouseMonitors();
    m_timer = m_platform.timers->scheduleRepeating(std::chrono::seconds(1), [self = QPointer<Tracker>(this)] {
        // Each firing is a job of its own on the main thread, never run inside the timer's callback.
        if (self)
            QMetaObject::invokeMethod(
                self.data(), [self] { if (self) self->tick(); }, Qt::QueuedConnection);
    });
    if (m_platform.systemEvents)
        m_sleepDelay = m_platform.systemEvents->delaySleep();

    m_uploading = true;
    launchRun(m_generation);
}
