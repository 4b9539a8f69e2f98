#include "tracker/Tracker.h"

#include "tracker/Compression.h"
#include "tracker/Minutes.h"
#include "tracker/RunHandle.h"
#include "tracker/Texts.h"

#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotimer.h>

#include <algorithm>
#include <chrono>

namespace {

constexpr double kCaptureCadence = 30.0;
constexpr qsizetype kMostDisplays = 8;
constexpr int kLargestWidth = 1440;
constexpr qint64 kJpegLimit = 200'000;
constexpr qint64 kShortestReport = 1;
constexpr qint64 kLongestReport = 75;

// Capture size: at most 1440 wide, the height scaled alike (truncated, at least 1).
QSize captureSize(const DisplayInfo& display)
{
    const int width = std::clamp(display.width, 1, kLargestWidth);
    if (display.width <= 0)
        return {width, std::max(1, display.height)};
    const double height = static_cast<double>(display.height) * width / display.width;
    return {width, std::max(1, static_cast<int>(height))};
}

// Waits `duration`; a stop request ends the wait early.  False when the wait was cancelled.
QCoro::Task<bool> sleepUnlessCancelled(std::chrono::milliseconds duration, std::stop_token cancel)
{
    if (cancel.stop_requested())
        co_return false;
    QTimer timer;
    timer.setSingleShot(true);
    // A coarse timer may fire up to 5 % early, and a wait that ends before the service clock has moved
    // on would leave the first report of a fast capture zero seconds long.
    timer.setTimerType(Qt::PreciseTimer);
    const std::stop_callback wake(cancel, [&timer] {
        QMetaObject::invokeMethod(&timer, [&timer] { timer.start(0); }, Qt::QueuedConnection);
    });
    timer.start(duration);
    co_await timer;
    co_return !cancel.stop_requested();
}

} // namespace

void Tracker::launchRun(QUuid generation)
{
    // The handle exists before the run does, so a clock-out can cancel and await a run not yet begun.
    auto run = std::make_shared<RunHandle>();
    m_uploadTask = run;
    QMetaObject::invokeMethod(
        this, [this, run, generation] { runToEnd(run, generation); }, Qt::QueuedConnection);
}

QCoro::Task<> Tracker::runToEnd(std::shared_ptr<RunHandle> run, QUuid generation)
{
    co_await sendMinute(generation, run->token());
    run->markEnded();
}

QCoro::Task<> Tracker::sendMinute(QUuid generation, std::stop_token cancel)
{
    if (!m_active || !m_api || !m_work || generation != m_generation)
        co_return;
    const std::shared_ptr<bool> alive = m_alive;
    const Result<> outcome = co_await captureAndSend(generation, cancel, m_api, m_work->id);
    if (outcome || !*alive)
        co_return;
    if (m_active && generation == m_generation) {
        // This run is the one in `uploadTask`: the clock-out must neither cancel nor await it.
        m_uploadTask.reset();
        // A capture that failed on the desktop's side has nothing to do with the connection.  The text is a
        // named local: GCC 12 destroys temporaries of a co_await expression twice.
        const QString& reason = outcome.error().description();
        const QString text = outcome.error().kind() == Error::Kind::Platform ? texts::captureEnded(reason)
                                                                              : texts::runFailed(reason);
        co_await stop(text);
    }
}

Minute Tracker::activityReport(qint64 ended) const
{
    const qint64 length = ended - m_intervalStart;
    Minute minute;
    minute.seq = m_seq;
    minute.started_at = m_intervalStart;
    minute.ended_at = ended;
    minute.mouse_moves = m_moves;
    minute.clicks = m_clicks;
    minute.mouse_active_seconds = std::min(m_mouseSeconds, length);
    minute.apps = minutes::budget(m_apps, length);
    return minute;
}

QCoro::Task<Result<>> Tracker::captureAndSend(QUuid generation, std::stop_token cancel, std::shared_ptr<API> api,
                                              QString sessionId)
{
    // A run that is no longer current ends quietly: an ok result with nothing changed.  Whether the
    // tracker still exists is asked first, after every wait.
    const auto current = [this, alive = m_alive, generation, cancel] {
        return *alive && !cancel.stop_requested() && m_active && generation == m_generation;
    };
    ScreenCapture& capture = *m_platform.capture;
    if (!capture.isCaptureAllowed())
        co_return Error::api(0, texts::kPermissionRemoved);
    const Result<QList<DisplayInfo>> displays = co_await capture.displays();
    if (!current())
        co_return Result<>{};
    if (!displays)
        co_return displays.error();
    if (displays->isEmpty() || displays->size() > kMostDisplays)
        co_return Error::api(0, texts::kNoDisplays);

    QList<Shot> shots;
    for (const DisplayInfo& display : *displays) {
        if (!current())
            co_return Result<>{};
        const Result<QImage> image = co_await capture.capture(display, captureSize(display));
        if (!current())
            co_return Result<>{};
        if (!image)
            co_return image.error();
        // Compression runs on a worker thread; only its result comes back here.
        // The future is made outside the co_await: GCC 12 destroys a lambda temporary of a co_await twice.
        QFuture<Result<QByteArray>> compressing = QtConcurrent::run(
            [picture = *image, encoder = m_platform.jpeg] { return compressScreenshot(picture, kJpegLimit, *encoder); });
        const Result<QByteArray> jpeg = co_await compressing;
        if (!current())
            co_return Result<>{};
        if (!jpeg)
            co_return jpeg.error();
        shots.append(Shot{QString::number(display.id), serviceNow(), QString::fromLatin1(jpeg->toBase64())});
    }

    if (m_intervalStart >= serviceNow()) {
        if (!co_await sleepUnlessCancelled(std::chrono::seconds(1), cancel))
            co_return Error::platform(QStringLiteral("Capture was cancelled."));
    }

    if (!current())
        co_return Result<>{};
    // A capture held up across a sleep resumes here before any tick has seen the wake: the tick's check
    // decides, and the session ends as a tick would end it, without the sleep.
    if (interrupted(m_platform.clock->uptime())) {
        m_uploadTask.reset(); // this run: the clock-out must not wait for it
        co_await clockOut(texts::kInterrupted, interruptionEnd());
        co_return Result<>{};
    }
    // From here to the reset there is no wait: activity so far is in this report, later activity in the next.
    const qint64 ended = serviceNow();
    const qint64 length = ended - m_intervalStart;
    if (length < kShortestReport || length > kLongestReport)
        co_return Error::api(0, texts::kCaptureInterrupted);
    Minute minute = activityReport(ended);
    minute.screenshots = std::move(shots);
    m_intervalStart = ended;
    // The ticks' writes wait for no disk; each report makes the queued clock-out durable.
    queueOwn(sessionId, ended);
    ++m_seq;
    m_apps.clear();
    m_moves = 0;
    m_clicks = 0;
    m_mouseSeconds = 0;

    const QByteArray body = records::encode(minute);
    m_inFlightData = body;
    const std::shared_ptr<bool> alive = m_alive;
    const Result<QByteArray> sent = co_await api->request(minutes::reportPath(sessionId), body, true, cancel);
    if (!*alive)
        co_return Result<>{};
    if (!sent)
        co_return sent.error();
    m_inFlightData.reset();
    if (m_active && generation == m_generation) {
        m_nextCapture += kCaptureCadence;
        m_uploading = false;
        setCaptureStatus(texts::kScreenshotUploaded);
    }
    co_return Result<>{};
}
