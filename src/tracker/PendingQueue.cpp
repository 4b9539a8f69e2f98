#include "tracker/Tracker.h"

#include "tracker/RunHandle.h"
#include "tracker/Texts.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>

QList<PendingStop> Tracker::pending() const
{
    const std::optional<QByteArray> bytes = m_platform.defaults->data(texts::kPendingKey);
    if (!bytes)
        return {};
    Result<QList<PendingStop>> stops = records::decodePendingStops(*bytes);
    return stops ? std::move(*stops) : QList<PendingStop>{};
}

void Tracker::setPending(const QList<PendingStop>& stops)
{
    const QByteArray bytes = records::encodePendingStops(stops);
    if (bytes.isEmpty())
        m_platform.defaults->remove(texts::kPendingKey);
    else
        m_platform.defaults->setData(texts::kPendingKey, bytes);
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
