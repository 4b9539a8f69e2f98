#pragma once

#include "http/HttpsServer.h"
#include "records/Error.h"

// Answers shared by the device API and the managers' pages.
namespace answers {

// A refusal carries its own status; any other failure is the store's and is answered 503 with Retry-After.
HttpResponse refusal(const Error& error);
HttpResponse json(const QByteArray& body);
HttpResponse tooMany(const QString& message, int retryAfter);
HttpResponse notFound();

} // namespace answers
