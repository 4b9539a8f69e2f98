#pragma once

#include "records/Records.h"
#include "store/Database.h"

#include <QList>
#include <QString>

#include <optional>

// One work session as its page and its CSV show it: its facts, each report in order, and its screenshots.
namespace sessiondetails {

struct Report {
    qint64 seq = 0;
    qint64 startedAt = 0;
    qint64 endedAt = 0;
    qint64 mouseMoves = 0;
    qint64 clicks = 0;
    qint64 activeSeconds = 0;
    QList<AppSeconds> apps; // most seconds first
    int screenshots = 0;
};

struct Screenshot {
    qint64 id = 0;
    qint64 seq = 0;
    QString displayId;
    qint64 capturedAt = 0;
};

// What a session is, as clock-in and clock-out left it.
struct Facts {
    QString id;
    QString userName;
    QString deviceName;
    QString projectTitle;
    QString stage;
    QString note;
    qint64 startedAt = 0;
    std::optional<qint64> endedAt;
    QString endKind; // "stopped", "expired", or empty while open
};

// The columns a session's facts come from, and the tables they join (aliases s, d, u, p); a query selects
// these first, in this order, so that readFacts() reads them.
#define VANTREL_SESSION_FACTS_COLUMNS                                                                                  \
    "s.id, u.name, d.name, p.title, s.stage, s.note, s.started_at, s.ended_at, COALESCE(s.end_kind, '')"
#define VANTREL_SESSION_FACTS_FROM                                                                                     \
    "FROM sessions s JOIN devices d ON d.id = s.device_id JOIN users u ON u.id = d.user_id "                           \
    "JOIN projects p ON p.id = s.project_id"
inline constexpr int kFactsColumnCount = 9;
void readFacts(const Statement& row, Facts& facts);

struct Details : Facts {
    QList<Report> reports;         // by seq
    QList<Screenshot> screenshots; // by display (in number order), then time
    QList<AppSeconds> apps;        // over the whole session, most seconds first
};

// No value: there is no such session.
Result<std::optional<Details>> load(Database& database, const QString& sessionId);

} // namespace sessiondetails
