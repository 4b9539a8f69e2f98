#include "store/Timesheets.h"

#include <QDateTime>
#include <QHash>

#include <algorithm>

namespace timesheets {

namespace {

// The filter as SQL over sessions `s`, devices `d` and projects `p`, and its values in order.
struct Where {
    QByteArray sql;
    QList<QString> texts;
    qint64 userId = 0;

    Statement& bind(Statement& statement, qint64 rangeStart, qint64 rangeEnd) const {
        statement.bind(1, rangeEnd);
        statement.bind(2, rangeStart);
        int index = 2;
        if (userId != 0)
            statement.bind(++index, userId);
        for (const QString& text : texts)
            statement.bind(++index, text);
        return statement;
    }
};

Where where(const Filter& filter) {
    // Open sessions have no end yet and overlap any range that starts before now.
    Where out{"s.started_at < ? AND (s.ended_at IS NULL OR s.ended_at > ?)", {}, filter.userId};
    if (filter.userId != 0)
        out.sql += " AND d.user_id = ?";
    if (!filter.projectId.isEmpty()) {
        out.sql += " AND s.project_id = ?";
        out.texts.append(filter.projectId);
    }
    if (!filter.stage.isEmpty()) {
        out.sql += " AND s.stage = ?";
        out.texts.append(filter.stage);
    }
    return out;
}

} // namespace

qint64 dayStart(const QDate& day, const QTimeZone& zone) {
    return day.startOfDay(zone).toSecsSinceEpoch();
}

Filter thisWeek(const QTimeZone& zone, qint64 now) {
    const QDate today = QDateTime::fromSecsSinceEpoch(now, zone).date();
    const QDate monday = today.addDays(1 - today.dayOfWeek());
    return Filter{monday, monday.addDays(6), 0, {}, {}};
}

Result<Timesheet> query(Database& database, const Filter& filter, const QTimeZone& zone, qint64 now) {
    Timesheet sheet{filter, zone, {}};
    // Each day's first instant, and the one after the last day.
    QList<qint64> bounds;
    for (QDate day = filter.from; day <= filter.to.addDays(1); day = day.addDays(1))
        bounds.append(dayStart(day, zone));
    const qint64 rangeStart = bounds.first();
    const qint64 rangeEnd = bounds.last();
    const Where condition = where(filter);

    const QByteArray sessionsSql =
        "SELECT s.id, d.user_id, u.name, s.project_id, p.title, s.stage, s.started_at, s.ended_at, "
        "COALESCE(s.end_kind, ''), s.active_seconds " VANTREL_SESSION_FACTS_FROM " WHERE " +
        condition.sql + " ORDER BY u.name, d.user_id, s.started_at, s.id";
    Statement sessions = database.prepare(sessionsSql.constData());
    condition.bind(sessions, rangeStart, rangeEnd);
    // Where each session's parts are, for the active seconds below.
    QHash<QString, qsizetype> firstPart;
    while (sessions.next()) {
        Entry entry{sessions.text(0),
                    sessions.integer(1),
                    sessions.text(2),
                    sessions.text(3),
                    sessions.text(4),
                    sessions.text(5),
                    {},
                    0,
                    0,
                    0,
                    {}};
        const qint64 started = sessions.integer(6);
        const bool open = sessions.isNull(7);
        const qint64 ended = open ? std::max(started, now) : sessions.integer(7);
        entry.endKind = open ? QStringLiteral("open") : sessions.text(8);
        const qsizetype first = sheet.entries.size();
        for (qsizetype i = 0; i + 1 < bounds.size(); ++i) {
            entry.start = std::max(started, bounds[i]);
            entry.end = std::min(ended, bounds[i + 1]);
            if (entry.end <= entry.start)
                continue;
            entry.day = filter.from.addDays(i);
            sheet.entries.append(entry);
        }
        // A session that lies within one day of the range takes the running total of its reports; only those
        // split at midnight or at the range's ends need their reports read.
        if (sheet.entries.size() == first + 1 && started >= rangeStart && ended <= rangeEnd)
            sheet.entries.last().activeSeconds = std::min(sheet.entries.last().seconds(), sessions.integer(9));
        else if (sheet.entries.size() > first)
            firstPart.insert(entry.sessionId, first);
    }
    if (Result<> read = sessions.status(); !read)
        return read.error();
    if (firstPart.isEmpty())
        return sheet;

    // The other sessions' active seconds, each report counted on the day it started.
    auto assign = [&](Statement& active) -> Result<> {
        while (active.next()) {
            const QString id = active.text(0);
            const auto at = firstPart.constFind(id);
            if (at == firstPart.constEnd())
                continue;
            const QDate day = filter.from.addDays(active.integer(1));
            for (qsizetype i = *at; i < sheet.entries.size() && sheet.entries[i].sessionId == id; ++i) {
                Entry& entry = sheet.entries[i];
                // A report that began just before midnight, or after a clamped stop, cannot make a part more
                // than wholly active.
                if (entry.day == day)
                    entry.activeSeconds = std::min(entry.seconds(), active.integer(2));
            }
        }
        return active.status();
    };
    const QByteArray inRange = " AND m.started_at >= " + QByteArray::number(rangeStart) + " AND m.started_at < " +
                               QByteArray::number(rangeEnd);

    // The day's number comes from the boundaries, which only this process knows in the studio's zone.
    QByteArray dayOf = "CASE";
    for (qsizetype i = 1; i + 1 < bounds.size(); ++i)
        dayOf += " WHEN m.started_at < " + QByteArray::number(bounds[i]) + " THEN " + QByteArray::number(i - 1);
    dayOf += " ELSE " + QByteArray::number(bounds.size() - 2) + " END";
    const QStringList split = firstPart.keys();
    constexpr qsizetype kIdsPerQuery = 200;
    for (qsizetype first = 0; first < split.size(); first += kIdsPerQuery) {
        const QStringList ids = split.mid(first, kIdsPerQuery);
        QByteArray placeholders = "?";
        placeholders += QByteArray(", ?").repeated(ids.size() - 1);
        const QByteArray daysSql = "SELECT m.session_id, " + dayOf +
                                   " AS day, SUM(m.mouse_active_seconds) FROM minutes m WHERE m.session_id IN (" +
                                   placeholders + ")" + inRange + " GROUP BY m.session_id, day";
        Statement days = database.prepare(daysSql.constData());
        for (qsizetype i = 0; i < ids.size(); ++i)
            days.bind(int(i + 1), ids[i]);
        if (Result<> read = assign(days); !read)
            return read.error();
    }
    return sheet;
}

Result<QList<Session>> sessions(Database& database, const Filter& filter, const QTimeZone& zone) {
    const Where condition = where(filter);
    const QByteArray sql = "SELECT " VANTREL_SESSION_FACTS_COLUMNS
                           ", d.user_id, s.project_id, s.active_seconds, s.last_report_at " VANTREL_SESSION_FACTS_FROM
                           " WHERE " +
                           condition.sql + " ORDER BY s.started_at, s.id";
    Statement query = database.prepare(sql.constData());
    condition.bind(query, dayStart(filter.from, zone), dayStart(filter.to.addDays(1), zone));
    QList<Session> found;
    constexpr int kMore = sessiondetails::kFactsColumnCount;
    while (query.next()) {
        Session session;
        sessiondetails::readFacts(query, session);
        session.userId = query.integer(kMore);
        session.projectId = query.text(kMore + 1);
        session.activeSeconds = query.integer(kMore + 2);
        if (!query.isNull(kMore + 3))
            session.lastReportAt = query.integer(kMore + 3);
        found.append(session);
    }
    if (Result<> read = query.status(); !read)
        return read.error();
    return found;
}

} // namespace timesheets
