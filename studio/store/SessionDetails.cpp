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

Result<std::optional<Details>> load(Database& database, const QString& sessionId) {
    Statement session = database.prepare(
        "SELECT u.name, d.name, p.title, s.stage, s.note, s.started_at, s.ended_at, COALESCE(s.end_kind, '') "
        "FROM sessions s JOIN devices d ON d.id = s.device_id JOIN users u ON u.id = d.user_id "
        "JOIN projects p ON p.id = s.project_id WHERE s.id = ?");
    const Result<bool> found = session.bind(1, sessionId).fetch();
    if (!found)
        return found.error();
    if (!*found)
        return std::optional<Details>();
    Details details;
    details.id = sessionId;
    details.userName = session.text(0);
    details.deviceName = session.text(1);
    details.projectTitle = session.text(2);
    details.stage = session.text(3);
    details.note = session.text(4);
    details.startedAt = session.integer(5);
    if (!session.isNull(6))
        details.endedAt = session.integer(6);
    details.endKind = session.text(7);

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
