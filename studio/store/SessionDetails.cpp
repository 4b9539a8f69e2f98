#include "store/SessionDetails.h"

#include <QHash>

#include <algorithm>

namespace sessiondetails {

namespace {

void sortApps(QList<AppSeconds>& apps) {
    std::sort(apps.begin(), apps.end(), [](const AppSeconds& a, const AppSeconds& b) {
        return a.seconds != b.seconds ? a.seconds > b.seconds : a.name < b.name;
    });
}

} // namespace

void readFacts(const Statement& row, Facts& facts) {
    facts.id = row.text(0);
    facts.userName = row.text(1);
    facts.deviceName = row.text(2);
    facts.projectTitle = row.text(3);
    facts.stage = row.text(4);
    facts.note = row.text(5);
    facts.startedAt = row.integer(6);
    if (!row.isNull(7))
        facts.endedAt = row.integer(7);
    facts.endKind = row.text(8);
}

Result<std::optional<Details>> load(Database& database, const QString& sessionId) {
    Statement session =
        database.prepare("SELECT " VANTREL_SESSION_FACTS_COLUMNS " " VANTREL_SESSION_FACTS_FROM " WHERE s.id = ?");
    const Result<bool> found = session.bind(1, sessionId).fetch();
    if (!found)
        return found.error();
    if (!*found)
        return std::optional<Details>();
    Details details;
    readFacts(session, details);

    QHash<qint64, qsizetype> bySeq;
    Statement reports = database.prepare("SELECT seq, started_at, ended_at, mouse_moves, clicks, "
                                         "mouse_active_seconds FROM minutes WHERE session_id = ? ORDER BY seq");
    reports.bind(1, sessionId);
    while (reports.next()) {
        bySeq.insert(reports.integer(0), details.reports.size());
        details.reports.append({reports.integer(0),
                                reports.integer(1),
                                reports.integer(2),
                                reports.integer(3),
                                reports.integer(4),
                                reports.integer(5),
                                {},
                                0});
    }
    if (Result<> read = reports.status(); !read)
        return read.error();

    // Application seconds are bounded per report on input, so these sums cannot overflow.
    QHash<QString, qsizetype> appIndex;
    Statement apps = database.prepare("SELECT seq, name, seconds FROM minute_apps WHERE session_id = ?");
    apps.bind(1, sessionId);
    while (apps.next()) {
        const QString name = apps.text(1);
        const qint64 seconds = apps.integer(2);
        if (const auto report = bySeq.constFind(apps.integer(0)); report != bySeq.constEnd())
            details.reports[*report].apps.append({name, seconds});
        auto at = appIndex.constFind(name);
        if (at == appIndex.constEnd()) {
            at = appIndex.insert(name, details.apps.size());
            details.apps.append({name, 0});
        }
        details.apps[*at].seconds += seconds;
    }
    if (Result<> read = apps.status(); !read)
        return read.error();
    sortApps(details.apps);
    for (Report& report : details.reports)
        sortApps(report.apps);

    Statement shots = database.prepare(
        "SELECT id, seq, display_id, captured_at FROM screenshots WHERE session_id = ? ORDER BY seq, id");
    shots.bind(1, sessionId);
    while (shots.next()) {
        details.screenshots.append({shots.integer(0), shots.integer(1), shots.text(2), shots.integer(3)});
        if (const auto report = bySeq.constFind(shots.integer(1)); report != bySeq.constEnd())
            ++details.reports[*report].screenshots;
    }
    if (Result<> read = shots.status(); !read)
        return read.error();
    // Display ids are numbers in text: "10" comes after "9".
    std::stable_sort(details.screenshots.begin(), details.screenshots.end(),
                     [](const Screenshot& a, const Screenshot& b) {
                         return a.displayId.size() != b.displayId.size() ? a.displayId.size() < b.displayId.size()
                                                                         : a.displayId < b.displayId;
                     });
    return std::optional(std::move(details));
}

} // namespace sessiondetails
