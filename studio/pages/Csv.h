#pragma once

#include "http/HttpsServer.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

// CSV as RFC 4180 has it (CRLF, fields quoted when they hold a comma, a quote or a line break), UTF-8 with a byte
// order mark so that spreadsheets do not guess another encoding.  Text that came from people is made inert: a
// spreadsheet would run a cell beginning with =, +, - or @ (or a tab or carriage return before one) as a formula.
namespace csv {

inline constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// A cell of text from a user, a device or a title.
QString text(const QString& value);
QByteArray row(const QStringList& cells);
// The answer that downloads `head` (kByteOrderMark and the header row) then `row(i)` for i from 0 to count - 1 as
// `fileName`, made as the client reads it.  `row` runs on a serving thread: it reads only what it holds.
HttpResponse download(const QByteArray& head, qsizetype count, std::function<QByteArray(qsizetype)> row,
                      const QString& fileName);

} // namespace csv
