#pragma once

#include "http/HttpsServer.h"
#include "store/Studio.h"
#include "store/Timesheets.h"

// The timesheet page and its CSV: hours per editor per day, totals per project and per stage, and the share of
// active seconds, for a range of the studio's local days.
namespace TimesheetPage {

// The range and filter a request asks for; without a range, the week that holds `now`.  Refusals are 400s that
// name the field.
Result<timesheets::Filter> filter(const QByteArray& query, const QTimeZone& zone, qint64 now);

struct Choices {
    QList<Studio::Choice> users;
    QList<Studio::Choice> projects;
};
HttpResponse page(const timesheets::Timesheet& sheet, const Choices& choices);
// The form alone, with why the request was refused.
HttpResponse refused(const timesheets::Filter& shown, const Choices& choices, const QString& why);
HttpResponse csv(const timesheets::Timesheet& sheet);

} // namespace TimesheetPage
