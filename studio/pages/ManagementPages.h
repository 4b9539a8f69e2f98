#pragma once

#include "http/HttpsServer.h"
#include "store/Studio.h"

#include <QUrlQuery>

// The administrators' pages: editors, projects, pairing codes, devices and the audit log, each changed through the
// same store functions as the command line.  Also the pieces that every form of the managers' pages shares.
namespace ManagementPages {

// Whether `path` is one of the administrators' pages.
bool isManagement(const QByteArray& path);
HttpResponse page(Studio& studio, const HttpRequest& request, const Studio::SignIn& signIn);
// A form sent to one of those pages, by an administrator whose token has been checked.
HttpResponse change(Studio& studio, const HttpRequest& request, const QUrlQuery& form, const Studio::SignIn& signIn);

// The navigation for the signed-in account (its pages, its name, sign-out) in place of the page's slot for it.
void fillAccount(HttpResponse& response, const std::optional<Studio::SignIn>& signIn);
HttpResponse signInPage(const QByteArray& next, const QString& why = {}, int status = 200);
HttpResponse forbidden(const QString& why);
// A form's fields (application/x-www-form-urlencoded).
QUrlQuery fields(const QByteArray& body);
// The hidden field with the session's token, for every form.
QString tokenField(const Studio::SignIn& signIn);
bool tokenMatches(const QUrlQuery& form, const Studio::SignIn& signIn);
// A request that its browser says comes from another site (Sec-Fetch-Site, Origin).
bool crossOrigin(const HttpRequest& request);
HttpResponse crossOriginRefusal();
HttpResponse seeOther(const QByteArray& location);

} // namespace ManagementPages
