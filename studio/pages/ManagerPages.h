#pragma once

#include "http/HttpsServer.h"
#include "http/Throttle.h"
#include "store/Studio.h"

#include <QObject>
#include <QThreadPool>

#include <memory>

// The pages for the people who run the studio, behind the admin sign-in.
class ManagerPages final : public QObject {
    Q_OBJECT
public:
    struct Options {
        int signInsPerAddress = 10; // admin password checks per minute from one address
    };

    ManagerPages(Studio& studio, const Options& options, QObject* parent = nullptr);
    Q_DISABLE_COPY_MOVE(ManagerPages)
    ~ManagerPages() override;

    // A request for / or under /admin.
    void handle(const std::shared_ptr<HttpExchange>& exchange);

private:
    HttpResponse answer(const HttpRequest& request);
    HttpResponse timesheet(const HttpRequest& request);
    HttpResponse session(const HttpRequest& request);

    Studio& m_studio;
    Throttle m_signIns;
    // Password checks take tens of milliseconds each: one worker, so that guessing cannot take every core.
    QThreadPool m_passwordChecks;
    int m_passwordChecksWaiting = 0;
    QByteArray m_accepted; // spares the key derivation for every thumbnail of a signed-in page
};
