#include "pages/SessionPage.h"

#include "pages/AdminPage.h"
#include "pages/Csv.h"
#include "pages/LocalClock.h"

#include <QDateTime>
#include <QUrl>

#include <algorithm>

using AdminPage::duration;
using AdminPage::escaped;
using sessiondetails::Details;
using sessiondetails::Report;

namespace {

// Reports come every 30 seconds; time without one for this long is a gap on the chart.
constexpr qint64 kGapSeconds = 30;
constexpr int kChartWidth = 960;
constexpr int kRowHeight = 56;
constexpr int kLabelWidth = 110;

// The page's one script: the arrow keys move between the screenshots, in order across the displays.
const char kStepping[] =
    "addEventListener('keydown',function(e){var step={ArrowLeft:-1,ArrowRight:1}[e.key];"
    "if(!step||e.altKey||e.ctrlKey||e.metaKey||/^(INPUT|SELECT|TEXTAREA)$/.test(document.activeElement.tagName))"
    "return;var links=[].slice.call(document.querySelectorAll('.gallery a'));if(!links.length)return;"
    "var at=links.indexOf(document.activeElement);"
    "var next=links[Math.min(links.length-1,Math.max(0,at<0?0:at+step))];"
    "next.focus();next.scrollIntoView({block:'nearest'});e.preventDefault();});";

QString local(qint64 seconds, const QTimeZone& zone, const QString& format = u"yyyy-MM-dd HH:mm:ss"_qs) {
    return QDateTime::fromSecsSinceEpoch(seconds, zone).toString(format);
}

QString endText(const Details& details) {
    if (details.endKind == u"stopped")
        return QStringLiteral("clocked out");
    if (details.endKind == u"expired")
        return QStringLiteral("fell silent: ended at its last report");
    return QStringLiteral("still clocked in");
}

struct Gap {
    qint64 from;
    qint64 to;
};

// Stretches of the session that no report covers.
QList<Gap> gaps(const QList<Report>& reports, qint64 start, qint64 end) {
    QList<Gap> found;
    qint64 covered = start;
    for (const Report& report : reports) {
        if (report.startedAt - covered >= kGapSeconds)
            found.append({covered, report.startedAt});
        covered = std::max(covered, report.endedAt);
    }
    if (end - covered >= kGapSeconds)
        found.append({covered, end});
    return found;
}

// Three rows of bars (active seconds, moves, clicks), one bar per report at its place in time, drawn on the
// server.  Time without reports is left empty and shaded, so that a gap reads as a gap.
QString chart(const Details& details, qint64 end, const QTimeZone& zone) {
    const qint64 start = details.startedAt;
    const double span = double(std::max<qint64>(1, end - start));
    const double plot = kChartWidth - kLabelWidth;
    auto x = [&](qint64 t) { return kLabelWidth + plot * double(std::clamp(t, start, end) - start) / span; };
    qint64 maxMoves = 1;
    qint64 maxClicks = 1;
    for (const Report& report : details.reports) {
        maxMoves = std::max(maxMoves, report.mouseMoves);
        maxClicks = std::max(maxClicks, report.clicks);
    }
    const int height = 3 * kRowHeight + 24;
    QString svg = QStringLiteral("<svg class=\"chart\" viewBox=\"0 0 %1 %2\" role=\"img\" aria-label=\"Reports over "
                                 "time\" xmlns=\"http://www.w3.org/2000/svg\">")
                      .arg(kChartWidth)
                      .arg(height);
    for (const Gap& gap : gaps(details.reports, start, end))
        svg += QStringLiteral("<rect class=\"gap\" x=\"%1\" y=\"0\" width=\"%2\" height=\"%3\"><title>No reports "
                              "%4–%5</title></rect>")
                   .arg(x(gap.from), 0, 'f', 1)
                   .arg(std::max(1.0, x(gap.to) - x(gap.from)), 0, 'f', 1)
                   .arg(3 * kRowHeight)
                   .arg(local(gap.from, zone, u"HH:mm:ss"_qs), local(gap.to, zone, u"HH:mm:ss"_qs));
    const QString labels[] = {u"Active s"_qs, QStringLiteral("Moves (≤ %1)").arg(maxMoves),
                              QStringLiteral("Clicks (≤ %1)").arg(maxClicks)};
    for (int row = 0; row < 3; ++row) {
        const int base = (row + 1) * kRowHeight - 4;
        svg += QStringLiteral("<text x=\"0\" y=\"%1\">%2</text>").arg(base).arg(escaped(labels[row]));
        for (const Report& report : details.reports) {
            const qint64 value = row == 0 ? report.activeSeconds : row == 1 ? report.mouseMoves : report.clicks;
            const double scale = row == 0   ? double(std::max<qint64>(1, report.endedAt - report.startedAt))
                                 : row == 1 ? double(maxMoves)
                                            : double(maxClicks);
            const double left = x(report.startedAt);
            const double width = std::max(1.0, x(report.endedAt) - left);
            const double bar = (kRowHeight - 10) * std::min(1.0, double(value) / scale);
            svg += QStringLiteral("<rect class=\"base\" x=\"%1\" y=\"%2\" width=\"%3\" height=\"1\"/>")
                       .arg(left, 0, 'f', 1)
                       .arg(base)
                       .arg(width, 0, 'f', 1);
            if (bar > 0)
                svg += QStringLiteral("<rect class=\"bar\" x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\"><title>#%5 "
                                      "%6: %7</title></rect>")
                           .arg(left, 0, 'f', 1)
                           .arg(base - bar, 0, 'f', 1)
                           .arg(width, 0, 'f', 1)
                           .arg(bar, 0, 'f', 1)
                           .arg(report.seq)
                           .arg(local(report.startedAt, zone, u"HH:mm:ss"_qs))
                           .arg(value);
        }
    }
    const int axis = 3 * kRowHeight + 18;
    svg += QStringLiteral("<text x=\"%1\" y=\"%2\">%3</text><text x=\"%4\" y=\"%2\" text-anchor=\"end\">%5</text>")
               .arg(kLabelWidth)
               .arg(axis)
               .arg(local(start, zone, u"HH:mm"_qs))
               .arg(kChartWidth)
               .arg(local(end, zone, u"HH:mm"_qs));
    return svg + QStringLiteral("</svg>");
}

QString screenshots(const Details& details, const QTimeZone& zone) {
    if (details.screenshots.isEmpty())
        return QStringLiteral("<p class=\"muted\">No screenshots.</p>\n");
    QString html;
    QString display;
    for (const sessiondetails::Screenshot& shot : details.screenshots) {
        if (html.isEmpty() || shot.displayId != display) {
            if (!html.isEmpty())
                html += QStringLiteral("</div>\n");
            display = shot.displayId;
            const auto count = std::count_if(details.screenshots.begin(), details.screenshots.end(),
                                             [&](const auto& other) { return other.displayId == display; });
            html += QStringLiteral("<h3>Display %1 · %2 screenshots</h3>\n<div class=\"gallery\" id=\"display-%1\">")
                        .arg(escaped(display))
                        .arg(count);
        }
        const QString url = QStringLiteral("/admin/screenshots/%1.jpg").arg(shot.id);
        html += QStringLiteral("<figure><a href=\"%1\"><img src=\"%1\" loading=\"lazy\" width=\"240\" height=\"135\" "
                               "alt=\"Display %2 at %3\"></a><figcaption>%3 · report #%4</figcaption></figure>")
                    .arg(url, escaped(display), local(shot.capturedAt, zone, u"HH:mm:ss"_qs))
                    .arg(shot.seq);
    }
    return html + QStringLiteral("</div>\n");
}

} // namespace

