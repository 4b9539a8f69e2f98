#include "pages/Csv.h"

namespace csv {

namespace {

QString quoted(const QString& value) {
    if (!value.contains(u',') && !value.contains(u'"') && !value.contains(u'\n') && !value.contains(u'\r'))
        return value;
    return u'"' + QString(value).replace(u'"', QStringLiteral("\"\"")) + u'"';
}

} // namespace

QString text(const QString& value) {
    static const QString formulaStarts = QStringLiteral("=+-@\t\r");
    // A leading apostrophe is what spreadsheets themselves use to keep a cell as text.
    if (!value.isEmpty() && formulaStarts.contains(value.front()))
        return quoted(u'\'' + value);
    return quoted(value);
}

QByteArray row(const QStringList& cells) {
    return cells.join(u',').toUtf8() + "\r\n";
}

HttpResponse download(const QByteArray& body, const QString& fileName) {
    HttpResponse response;
    response.contentType = "text/csv; charset=utf-8; header=present";
    response.body = body;
    response.headers.emplaceBack("Content-Disposition", "attachment; filename=\"" + fileName.toLatin1() + '"');
    response.headers.emplaceBack("Cache-Control", "no-store");
    response.headers.emplaceBack("X-Content-Type-Options", "nosniff");
    return response;
}

} // namespace csv
