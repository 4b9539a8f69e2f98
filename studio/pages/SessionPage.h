#pragma once

#include "http/HttpsServer.h"
#include "store/SessionDetails.h"

#include <QTimeZone>

// A session's page (its facts, a chart of its reports, its applications and screenshots) and its reports as CSV.
namespace SessionPage {

// The page's address for a session.
QString address(const QString& sessionId);
HttpResponse page(const sessiondetails::Details& details, const QTimeZone& zone, qint64 now);
HttpResponse csv(const sessiondetails::Details& details, const QTimeZone& zone);

} // namespace SessionPage