namespace SessionPage {

QString address(const QString& sessionId) {
    return u"/admin/sessions/"_qs + QString::fromLatin1(QUrl::toPercentEncoding(sessionId));
}

HttpResponse page(const Details& details, const QTimeZone& zone, qint64 now) {
    const qint64 end = details.endedAt.value_or(std::max(details.startedAt, now));
    qint64 active = 0, moves = 0, clicks = 0;
    for (const Report& report : details.reports) {
        active += report.activeSeconds;
        moves += report.mouseMoves;
        clicks += report.clicks;
    }
    const qsizetype gapCount = gaps(details.reports, details.startedAt, end).size();
    auto fact = [](const QString& name, const QString& value) {
        return QStringLiteral("<tr><th>%1</th><td>%2</td></tr>").arg(name, value);
    };
    QString body =
        QStringLiteral("<table class=\"facts\">") + fact(u"Editor"_qs, escaped(details.userName)) +
        fact(u"Project"_qs, escaped(details.projectTitle)) + fact(u"Stage"_qs, escaped(details.stage)) +
        fact(u"Note"_qs, escaped(details.note)) + fact(u"Computer"_qs, escaped(details.deviceName)) +
        fact(u"Started"_qs, local(details.startedAt, zone)) +
        fact(u"Ended"_qs,
             (details.endedAt ? local(*details.endedAt, zone) + u" · "_qs : QString()) + endText(details)) +
        fact(u"Hours"_qs, duration(end - details.startedAt)) +
        fact(u"Reports"_qs,
             QStringLiteral("%1, %2")
                 .arg(details.reports.size())
                 .arg(gapCount == 0 ? u"without gaps"_qs
                                    : QStringLiteral("%1 gap%2").arg(gapCount).arg(gapCount == 1 ? u""_qs : u"s"_qs))) +
        fact(u"Mouse"_qs,
             QStringLiteral("%1 active · %2 moves · %3 clicks").arg(duration(active)).arg(moves).arg(clicks)) +
        QStringLiteral("</table>\n<p class=\"muted\">Times in %1. <a href=\"%2/reports.csv\">Reports as "
                       "CSV</a></p>\n")
            .arg(escaped(QString::fromUtf8(zone.id())), address(details.id));
    body += QStringLiteral("<h2>Timeline</h2>\n<div class=\"wide\">") + chart(details, end, zone) +
            QStringLiteral("</div>\n<h2>Applications</h2>\n");
    if (details.apps.isEmpty())
        body += QStringLiteral("<p class=\"muted\">No applications reported.</p>\n");
    else {
        body += QStringLiteral("<table id=\"apps\"><thead><tr><th>Application</th><th class=\"n\">Time</th></tr>"
                               "</thead><tbody>");
        for (const AppSeconds& app : details.apps)
            body += QStringLiteral("<tr><td>%1</td><td class=\"n\"><data value=\"%2\">%3</data></td></tr>")
                        .arg(escaped(app.name))
                        .arg(app.seconds)
                        .arg(duration(app.seconds));
        body += QStringLiteral("</tbody></table>\n");
    }
    body += QStringLiteral("<h2>Screenshots</h2>\n<p class=\"muted\">← and → step through them, Enter opens one."
                           "</p>\n") +
            screenshots(details, zone);
    return AdminPage::page(
        QStringLiteral("Session of %1 on %2").arg(details.userName, local(details.startedAt, zone, u"d MMMM yyyy"_qs)),
        body, QString::fromLatin1(kStepping));
}

HttpResponse csv(const Details& session, const QTimeZone& zone) {
    auto details = std::make_shared<const Details>(session);
    const QString zoneId = QString::fromUtf8(zone.id());
    const QByteArray head =
        csv::kByteOrderMark + csv::row({u"Report"_qs, QStringLiteral("Start (%1)").arg(zoneId),
                                        QStringLiteral("End (%1)").arg(zoneId), u"Seconds"_qs, u"Active seconds"_qs,
                                        u"Mouse moves"_qs, u"Clicks"_qs, u"Applications"_qs, u"Screenshots"_qs});
    auto row = [details, clock = std::make_shared<LocalClock>(zone)](qsizetype i) {
        const Report& report = details->reports[i];
        QStringList apps;
        for (const AppSeconds& app : report.apps)
            apps.append(QStringLiteral("%1 %2 s").arg(app.name).arg(app.seconds));
        return csv::row({QString::number(report.seq), QString::fromLatin1(clock->text(report.startedAt)),
                         QString::fromLatin1(clock->text(report.endedAt)),
                         QString::number(report.endedAt - report.startedAt), QString::number(report.activeSeconds),
                         QString::number(report.mouseMoves), QString::number(report.clicks),
                         csv::text(apps.join(u"; "_qs)), QString::number(report.screenshots)});
    };
    return csv::download(head, details->reports.size(), row, QStringLiteral("session-%1-reports.csv").arg(details->id));
}

} // namespace SessionPage
