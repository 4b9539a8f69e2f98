#pragma once

#include "http/HttpsServer.h"
#include "records/Error.h"

#include <functional>

// Answers shared by the device API and the managers' pages.
namespace answers {

// A refusal carries its own status; any other failure is the store's and is answered 503 with Retry-After.
HttpResponse refusal(const Error& error);
HttpResponse json(const QByteArray& body);
HttpResponse tooMany(const QString& message, int retryAfter);
HttpResponse notFound();
// A long answer made as the client reads it: `head`, then `row(i)` for i from 0 to count - 1, then `tail`.  `row`
// runs on a serving thread: it reads only what it holds.
HttpResponse streamed(QByteArray head, qsizetype count, std::function<QByteArray(qsizetype)> row, QByteArray tail = {});

} // namespace answers
