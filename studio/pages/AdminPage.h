#pragma once

#include "http/HttpsServer.h"
#include "store/Studio.h"

// The managers' pages, rendered on the server without scripts.  Every value from the database is escaped.
namespace AdminPage {

// Where the page's navigation names the signed-in account: filled in by the pages' gate, which knows it.
inline constexpr char kAccountSlot[] = "<!--account-->";

// A whole HTML page around `bodyHtml`, with headers that keep the browser from running or loading anything else;
// `script`, if any, is the one script the page may run (allowed by its hash).
HttpResponse page(const QString& title, const QString& bodyHtml, const QString& script = {});
// Sessions per user with stage, duration, per-application seconds, mouse activity and screenshot thumbnails.
// `notes`: paragraphs about the studio shown above them.
HttpResponse sessions(const QList<Studio::SessionRow>& rows, qint64 now, const QString& notes = {});

QString duration(qint64 seconds);
// Text for HTML content and quoted attribute values.
QString escaped(const QString& text);

} // namespace AdminPage
