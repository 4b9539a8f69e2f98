#include "tracker/Tracker.h"

#include "tracker/RunHandle.h"
#include "tracker/Texts.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QScopeGuard>

#include <chrono>

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
    // Held here until the disk takes it: a full disk or a read-only home must not lose a clock-out.  Every
    // later write and a retry every few seconds try again.
    m_unsavedPending = stops;
    if (writePending() || m_pendingRetry)
        return;
    m_pendingRetry = m_platform.timers->scheduleRepeating(std::chrono::seconds(5), [self = QPointer<Tracker>(this)] {
        if (self)
            QMetaObject::invokeMethod(
                self.data(), [self] { if (self) self->writePending(); }, Qt::QueuedConnection);
    });
}

bool Tracker::writePending()
{
    if (!m_unsavedPending)
        return true;
    const QByteArray bytes = records::encodePendingStops(*m_unsavedPending);
    const bool written = bytes.isEmpty() ? m_platform.defaults->remove(texts::kPendingKey)
                                         : m_platform.defaults->setData(texts::kPendingKey, bytes);
    if (written) {
        m_unsavedPending.reset();
        m_pendingRetry.reset();
        // The clock-out's outcome line no longer tells the truth once the entry is on disk.
        if (m_status.endsWith(texts::kNotSavedNotice))
            setStatus(m_status.chopped(texts::kNotSavedNotice.size()) + texts::kSavedLocallyNotice);
    }
    return written;
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
    const auto ended = qScopeGuard([this, delivery] {
        m_flushing.reset();
        delivery->markEnded();
    });
    const std::shared_ptr<API> api = m_api;
    if (!api)
        co_return Result<>{};
    const QList<PendingStop> snapshot = pending();
    for (const PendingStop& entry : snapshot) {
        const QByteArray body =
            QJsonDocument(QJsonObject{{QStringLiteral("ended_at"), entry.endedAt}}).toJson(QJsonDocument::Compact);
        const Result<QByteArray> answer = co_await api->request(
            QStringLiteral("/device/sessions/") + entry.id + QStringLiteral("/stop"), body, true);
        const bool taken =
            answer || (answer.error().isAPIError() && (answer.error().status() == 404 || answer.error().status() == 401));
        if (!taken)
            co_return answer.error();
        // Remove by id from what is stored now: an entry written meanwhile for another session stays.
        QList<PendingStop> current = pending();
        current.removeIf([&entry](const PendingStop& stop) { return stop.id == entry.id; });
        setPending(current);
    }
    co_return Result<>{};
}
