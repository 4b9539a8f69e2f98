#include "pages/Csv.h"

#include "Answers.h"

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

HttpResponse download(const QByteArray& head, qsizetype count, std::function<QByteArray(qsizetype)> row,
                      const QString& fileName) {
    HttpResponse response = answers::streamed(head, count, std::move(row));
    response.contentType = "text/csv; charset=utf-8; header=present";
    response.headers.emplaceBack("Content-Disposition", "attachment; filename=\"" + fileName.toLatin1() + '"');
    response.headers.emplaceBack("X-Content-Type-Options", "nosniff");
    return response;
}

} // namespace csv
