#pragma once

#include "http/HttpsServer.h"
#include "http/Throttle.h"
#include "store/Studio.h"

#include <memory>

// The read-only JSON API for payroll and reporting tools, under /api/v1/: the timesheet, the sessions it counts,
// a session's reports, and each as CSV.  Callers present a bearer token made with `vantrel-studio api-token`.
class ReadApi final {
public:
    struct Options {
        int failedTokensPerAddress = 10; // refused tokens a minute from one address
    };

    ReadApi(Studio& studio, const Options& options);
    Q_DISABLE_COPY_MOVE(ReadApi)

    // A request for /api or under it.
    void handle(const std::shared_ptr<HttpExchange>& exchange);

private:
    HttpResponse answer(const HttpRequest& request);
    HttpResponse timesheet(const HttpRequest& request, bool csv);
    HttpResponse sessions(const HttpRequest& request, bool csv);
    HttpResponse reports(const QString& sessionId, bool csv);

    Studio& m_studio;
    Throttle m_failures;
};
