#include "pages/TimesheetPage.h"

#include "pages/AdminPage.h"
#include "pages/Csv.h"
#include "pages/LocalClock.h"
#include "pages/SessionPage.h"

#include <QDateTime>
#include <QMap>
#include <QUrlQuery>

using AdminPage::escaped;
using timesheets::Entry;
using timesheets::Filter;
using timesheets::Timesheet;

namespace {

const QString kDateFormat = QStringLiteral("yyyy-MM-dd");

// Seconds worked and active, summed for one cell of a table.
struct Hours {
    qint64 seconds = 0;
    qint64 active = 0;
    bool expired = false; // holds a session counted to its last report
    bool open = false;    // holds a session still clocked in, counted until now
    void add(const Entry& entry) {
        seconds += entry.seconds();
        active += entry.activeSeconds;
        expired = expired || entry.endKind == u"expired";
        open = open || entry.endKind == u"open";
    }
};

// Hours and minutes, the seconds kept for whoever reads the page by machine.
QString hours(const Hours& cell) {
    if (cell.seconds == 0)
        return QStringLiteral("<td class=\"n muted\"><data value=\"0\">–</data></td>");
    const qint64 minutes = (cell.seconds + 30) / 60;
    QString marks;
    if (cell.expired)
        marks += QStringLiteral("<sup title=\"ended when it fell silent\">†</sup>");
    if (cell.open)
        marks += QStringLiteral("<sup title=\"still clocked in\">*</sup>");
    return QStringLiteral("<td class=\"n\"><data value=\"%1\">%2:%3</data>%4</td>")
        .arg(cell.seconds)
        .arg(minutes / 60)
        .arg(minutes % 60, 2, 10, QLatin1Char('0'))
        .arg(marks);
}

QString activeShare(const Hours& cell) {
    if (cell.seconds == 0)
        return QStringLiteral("<td class=\"n muted\">–</td>");
    return QStringLiteral("<td class=\"n\">%1 %</td>")
        .arg(qRound64(100.0 * double(cell.active) / double(cell.seconds)));
}

QString dayHeading(const QDate& day) {
    return day.toString(QStringLiteral("ddd d MMM"));
}

QString localTime(qint64 seconds, const QTimeZone& zone, const QString& format) {
    return QDateTime::fromSecsSinceEpoch(seconds, zone).toString(format);
}

QString option(const QString& value, const QString& label, const QString& selected) {
    return QStringLiteral("<option value=\"%1\"%2>%3</option>")
        .arg(escaped(value), value == selected ? QStringLiteral(" selected") : QString(), escaped(label));
}

QString select(const QString& name, const QString& label, const QString& everyone, const QList<Studio::Choice>& items,
               const QString& selected) {
    QString html = QStringLiteral("<label>%1<select name=\"%2\">").arg(label, name) + option({}, everyone, selected);
    for (const Studio::Choice& item : items)
        html += option(item.id, item.label, selected);
    return html + QStringLiteral("</select></label>");
}

QString query(const Filter& filter) {
    QStringList items;
    auto add = [&](const char* key, const QString& value) {
        items.append(QString::fromLatin1(key) + u'=' + QString::fromLatin1(QUrl::toPercentEncoding(value)));
    };
    add("from", filter.from.toString(kDateFormat));
    add("to", filter.to.toString(kDateFormat));
    if (filter.userId != 0)
        add("editor", QString::number(filter.userId));
    if (!filter.projectId.isEmpty())
        add("project", filter.projectId);
    if (!filter.stage.isEmpty())
        add("stage", filter.stage);
    return items.join(u'&');
}

QString form(const Filter& filter, const TimesheetPage::Choices& choices) {
    QList<Studio::Choice> stages;
    for (const QString& stage : Studio::stages())
        stages.append({stage, stage});
    // A filter on a stage that is no longer offered still shows what it is.
    if (!filter.stage.isEmpty() && !Studio::stages().contains(filter.stage))
        stages.append({filter.stage, filter.stage});
    const qint64 length = filter.from.daysTo(filter.to) + 1;
    Filter earlier = filter;
    earlier.from = filter.from.addDays(-length);
    earlier.to = filter.to.addDays(-length);
    Filter later = filter;
    later.from = filter.from.addDays(length);
    later.to = filter.to.addDays(length);
    return QStringLiteral("<form method=\"get\" action=\"/admin/timesheet\">"
                          "<label>From<input type=\"date\" name=\"from\" value=\"%1\" required></label>"
                          "<label>To<input type=\"date\" name=\"to\" value=\"%2\" required></label>")
               .arg(filter.from.toString(kDateFormat), filter.to.toString(kDateFormat)) +
           select(u"editor"_qs, u"Editor"_qs, u"Everyone"_qs, choices.users,
                  filter.userId ? QString::number(filter.userId) : QString()) +
           select(u"project"_qs, u"Project"_qs, u"Every project"_qs, choices.projects, filter.projectId) +
           select(u"stage"_qs, u"Stage"_qs, u"Every stage"_qs, stages, filter.stage) +
           QStringLiteral("<button type=\"submit\">Show</button></form>\n"
                          "<p><a href=\"/admin/timesheet?%1\">← Earlier</a> · <a href=\"/admin/timesheet\">This "
                          "week</a> · <a href=\"/admin/timesheet?%2\">Later →</a> · "
                          "<a href=\"/admin/timesheet.csv?%3\">Download as CSV</a></p>\n")
               .arg(escaped(query(earlier)), escaped(query(later)), escaped(query(filter)));
}

// A table of totals by one key, largest first.
QString totals(const QString& heading, const QString& column, const QMap<QString, Hours>& rows) {
    QList<QPair<QString, Hours>> sorted;
    for (auto row = rows.cbegin(); row != rows.cend(); ++row)
        sorted.append({row.key(), row.value()});
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto& a, const auto& b) { return a.second.seconds > b.second.seconds; });
    QString html = QStringLiteral("<h2>%1</h2>\n<table><thead><tr><th>%2</th><th class=\"n\">Hours</th>"
                                  "<th class=\"n\">Active</th></tr></thead><tbody>\n")
                       .arg(heading, column);
    for (const auto& [name, cell] : sorted)
        html += QStringLiteral("<tr><td>%1</td>").arg(escaped(name)) + hours(cell) + activeShare(cell) +
                QStringLiteral("</tr>\n");
    return html + QStringLiteral("</tbody></table>\n");
}

