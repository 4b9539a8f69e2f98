// Signing in and out of the managers' pages.
#include "pages/ManagerPages.h"

#include "Answers.h"
#include "pages/AdminPage.h"
#include "pages/ManagementPages.h"

using answers::refusal;
using answers::tooMany;

namespace {

constexpr int kMaxPasswordChecksWaiting = 16;

// Where to go once signed in: only a page of the studio's own, never another site ("//host", "/\\host").
QByteArray safeNext(const QByteArray& next) {
    const bool own = (next == "/admin" || next.startsWith("/admin/") || next.startsWith("/admin?")) &&
                     !next.contains("//") && !next.contains('\\') && !next.startsWith("/admin/sign-");
    return own ? next : QByteArray("/admin/timesheet");
}

QByteArray cookie(const QByteArray& value, qint64 maxAge) {
    return ManagerPages::kCookie + QByteArray("=") + value + "; Max-Age=" + QByteArray::number(maxAge) +
           "; Path=/admin; Secure; HttpOnly; SameSite=Strict";
}

} // namespace

namespace ManagementPages {

HttpResponse signInPage(const QByteArray& next, const QString& why, int status) {
    HttpResponse response = AdminPage::page(
        QStringLiteral("Sign in"),
        QStringLiteral("<form method=\"post\" action=\"/admin/sign-in\" class=\"stacked\">"
                       "<input type=\"hidden\" name=\"next\" value=\"%1\">"
                       "<label>Account<input name=\"name\" autocomplete=\"username\" required autofocus></label>"
                       "<label>Password<input type=\"password\" name=\"password\" autocomplete=\"current-password\" "
                       "required></label><button type=\"submit\">Sign in</button></form>\n%2")
            .arg(AdminPage::escaped(QString::fromUtf8(safeNext(next))),
                 why.isEmpty() ? QString() : u"<p class=\"error\">%1</p>"_qs.arg(AdminPage::escaped(why))));
    response.status = status;
    return response;
}

} // namespace ManagementPages

void ManagerPages::signIn(const std::shared_ptr<HttpExchange>& exchange) {
    const HttpRequest& request = exchange->request();
    if (ManagementPages::crossOrigin(request))
        return exchange->respond(ManagementPages::crossOriginRefusal());
    const QUrlQuery form = ManagementPages::fields(request.body);
    const QString name = form.queryItemValue(u"name"_qs, QUrl::FullyDecoded);
    const QString password = form.queryItemValue(u"password"_qs, QUrl::FullyDecoded);
    const QByteArray next = form.queryItemValue(u"next"_qs, QUrl::FullyDecoded).toUtf8();
    if (const int wait = m_signIns.take(HttpsServer::clientKey(request.peer)))
        return exchange->respond(
            tooMany(QStringLiteral("Too many sign-in attempts from this computer. Try again in a minute."), wait));
    if (m_passwordChecksWaiting >= kMaxPasswordChecksWaiting)
        return exchange->respond(
            tooMany(QStringLiteral("Too many sign-in attempts at the studio. Try again in a minute."), 60));
    const Result<Studio::Secret> secret = m_studio.secret(name);
    if (!secret)
        return exchange->respond(refusal(secret.error()));
    ++m_passwordChecksWaiting;
    m_passwordChecks.start([this, exchange, password, secret = *secret, next] {
        const bool matches = Studio::passwordMatches(password, secret);
        QMetaObject::invokeMethod(
            this,
            [this, exchange, matches, account = secret.account, next] {
                --m_passwordChecksWaiting;
                exchange->respond(matches ? started(account, next)
                                          : ManagementPages::signInPage(
                                                next, QStringLiteral("The account or password is not right."), 401));
            },
            Qt::QueuedConnection);
    });
}

HttpResponse ManagerPages::started(const Studio::Account& account, const QByteArray& next) {
    const Result<Studio::SignIn> signIn = m_studio.signIn(account);
    if (!signIn)
        return refusal(signIn.error());
    HttpResponse response = ManagementPages::seeOther(safeNext(next));
    response.headers.emplaceBack("Set-Cookie", cookie(signIn->cookie, Studio::kSignInSeconds));
    return response;
}

HttpResponse ManagerPages::signOut(const Studio::SignIn& signIn) {
    if (Result<> ended = m_studio.signOut(signIn.cookie); !ended)
        return refusal(ended.error());
    HttpResponse response = ManagementPages::seeOther("/admin/sign-in");
    response.headers.emplaceBack("Set-Cookie", cookie({}, 0));
    return response;
}
