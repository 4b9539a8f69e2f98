#include "Answers.h"

#include <QTextStream>

#include <utility>

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

HttpResponse streamed(QByteArray head, qsizetype count, std::function<QByteArray(qsizetype)> row, QByteArray tail) {
    // Parts of about this size: few calls, little held per download.
    constexpr qsizetype kPartBytes = 64 << 10;
    HttpResponse response;
    response.stream = [part = std::move(head), next = qsizetype(0), count, row = std::move(row),
                       tail = std::move(tail)]() mutable {
        QByteArray out = std::exchange(part, {});
        while (out.size() < kPartBytes && next < count)
            out += row(next++);
        if (next == count)
            out += std::exchange(tail, {});
        return out;
    };
    response.headers.emplaceBack("Cache-Control", "no-store");
    return response;
}

HttpResponse notFound() {
    return HttpsServer::errorResponse(404, QStringLiteral("There is nothing at this address."));
}

} // namespace answers
