#include "tracker/Tracker.h"

#include "tracker/RunHandle.h"
#include "tracker/Texts.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QScopeGuard>

#include <algorithm>
#include <chrono>

namespace {

// Automatic delivery: the first retry after this, doubling after each failure up to the last.
constexpr std::chrono::seconds kFirstRetry{15};
constexpr std::chrono::seconds kLastRetry{600};
// Another computer's entry refreshed this recently is still being tracked there.
constexpr qint64 kForeignLiveSeconds = 300;

} // namespace

QList<PendingStop> Tracker::pending() const
{
    if (m_unsavedPending)
        return *m_unsavedPending;
    const std::optional<QByteArray> bytes = m_platform.defaults->data(texts::kPendingKey);
    if (!bytes)
        return {};
    Result<QList<PendingStop>> stops = records::decodePendingStops(*bytes);
    return stops ? std::move(*stops) : QList<PendingStop>{};
}

void Tracker::setPending(const QList<PendingStop>& stops)
{
    storePending(stops, true);
}

void Tracker::storePending(const QList<PendingStop>& stops, bool synced)
{
    // Held here until the disk takes it: a full disk or a read-only home must not lose a clock-out.  Every
    // later write and a retry every few seconds try again.
    m_unsavedPending = stops;
    if (writePending(synced) || m_pendingRetry)
        return;
    m_pendingRetry = m_platform.timers->scheduleRepeating(std::chrono::seconds(5), [self = QPointer<Tracker>(this)] {
        if (self)
            QMetaObject::invokeMethod(
                self.data(), [self] { if (self) self->writePending(true); }, Qt::QueuedConnection);
    });
}

bool Tracker::writePending(bool synced)
{
    if (!m_unsavedPending)
        return true;
    const QByteArray bytes = records::encodePendingStops(*m_unsavedPending);
    Defaults& defaults = *m_platform.defaults;
    const bool written = bytes.isEmpty() ? defaults.remove(texts::kPendingKey)
                         : synced        ? defaults.setData(texts::kPendingKey, bytes)
                                         : defaults.cacheData(texts::kPendingKey, bytes);
    if (written) {
        m_unsavedPending.reset();
        m_pendingRetry.reset();
        // The clock-out's outcome line no longer tells the truth once the entry is on disk.
        if (m_status.endsWith(texts::kNotSavedNotice))
            setStatus(m_status.chopped(texts::kNotSavedNotice.size()) + texts::kSavedLocallyNotice);
    }
    return written;
}

void Tracker::queueOwn(const QString& sessionId, qint64 endedAt, bool synced)
{
    // The queue may be shared with other computers (a network home folder): their entries stay.
    QList<PendingStop> stops = pending();
    stops.removeIf([this](const PendingStop& stop) { return stop.host.isEmpty() || stop.host == m_computer; });
    stops.append(PendingStop{sessionId, endedAt, m_computer});
    storePending(stops, synced);
}

bool Tracker::ownQueued() const
{
    const QList<PendingStop> stops = pending();
    return std::any_of(stops.cbegin(), stops.cend(),
                       [this](const PendingStop& stop) { return stop.host.isEmpty() || stop.host == m_computer; });
}

bool Tracker::trackedElsewhere(const PendingStop& stop) const
{
    // A live session's entry is refreshed every second; one left alone for minutes has lost its writer.
    return !stop.host.isEmpty() && stop.host != m_computer && serviceNow() - stop.endedAt < kForeignLiveSeconds;
}

void Tracker::giveUpDelivery()
{
    m_giveUp.request_stop();
}

QCoro::Task<Result<>> Tracker::flushStops()
{
    // One delivery at a time: a caller that comes while one is under way waits for it, then delivers what
    // is left, so a clock-out is never sent twice and never overtaken by the session opened after it.
    while (m_flushing) {
        const std::shared_ptr<RunHandle> underWay = m_flushing;
        co_await underWay->waitUntilEnded();
    }
    const auto delivery = std::make_shared<RunHandle>();
    m_flushing = delivery;
    // An automatic delivery has no caller to keep the tracker alive while it waits for the studio.
    const std::shared_ptr<bool> alive = m_alive;
    const auto ended = qScopeGuard([this, delivery, alive] {
        if (*alive)
            m_flushing.reset();
        delivery->markEnded();
    });
    const std::shared_ptr<API> api = m_api;
    if (!api)
        co_return Result<>{};
    const std::stop_token giveUp = m_giveUp.get_token();
    const QList<PendingStop> snapshot = pending();
    bool leftAlone = false;
    for (const PendingStop& entry : snapshot) {
        if (trackedElsewhere(entry)) {
            leftAlone = true; // looked at again once it may have gone stale
            continue;
        }
        const QByteArray body =
            QJsonDocument(QJsonObject{{QStringLiteral("ended_at"), entry.endedAt}}).toJson(QJsonDocument::Compact);
        const Result<QByteArray> answer = co_await api->request(
            QStringLiteral("/device/sessions/") + entry.id + QStringLiteral("/stop"), body, true, giveUp);
        if (!*alive)
            co_return Error::platform(QStringLiteral("Vantrel is quitting."));
        const bool taken =
            answer || (answer.error().isAPIError() && (answer.error().status() == 404 || answer.error().status() == 401));
        if (!taken) {
            scheduleDelivery(true);
            co_return answer.error();
        }
        // Remove by id from what is stored now: an entry written meanwhile for another session stays.
        QList<PendingStop> current = pending();
        current.removeIf([&entry](const PendingStop& stop) { return stop.id == entry.id; });
        setPending(current);
    }
    scheduleDelivery(leftAlone);
    co_return Result<>{};
}

void Tracker::scheduleDelivery(bool backOff)
{
    // While anything is queued, it is delivered again on its own, waiting longer after each failure; a
    // session being tracked here is not queued for delivery but for its clock-out.
    if (!backOff)
        m_retryDelay = kFirstRetry;
    if (!m_api || pending().isEmpty()) {
        m_deliveryRetry.reset();
        return;
    }
    const std::chrono::seconds delay = m_retryDelay;
    if (backOff)
        m_retryDelay = std::min(m_retryDelay * 2, kLastRetry);
    m_deliveryRetry = m_platform.timers->scheduleRepeating(delay, [self = QPointer<Tracker>(this)] {
        if (self)
            QMetaObject::invokeMethod(
                self.data(), [self] { if (self) self->deliverOnItsOwn(); }, Qt::QueuedConnection);
    });
}

QCoro::Task<> Tracker::deliverOnItsOwn()
{
    m_deliveryRetry.reset();
    // A clock-in, clock-out or connection under way delivers the queue itself.
    if (m_active || m_busy || m_starting)
        co_return;
    const std::shared_ptr<bool> alive = m_alive;
    if (Result<> flushed = co_await flushStops(); !flushed || !*alive)
        co_return;
    // The clock-out's outcome line said it would sync later: it has.
    if (m_status.endsWith(texts::kSavedLocallyNotice) && !m_active && !m_busy)
        setStatus(m_status.chopped(texts::kSavedLocallyNotice.size()));
}

void Tracker::deliverSoon()
{
    // The network changed: what failed before may go through now.
    m_retryDelay = kFirstRetry;
    if (m_deliveryRetry)
        deliverOnItsOwn();
}
