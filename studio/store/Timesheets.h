#pragma once

#include "store/Database.h"
#include "store/SessionDetails.h"

#include <QDate>
#include <QList>
#include <QString>
#include <QTimeZone>

#include <optional>

// Working hours as the studio's managers count them: each session from its start to its end (the stop's time, or
// for a session that fell silent its last report), split at the studio's local midnights.  Reports give only the
// active seconds, never the hours.
namespace timesheets {

struct Filter {
    QDate from; // the studio's local days, both included
    QDate to;
    qint64 userId = 0; // 0: everyone
    QString projectId; // empty: every project
    QString stage;     // empty: every stage
};

// One session's part of one local day.
struct Entry {
    QString sessionId;
    qint64 userId = 0;
    QString userName;
    QString projectId;
    QString projectTitle;
    QString stage;
    QDate day;
    qint64 start = 0; // seconds since 1970 UTC, within the day
    qint64 end = 0;
    qint64 activeSeconds = 0; // of the reports that started within this part, at most end - start
    QString endKind;          // "stopped", "expired" (ended at its last report) or "open" (counted until now)
    qint64 seconds() const { return end - start; }
};

struct Timesheet {
    Filter filter;
    QTimeZone zone;
    QList<Entry> entries; // by editor, then time
};

// The longest range one timesheet covers.
constexpr qint64 kMaxDays = 366;

// The Monday-to-Sunday week that holds `now` in `zone`.
Filter thisWeek(const QTimeZone& zone, qint64 now);
// The instant a local day begins; a day whose midnight is skipped by a clock change begins at its first instant.
qint64 dayStart(const QDate& day, const QTimeZone& zone);

Result<Timesheet> query(Database& database, const Filter& filter, const QTimeZone& zone, qint64 now);

// A session that overlaps a timesheet's range, whole, with the running total of its reports.
struct Session : sessiondetails::Facts {
    qint64 userId = 0;
    QString projectId;
    qint64 activeSeconds = 0;
    std::optional<qint64> lastReportAt;
};
// The sessions a timesheet of `filter` counts, by start.
Result<QList<Session>> sessions(Database& database, const Filter& filter, const QTimeZone& zone);

} // namespace timesheets
