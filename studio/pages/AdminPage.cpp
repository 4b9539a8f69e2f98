#include "pages/AdminPage.h"

#include "pages/SessionPage.h"

#include <QCryptographicHash>
#include <QDateTime>

namespace {

constexpr int kThumbnails = 8;

using AdminPage::escaped;

// System fonts, figures in columns, and the reader's choice of light or dark.
const char kStyle[] =
    ":root{color-scheme:light dark;--bg:#fafaf9;--fg:#1c1c1e;--muted:#66666d;--line:#dedee2;--head:#f0f0f3;"
    "--accent:#2456c8}"
    "@media (prefers-color-scheme:dark){:root{--bg:#151517;--fg:#e9e9ec;--muted:#a0a0a8;--line:#34343b;"
    "--head:#1f1f23;--accent:#93b3ff}}"
    "body{margin:0;background:var(--bg);color:var(--fg);"
    "font:15px/1.5 system-ui,-apple-system,'Segoe UI',Cantarell,'DejaVu Sans',sans-serif}"
    "nav{display:flex;gap:1.5rem;align-items:baseline;padding:.8rem 2rem;border-bottom:1px solid var(--line);"
    "background:var(--head)}nav b{margin-right:1rem}"
    "main{padding:1rem 2rem 3rem}h1{font-size:1.6rem;font-weight:600;margin:.6rem 0}"
    "h2{font-size:1.15rem;font-weight:600;margin:2rem 0 .5rem}"
    "a{color:var(--accent)}.muted{color:var(--muted)}.error{color:#c62828;font-weight:600}"
    ".wide{overflow-x:auto}table{border-collapse:collapse}"
    "td,th{padding:.35rem .65rem;border-bottom:1px solid var(--line);text-align:left;vertical-align:top}"
    "th{font-weight:600;background:var(--head)}.n{text-align:right;font-variant-numeric:tabular-nums;"
    "white-space:nowrap}tfoot td,tfoot th{font-weight:600;border-top:2px solid var(--muted)}"
    "form{display:flex;flex-wrap:wrap;gap:.8rem;align-items:end;margin:1rem 0}"
    "label{display:flex;flex-direction:column;font-size:.85rem;color:var(--muted)}"
    "input,select,button{font:inherit;color:inherit;background:var(--bg);border:1px solid var(--line);"
    "border-radius:6px;padding:.3rem .5rem}button{background:var(--accent);color:var(--bg);border:0;"
    "padding:.4rem 1rem}"
    ".shots img{width:120px;margin:2px;border:1px solid var(--line)}sup{line-height:0}"
    ".chart{width:100%;max-width:960px;height:auto}.chart .bar{fill:var(--accent)}.chart .base{fill:var(--line)}"
    ".chart .gap{fill:var(--muted);opacity:.18}.chart text{fill:var(--muted);font-size:12px}"
    ".facts th{background:none;color:var(--muted);font-weight:400}"
    ".gallery figure{display:inline-block;margin:0 8px 12px 0}.gallery img{display:block;width:240px;height:auto;"
    "border:1px solid var(--line)}figcaption{font-size:.8rem;color:var(--muted)}"
    ".gallery a:focus{outline:none}.gallery a:focus img{outline:3px solid var(--accent);outline-offset:2px}"
    // Accounts and management: forms in table rows and in the navigation, the sign-in form in one column.
    "nav{flex-wrap:wrap}nav form.who{margin:0 0 0 auto;align-items:baseline;gap:.8rem}nav .who span{color:var(--muted)}"
    "form.inline{margin:0}form.inline button,nav button{padding:.2rem .7rem}"
    "form.stacked{flex-direction:column;align-items:stretch;max-width:20rem}"
    "fieldset{border:1px solid var(--line);border-radius:6px;display:flex;flex-wrap:wrap;gap:.2rem 1rem}"
    "legend{font-size:.85rem;color:var(--muted)}label.check{flex-direction:row;gap:.3rem;color:var(--fg);"
    "font-size:1rem}.notice{padding:.6rem 1rem;border:1px solid var(--accent);border-radius:6px}"
    ".notice strong{font:600 1.3rem ui-monospace,monospace;letter-spacing:.08em}";

QString utc(qint64 seconds) {
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString sessionRow(const Studio::SessionRow& row, qint64 now) {
    const qint64 end = row.endedAt.value_or(now);
    QString state = row.endKind.isEmpty() ? QStringLiteral("open") : row.endKind;
    if (row.endedAt)
        state += QStringLiteral(" · ") + utc(*row.endedAt);

    QString reports = QString::number(row.reports);
    if (row.reports > 0)
        reports += QStringLiteral(" (seq %1–%2%3)")
                       .arg(row.firstSeq)
                       .arg(row.lastSeq)
                       .arg(row.contiguous ? QString() : QStringLiteral(", with gaps"));

    QStringList apps;
    for (const AppSeconds& app : row.apps)
        apps.append(escaped(app.name) + QStringLiteral(" ") + AdminPage::duration(app.seconds));

    QString shots;
    const qsizetype first = std::max<qsizetype>(0, row.screenshotIds.size() - kThumbnails);
    for (qsizetype i = first; i < row.screenshotIds.size(); ++i) {
        const QString url = QStringLiteral("/admin/screenshots/%1.jpg").arg(row.screenshotIds[i]);
        shots += QStringLiteral("<a href=\"%1\"><img src=\"%1\" alt=\"screenshot\" loading=\"lazy\"></a>").arg(url);
    }
    if (first > 0)
        shots += QStringLiteral("<div>%1 earlier not shown</div>").arg(first);

    const QStringList cells = {
        QStringLiteral("<a href=\"%1\">%2</a>").arg(SessionPage::address(row.id), utc(row.startedAt)),
        AdminPage::duration(std::max<qint64>(0, end - row.startedAt)),
        escaped(state),
        escaped(row.projectTitle),
        escaped(row.stage),
        escaped(row.note),
        escaped(row.deviceName),
        reports,
        QStringLiteral("%1 moves · %2 clicks · %3 active")
            .arg(row.mouseMoves)
            .arg(row.clicks)
            .arg(AdminPage::duration(row.mouseActiveSeconds)),
        apps.join(QStringLiteral("<br>")),
    };
    return QStringLiteral("<tr><td>") + cells.join(QStringLiteral("</td><td>")) +
           QStringLiteral("</td><td class=\"shots\">") + shots + QStringLiteral("</td></tr>\n");
}

} // namespace

namespace AdminPage {

QString escaped(const QString& text) {
    return text.toHtmlEscaped().replace(u'\'', QStringLiteral("&#39;"));
}

QString duration(qint64 seconds) {
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600)
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

HttpResponse page(const QString& title, const QString& bodyHtml, const QString& script) {
    const QString html =
        QStringLiteral(
            "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
            "<title>%1 · Vantrel studio</title>\n<style>%2</style></head>\n"
            "<body><nav><b>Vantrel studio</b><a href=\"/admin/timesheet\">Timesheet</a>"
            "<a href=\"/admin\">Sessions</a><!--account--></nav>\n<main><h1>%1</h1>\n%3</main>%4</body></html>\n")
            .arg(escaped(title), QString::fromLatin1(kStyle), bodyHtml,
                 script.isEmpty() ? QString() : u"<script>"_qs + script + u"</script>"_qs);
    HttpResponse response;
    response.contentType = "text/html; charset=utf-8";
    response.body = html.toUtf8();
    QByteArray policy = "default-src 'none'; img-src 'self'; style-src 'unsafe-inline'; frame-ancestors 'none'; "
                        "form-action 'self'";
    if (!script.isEmpty())
        policy += "; script-src 'sha256-" +
                  QCryptographicHash::hash(script.toUtf8(), QCryptographicHash::Sha256).toBase64() + '\'';
    response.headers.emplaceBack("Content-Security-Policy", policy);
    response.headers.emplaceBack("X-Frame-Options", "DENY"); // for browsers without frame-ancestors
    response.headers.emplaceBack("X-Content-Type-Options", "nosniff");
    response.headers.emplaceBack("Cache-Control", "no-store");
    return response;
}

HttpResponse sessions(const QList<Studio::SessionRow>& rows, qint64 now, const QString& notes) {
    QString body = QStringLiteral("<p>Times in UTC. Page made at %1.</p>\n").arg(utc(now)) + notes;
    if (rows.isEmpty())
        body += QStringLiteral("<p>No work sessions yet.</p>\n");
    QString user;
    bool first = true;
    for (const Studio::SessionRow& row : rows) {
        if (first || row.userName != user) {
            if (!first)
                body += QStringLiteral("</table>\n");
            first = false;
            user = row.userName;
            body += QStringLiteral("<h2>%1</h2>\n<table><tr><th>Started</th><th>Duration</th><th>State</th>"
                                   "<th>Project</th><th>Stage</th><th>Note</th><th>Device</th><th>Reports</th>"
                                   "<th>Mouse</th><th>Applications</th><th>Screenshots</th></tr>\n")
                        .arg(escaped(user));
        }
        body += sessionRow(row, now);
    }
    if (!first)
        body += QStringLiteral("</table>\n");
    return page(QStringLiteral("Work sessions"), body);
}

} // namespace AdminPage
