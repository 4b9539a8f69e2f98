#include "pages/ManagerPages.h"

#include "Answers.h"
#include "pages/AdminPage.h"
#include "pages/ManagementPages.h"
#include "pages/SessionPage.h"
#include "pages/TimesheetPage.h"
#include "store/Retention.h"

#include <QDateTime>
#include <QFile>

using answers::refusal;

namespace {

QByteArray cookieNamed(const QByteArray& header, const QByteArray& name) {
    for (const QByteArray& pair : header.split(';')) {
        const QByteArray trimmed = pair.trimmed();
        if (trimmed.startsWith(QByteArray(name + "=")))
            return trimmed.mid(name.size() + 1);
    }
    return {};
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
    const bool post = request.method == "POST";
    if (request.method != "GET" && !post)
        return exchange->respond(HttpsServer::errorResponse(405, QStringLiteral("The admin pages take GET and POST.")));
    if (request.path == "/") // the sign-in cookie is only sent under /admin
        return exchange->respond(ManagementPages::seeOther("/admin"));
    if (request.path == "/admin/sign-in") {
        if (post)
            return signIn(exchange);
        HttpResponse page = ManagementPages::signInPage({});
        ManagementPages::fillAccount(page, std::nullopt);
        return exchange->respond(page);
    }
    const Result<std::optional<Studio::SignIn>> current =
        m_studio.signedIn(cookieNamed(request.headers.value("cookie"), kCookie));
    if (!current)
        return exchange->respond(refusal(current.error()));
    HttpResponse response =
        *current
            ? signedIn(request, **current)
            : ManagementPages::signInPage(post ? QByteArray() : request.target,
                                          post ? QStringLiteral("Sign in again to send this form.") : QString(), 401);
    ManagementPages::fillAccount(response, *current);
    exchange->respond(response);
}

HttpResponse ManagerPages::signedIn(const HttpRequest& request, const Studio::SignIn& signIn) {
    const bool administrator = signIn.account.role == Studio::Role::Administrator;
    if (request.method == "POST") {
        const QUrlQuery form = ManagementPages::fields(request.body);
        if (ManagementPages::crossOrigin(request))
            return ManagementPages::crossOriginRefusal();
        if (!ManagementPages::tokenMatches(form, signIn))
            return ManagementPages::forbidden(
                QStringLiteral("This form has expired. Go back, reload the page and send it again."));
        if (request.path == "/admin/sign-out")
            return signOut(signIn);
        if (!administrator)
            return ManagementPages::forbidden(QStringLiteral("Only the studio's administrators can change anything."));
        if (!ManagementPages::isManagement(request.path))
            return answers::notFound();
        const Studio::Acting acting(m_studio, signIn.account.name);
        return ManagementPages::change(m_studio, request, form, signIn);
    }
    if (ManagementPages::isManagement(request.path))
        return administrator
                   ? ManagementPages::page(m_studio, request, signIn)
                   : ManagementPages::forbidden(QStringLiteral("This page is for the studio's administrators."));
    return answer(request);
}

HttpResponse ManagerPages::answer(const HttpRequest& request) {
    if (request.path == "/admin" || request.path == "/admin/") {
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
