#include "Answers.h"

#include <QTextStream>

namespace {

// Seconds after which a request that met a database failure may be sent again: a server restart or a lost
// connection is over within moments.
constexpr int kRetryAfterFailureSeconds = 5;

} // namespace

namespace answers {

HttpResponse refusal(const Error& error) {
    if (error.isAPIError())
        return HttpsServer::errorResponse(int(error.status()), error.message());
    // Every other failure is the store's, and passes: never a 4xx, which the agent would take as a final answer
    // (a stop answered 404 is dropped, a 401 un-pairs).  The client learns only that it may try again; the
    // administrator reads why in the journal.
    QTextStream(stderr) << "vantrel-studio: " << error.message() << Qt::endl;
    HttpResponse response =
        HttpsServer::errorResponse(503, QStringLiteral("The studio could not handle this request. Try again later."));
    response.headers.emplaceBack("Retry-After", QByteArray::number(kRetryAfterFailureSeconds));
    return response;
}

HttpResponse json(const QByteArray& body) {
    HttpResponse response;
    response.body = body;
    response.headers.emplaceBack("Cache-Control", "no-store");
    return response;
}

HttpResponse tooMany(const QString& message, int retryAfter) {
    HttpResponse response = HttpsServer::errorResponse(429, message);
    response.headers.emplaceBack("Retry-After", QByteArray::number(retryAfter));
    return response;
}

HttpResponse notFound() {
    return HttpsServer::errorResponse(404, QStringLiteral("There is nothing at this address."));
}

} // namespace answers
