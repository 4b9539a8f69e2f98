#pragma once

#include "http/HttpsServer.h"
#include "http/Throttle.h"
#include "store/Studio.h"

#include <QObject>
#include <QThreadPool>

#include <memory>

// The pages for the people who run the studio, behind a sign-in with named accounts: viewers see the timesheets,
// sessions and exports, administrators also manage editors, projects, pairing codes and devices.  A signed-in
// browser holds a session cookie; every form carries that session's token, and a request from another site is
// refused.
class ManagerPages final : public QObject {
    Q_OBJECT
public:
    struct Options {
        int signInsPerAddress = 10; // password checks per minute from one address
    };
    static constexpr char kCookie[] = "vantrel_session";

    ManagerPages(Studio& studio, const Options& options, QObject* parent = nullptr);
    Q_DISABLE_COPY_MOVE(ManagerPages)
    ~ManagerPages() override;

    // A request for / or under /admin.
    void handle(const std::shared_ptr<HttpExchange>& exchange);

private:
    // What a signed-in manager asked for, once the role and, for a change, the form's token are checked.
    HttpResponse signedIn(const HttpRequest& request, const Studio::SignIn& signIn);
    HttpResponse answer(const HttpRequest& request);
    HttpResponse timesheet(const HttpRequest& request);
    HttpResponse session(const HttpRequest& request);
    // Sign-in and sign-out (pages/SignIn.cpp).
    void signIn(const std::shared_ptr<HttpExchange>& exchange);
    HttpResponse started(const Studio::Account& account, const QByteArray& next);
    HttpResponse signOut(const Studio::SignIn& signIn);

    Studio& m_studio;
    Throttle m_signIns;
    // Password checks take tens of milliseconds each: one worker, so that guessing cannot take every core.
    QThreadPool m_passwordChecks;
    int m_passwordChecksWaiting = 0;
};
