#include "pages/ManagerPages.h"

#include "Answers.h"
#include "pages/AdminPage.h"
#include "pages/SessionPage.h"
#include "pages/TimesheetPage.h"
#include "store/Retention.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>

using answers::refusal;
using answers::tooMany;

namespace {

constexpr int kMaxPasswordChecksWaiting = 16;

HttpResponse signIn() {
    HttpResponse response = AdminPage::page(
        QStringLiteral("Sign in"),
        QStringLiteral(
            "<p>Sign in as <b>admin</b> with the password that <code>vantrel-studio init</code> printed.</p>"));
    response.status = 401;
    response.headers.emplaceBack("WWW-Authenticate", R"(Basic realm="Vantrel studio", charset="UTF-8")");
    return response;
}

// What the server deletes by itself, and what it last did.
QString retentionNote(const retention::Status& kept) {
    const QString last =
        kept.lastRunAt == 0
            ? QStringLiteral("No clean-up has run yet.")
            : QStringLiteral("The last clean-up, at %1 UTC, deleted %2 screenshots.")
                  .arg(QDateTime::fromSecsSinceEpoch(kept.lastRunAt, Qt::UTC).toString(u"yyyy-MM-dd HH:mm"_qs))
                  .arg(kept.lastDeleted);
    return QStringLiteral("<p id=\"retention\">Screenshots are kept for <data value=\"%1\">%1 days</data>, then "
                          "deleted (<code>vantrel-studio retention --days N</code> changes it). %2</p>\n")
        .arg(kept.days)
        .arg(last);
}

} // namespace

ManagerPages::ManagerPages(Studio& studio, const Options& options, QObject* parent)
    : QObject(parent)
    , m_studio(studio)
    , m_signIns(options.signInsPerAddress, options.signInsPerAddress) {
    m_passwordChecks.setMaxThreadCount(1);
}

ManagerPages::~ManagerPages() {
    m_passwordChecks.clear();
    m_passwordChecks.waitForDone();
}

void ManagerPages::handle(const std::shared_ptr<HttpExchange>& exchange) {
    const HttpRequest& request = exchange->request();
    if (request.method != "GET")
        return exchange->respond(HttpsServer::errorResponse(405, QStringLiteral("The admin pages are read-only.")));
    const QByteArray authorization = request.headers.value("authorization");
    const QByteArray credentials = authorization.left(6).toLower() == "basic "
                                       ? QByteArray::fromBase64(authorization.mid(6).trimmed())
                                       : QByteArray();
    const qsizetype colon = credentials.indexOf(':');
    if (colon < 0 || credentials.left(colon) != "admin")
        return exchange->respond(signIn());
    const QString password = QString::fromUtf8(credentials.mid(colon + 1));
    const Result<Studio::AdminSecret> stored = m_studio.adminSecret();
    if (!stored)
        return exchange->respond(refusal(stored.error()));
    const Studio::AdminSecret secret = *stored;
    const QByteArray remembered =
        QCryptographicHash::hash(QByteArray(password.toUtf8() + '\0' + secret.hash), QCryptographicHash::Sha256);
    if (!m_accepted.isEmpty() && remembered == m_accepted)
        return exchange->respond(answer(request));

    if (const int wait = m_signIns.take(HttpsServer::clientKey(request.peer)))
        return exchange->respond(
            tooMany(QStringLiteral("Too many sign-in attempts from this computer. Try again in a minute."), wait));
    if (m_passwordChecksWaiting >= kMaxPasswordChecksWaiting)
        return exchange->respond(
            tooMany(QStringLiteral("Too many sign-in attempts at the studio. Try again in a minute."), 60));
    ++m_passwordChecksWaiting;
    m_passwordChecks.start([this, exchange, password, secret, remembered] {
        const bool matches = Studio::adminPasswordMatches(password, secret);
        QMetaObject::invokeMethod(
            this,
            [this, exchange, matches, remembered] {
                --m_passwordChecksWaiting;
                if (!matches)
                    return exchange->respond(signIn());
                m_accepted = remembered;
                exchange->respond(answer(exchange->request()));
            },
            Qt::QueuedConnection);
    });
}

HttpResponse ManagerPages::answer(const HttpRequest& request) {
    if (request.path == "/" || request.path == "/admin" || request.path == "/admin/") {
        const Result<QList<Studio::SessionRow>> rows = m_studio.sessions();
        const Result<retention::Status> kept = rows ? retention::status(m_studio) : rows.error();
        return kept ? AdminPage::sessions(*rows, m_studio.now(), retentionNote(*kept)) : refusal(kept.error());
    }

    if (request.path == "/admin/timesheet" || request.path == "/admin/timesheet.csv")
        return timesheet(request);
    if (request.path.startsWith("/admin/sessions/"))
        return session(request);

    const QByteArray prefix = "/admin/screenshots/";
    bool ok = false;
    const qint64 id = request.path.startsWith(prefix) && request.path.endsWith(".jpg")
                          ? request.path.mid(prefix.size()).chopped(4).toLongLong(&ok)
                          : 0;
    if (!ok)
        return answers::notFound();
    const Result<QString> path = m_studio.screenshotFile(id);
    if (!path)
        return refusal(path.error());
    QFile file(*path);
    if (!file.open(QIODevice::ReadOnly))
        return HttpsServer::errorResponse(404, QStringLiteral("The screenshot file is missing."));
    HttpResponse response;
    response.contentType = "image/jpeg";
    response.body = file.readAll();
    response.headers.emplaceBack("Cache-Control", "private, max-age=3600");
    response.headers.emplaceBack("X-Content-Type-Options", "nosniff");
    return response;
}

HttpResponse ManagerPages::timesheet(const HttpRequest& request) {
    const Result<QTimeZone> zone = m_studio.timeZone();
    if (!zone)
        return refusal(zone.error());
    const Result<QList<Studio::Choice>> users = m_studio.users();
    const Result<QList<Studio::Choice>> projects = users ? m_studio.projects() : users;
    if (!projects)
        return refusal(projects.error());
    const TimesheetPage::Choices choices{*users, *projects};
    const Result<timesheets::Filter> filter = TimesheetPage::filter(request.query, *zone, m_studio.now());
    if (!filter) {
        if (!filter.error().isAPIError())
            return refusal(filter.error());
        return TimesheetPage::refused(timesheets::thisWeek(*zone, m_studio.now()), choices, filter.error().message());
    }
    const Result<timesheets::Timesheet> sheet = timesheets::query(m_studio.database(), *filter, *zone, m_studio.now());
    if (!sheet)
        return refusal(sheet.error());
    return request.path.endsWith(".csv") ? TimesheetPage::csv(*sheet) : TimesheetPage::page(*sheet, choices);
}

HttpResponse ManagerPages::session(const HttpRequest& request) {
    const QList<QByteArray> parts = request.path.split('/'); // "", "admin", "sessions", id[, "reports.csv"]
    const bool csv = parts.size() == 5 && parts[4] == "reports.csv";
    if (parts.size() != 4 && !csv)
        return answers::notFound();
    const Result<QTimeZone> zone = m_studio.timeZone();
    if (!zone)
        return refusal(zone.error());
    const QString id = QString::fromUtf8(QByteArray::fromPercentEncoding(parts[3]));
    const Result<std::optional<sessiondetails::Details>> details = sessiondetails::load(m_studio.database(), id);
    if (!details)
        return refusal(details.error());
    if (!*details)
        return HttpsServer::errorResponse(404, QStringLiteral("There is no such work session."));
    return csv ? SessionPage::csv(**details, *zone) : SessionPage::page(**details, *zone, m_studio.now());
}
