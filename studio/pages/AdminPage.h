#pragma once

#include "store/Studio.h"
#include "http/HttpsServer.h"

// The read-only admin pages, rendered on the server.  Every value from the database is escaped.
namespace AdminPage {

// A whole HTML page around `bodyHtml`, with headers that keep the browser from running or loading anything else.
HttpResponse page(const QString& title, const QString& bodyHtml);
// Sessions per user with stage, duration, per-application seconds, mouse activity and screenshot thumbnails.
HttpResponse sessions(const QList<Studio::SessionRow>& rows, qint64 now);

QString duration(qint64 seconds);

} // namespace AdminPage