QString endText(const QString& endKind) {
    if (endKind == u"expired")
        return QStringLiteral("fell silent: counted to its last report");
    if (endKind == u"open")
        return QStringLiteral("still clocked in: counted until now");
    return QStringLiteral("clocked out");
}

} // namespace

namespace TimesheetPage {

Result<Filter> filter(const QByteArray& rawQuery, const QTimeZone& zone, qint64 now) {
    // Forms send blanks as "+", which QUrlQuery would keep.
    const QUrlQuery query(QString::fromUtf8(QByteArray(rawQuery).replace('+', "%20")));
    Filter filter = timesheets::thisWeek(zone, now);
    auto date = [&](const QString& key, QDate* day) -> Result<> {
        const QString text = query.queryItemValue(key, QUrl::FullyDecoded);
        if (text.isEmpty())
            return {};
        *day = QDate::fromString(text, kDateFormat);
        if (!day->isValid())
            return Error::api(400, QStringLiteral("“%1” is not a date such as 2026-03-30.").arg(text));
        return {};
    };
    if (Result<> from = date(u"from"_qs, &filter.from); !from)
        return from.error();
    if (Result<> to = date(u"to"_qs, &filter.to); !to)
        return to.error();
    if (filter.to < filter.from)
        return Error::api(400, QStringLiteral("The range ends before it begins."));
    if (filter.from.daysTo(filter.to) >= timesheets::kMaxDays)
        return Error::api(400, QStringLiteral("A timesheet covers at most %1 days.").arg(timesheets::kMaxDays));
    const QString editor = query.queryItemValue(u"editor"_qs, QUrl::FullyDecoded);
    bool ok = true;
    filter.userId = editor.isEmpty() ? 0 : editor.toLongLong(&ok);
    if (!ok || filter.userId < 0)
        return Error::api(400, QStringLiteral("The editor is not one of the studio's users."));
    filter.projectId = query.queryItemValue(u"project"_qs, QUrl::FullyDecoded);
    filter.stage = query.queryItemValue(u"stage"_qs, QUrl::FullyDecoded);
    return filter;
}

HttpResponse refused(const Filter& shown, const Choices& choices, const QString& why) {
    HttpResponse response =
        AdminPage::page(QStringLiteral("Timesheet"),
                        form(shown, choices) + QStringLiteral("<p class=\"error\">%1</p>").arg(escaped(why)));
    response.status = 400;
    return response;
}

HttpResponse page(const Timesheet& sheet, const Choices& choices) {
    const Filter& filter = sheet.filter;
    QString body =
        QStringLiteral("<p class=\"muted\">%1 to %2 · days in %3 · hours from clock-in to clock-out</p>\n")
            .arg(filter.from.toString(QStringLiteral("dddd d MMMM yyyy")),
                 filter.to.toString(QStringLiteral("dddd d MMMM yyyy")), escaped(QString::fromUtf8(sheet.zone.id()))) +
        form(filter, choices);
    if (sheet.entries.isEmpty())
        return AdminPage::page(QStringLiteral("Timesheet"),
                               body + QStringLiteral("<p>No work was recorded in this range.</p>\n"));

    const qint64 days = filter.from.daysTo(filter.to) + 1;
    // Editors in the order the entries come (by name), each with a cell per day.
    QList<QPair<QString, QList<Hours>>> editors;
    QList<Hours> perDay(days);
    Hours all;
    QMap<QString, Hours> projects;
    QMap<QString, Hours> stages;
    qint64 lastUser = -1;
    for (const Entry& entry : sheet.entries) {
        if (entry.userId != lastUser) {
            editors.append({entry.userName, QList<Hours>(days)});
            lastUser = entry.userId;
        }
        const qint64 day = filter.from.daysTo(entry.day);
        editors.last().second[day].add(entry);
        perDay[day].add(entry);
        all.add(entry);
        projects[entry.projectTitle].add(entry);
        stages[entry.stage].add(entry);
    }

    body += QStringLiteral("<h2>Hours per editor</h2>\n<div class=\"wide\"><table id=\"editors\"><thead><tr>"
                           "<th>Editor</th>");
    for (qint64 day = 0; day < days; ++day)
        body += QStringLiteral("<th class=\"n\">%1</th>").arg(dayHeading(filter.from.addDays(day)));
    body += QStringLiteral("<th class=\"n\">Total</th><th class=\"n\">Active</th></tr></thead><tbody>\n");
    for (const auto& [name, cells] : editors) {
        Hours total;
        body += QStringLiteral("<tr><th>%1</th>").arg(escaped(name));
        for (const Hours& cell : cells) {
            body += hours(cell);
            total.seconds += cell.seconds;
            total.active += cell.active;
        }
        body += hours(total) + activeShare(total) + QStringLiteral("</tr>\n");
    }
    body += QStringLiteral("</tbody><tfoot><tr><th>Total</th>");
    for (const Hours& cell : perDay)
        body += hours(cell);
    body += hours(all) + activeShare(all) + QStringLiteral("</tr></tfoot></table></div>\n");
    body += QStringLiteral("<p class=\"muted\">† includes a session that fell silent, counted to its last report. "
                           "* includes a session still clocked in, counted until now. Active: the share of the "
                           "time with mouse activity.</p>\n");
    body += totals(QStringLiteral("Per project"), QStringLiteral("Project"), projects);
    body += totals(QStringLiteral("Per stage"), QStringLiteral("Stage"), stages);

    body += QStringLiteral("<h2>Sessions</h2>\n<div class=\"wide\"><table id=\"sessions\"><thead><tr><th>Editor</th>"
                           "<th>Day</th><th>From</th><th>To</th><th>Project</th><th>Stage</th><th class=\"n\">Hours"
                           "</th><th class=\"n\">Active</th><th>Ended</th></tr></thead><tbody>\n");
    const QString clock = QStringLiteral("HH:mm");
    for (const Entry& entry : sheet.entries) {
        Hours cell;
        cell.add(entry);
        body += QStringLiteral("<tr><td>%1</td><td><a href=\"%7\">%2</a></td><td>%3</td><td>%4</td><td>%5</td>"
                               "<td>%6</td>")
                    .arg(escaped(entry.userName), dayHeading(entry.day), localTime(entry.start, sheet.zone, clock),
                         localTime(entry.end, sheet.zone, clock), escaped(entry.projectTitle), escaped(entry.stage)) +
                hours(cell) + activeShare(cell) + QStringLiteral("<td>%1</td></tr>\n").arg(endText(entry.endKind));
    }
    body += QStringLiteral("</tbody></table></div>\n");
    return AdminPage::page(QStringLiteral("Timesheet"), body);
}

HttpResponse csv(const Timesheet& timesheet) {
    auto sheet = std::make_shared<const Timesheet>(timesheet);
    const QString zone = QString::fromUtf8(sheet->zone.id());
    const QByteArray head =
        csv::kByteOrderMark + csv::row({u"Editor"_qs, u"Date"_qs, u"Project"_qs, u"Stage"_qs, u"Session"_qs,
                                        QStringLiteral("Start (%1)").arg(zone), QStringLiteral("End (%1)").arg(zone),
                                        u"Ended"_qs, u"Hours"_qs, u"Seconds"_qs, u"Active seconds"_qs});
    auto row = [sheet, clock = std::make_shared<LocalClock>(sheet->zone)](qsizetype i) {
        const Entry& entry = sheet->entries[i];
        return csv::row({csv::text(entry.userName), entry.day.toString(kDateFormat), csv::text(entry.projectTitle),
                         csv::text(entry.stage), csv::text(entry.sessionId),
                         QString::fromLatin1(clock->text(entry.start)), QString::fromLatin1(clock->text(entry.end)),
                         entry.endKind == u"stopped" ? u"clocked out"_qs : entry.endKind,
                         QString::number(double(entry.seconds()) / 3600.0, 'f', 2), QString::number(entry.seconds()),
                         QString::number(entry.activeSeconds)});
    };
    return csv::download(head, sheet->entries.size(), row,
                         QStringLiteral("timesheet-%1-to-%2.csv")
                             .arg(sheet->filter.from.toString(kDateFormat), sheet->filter.to.toString(kDateFormat)));
}

} // namespace TimesheetPage
