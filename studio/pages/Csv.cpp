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

QByteArray disposition(const QString& fileName) {
    return "attachment; filename=\"" + fileName.toLatin1() + '"';
}

} // namespace csv
