#pragma once

#include "records/Records.h"

#include <QMap>

// Rules shared by the reports sent while tracking and the clock-out's final report.
namespace minutes {

// Application seconds within a report of `length` seconds: names in ascending order of their Unicode
// scalar values (composed form, no locale, no case folding); each takes what is left of the budget,
// and names left with nothing are omitted.
QList<AppSeconds> budget(const QMap<QString, qint64>& apps, qint64 length);

// Elapsed seconds as "HH:MM:SS"; the hours take as many digits as they need.
QString formatElapsed(qint64 seconds);

// The path of a work session's activity reports.
QString reportPath(const QString& sessionId);

} // namespace minutes
