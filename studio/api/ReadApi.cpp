#include "api/ReadApi.h"

#include "Answers.h"
#include "pages/Csv.h"
#include "pages/LocalClock.h"
#include "pages/SessionPage.h"
#include "pages/TimesheetPage.h"
#include "store/ApiTokens.h"

#include <QDateTime>

using answers::refusal;

namespace {

constexpr char kRealm[] = R"(Bearer realm="Vantrel studio API")";

HttpResponse unauthorized(const QString& message, const QByteArray& challenge) {
    HttpResponse response = HttpsServer::errorResponse(401, message);
    response.headers.emplaceBack("WWW-Authenticate", challenge);
    return response;
}

// A JSON string: quotes, backslashes and control characters escaped, the rest as UTF-8.
QByteArray string(const QString& text) {
    QByteArray out = "\"";
    for (const char c : text.toUtf8()) {
        if (c == '"' || c == '\\')
            out += '\\', out += c;
        else if (uchar(c) < 0x20)
            out += "\\u00" + QByteArray::number(uchar(c), 16).rightJustified(2, '0');
        else
            out += c;
    }
    return out + '"';
}

QByteArray number(qint64 value) {
    return QByteArray::number(value);
}

QByteArray optional(const std::optional<qint64>& value) {
    return value ? number(*value) : QByteArrayLiteral("null");
}

// How a session ended, in the words of the timesheet's CSV.
QString ending(const QString& endKind) {
    if (endKind.isEmpty())
        return QStringLiteral("open");
    return endKind == u"stopped" ? QStringLiteral("clocked out") : endKind;
}

HttpResponse jsonStream(QByteArray head, qsizetype count, std::function<QByteArray(qsizetype)> row, QByteArray tail) {
    return answers::streamed(
        std::move(head), count,
        [row = std::move(row)](qsizetype i) {
            QByteArray out = i == 0 ? QByteArray() : QByteArrayLiteral(",");
            out += row(i);
            return out;
        },
        std::move(tail));
}

} // namespace

ReadApi::ReadApi(Studio& studio, const Options& options)
    : m_studio(studio)
    , m_failures(options.failedTokensPerAddress, options.failedTokensPerAddress) {}

void ReadApi::handle(const std::shared_ptr<HttpExchange>& exchange) {
    const HttpRequest& request = exchange->request();
    const QByteArray authorization = request.headers.value("authorization");
    if (authorization.left(7).toLower() != "bearer ")
        return exchange->respond(
            unauthorized(QStringLiteral("This API needs a token: ask the studio's admin for one."), kRealm));
    // Refused tokens are throttled like sign-ins, so that the API is no faster a way to guess.
    const QByteArray key = HttpsServer::clientKey(request.peer);
    const Result<bool> accepted =
        apitokens::accepts(m_studio.database(), authorization.mid(7).trimmed(), m_studio.now());
    if (!accepted)
        return exchange->respond(refusal(accepted.error()));
    if (!*accepted) {
        if (const int wait = m_failures.take(key))
            return exchange->respond(answers::tooMany(
                QStringLiteral("Too many refused tokens from this computer. Try again in a minute."), wait));
        return exchange->respond(unauthorized(QStringLiteral("This token is not valid or was revoked."),
                                              QByteArray(kRealm) + R"(, error="invalid_token")"));
    }
    if (request.method != "GET")
        return exchange->respond(HttpsServer::errorResponse(405, QStringLiteral("This API only reads.")));
    exchange->respond(answer(request));
}

HttpResponse ReadApi::answer(const HttpRequest& request) {
    const QByteArray path = request.path;
    const bool csv = path.endsWith(".csv");
    const QByteArray resource = csv ? path.chopped(4) : path;
    if (resource == "/api/v1/timesheet")
        return timesheet(request, csv);
    if (resource == "/api/v1/sessions")
        return sessions(request, csv);
    const QList<QByteArray> parts = resource.split('/'); // "", "api", "v1", "sessions", id, "reports"
    if (parts.size() == 6 && resource.startsWith("/api/v1/sessions/") && parts[5] == "reports")
        return reports(QString::fromUtf8(QByteArray::fromPercentEncoding(parts[4])), csv);
    return answers::notFound();
}

HttpResponse ReadApi::timesheet(const HttpRequest& request, bool csv) {
    const Result<QTimeZone> zone = m_studio.timeZone();
    const Result<timesheets::Filter> filter =
        zone ? TimesheetPage::filter(request.query, *zone, m_studio.now()) : zone.error();
    const Result<timesheets::Timesheet> sheet =
        filter ? timesheets::query(m_studio.database(), *filter, *zone, m_studio.now()) : filter.error();
    if (!sheet)
        return refusal(sheet.error());
    if (csv)
        return TimesheetPage::csv(*sheet);
    qint64 seconds = 0, active = 0;
    for (const timesheets::Entry& entry : sheet->entries)
        seconds += entry.seconds(), active += entry.activeSeconds;
    auto shared = std::make_shared<const timesheets::Timesheet>(*sheet);
    // Times as ISO 8601 with the studio's offset, which reporting tools read without knowing the zone.
    auto clock = std::make_shared<LocalClock>(sheet->zone);
    const QByteArray head = "{\"from\":" + string(sheet->filter.from.toString(Qt::ISODate)) +
                            ",\"to\":" + string(sheet->filter.to.toString(Qt::ISODate)) +
                            ",\"time_zone\":" + string(QString::fromUtf8(sheet->zone.id())) +
                            ",\"seconds\":" + number(seconds) + ",\"active_seconds\":" + number(active) +
                            ",\"entries\":[";
    return jsonStream(
        head, shared->entries.size(),
        [shared, clock](qsizetype i) -> QByteArray {
            const timesheets::Entry& entry = shared->entries[i];
            return "{\"session_id\":" + string(entry.sessionId) + ",\"user_id\":" + number(entry.userId) +
                   ",\"user\":" + string(entry.userName) + ",\"project_id\":" + string(entry.projectId) +
                   ",\"project\":" + string(entry.projectTitle) + ",\"stage\":" + string(entry.stage) +
                   ",\"date\":" + string(entry.day.toString(Qt::ISODate)) + ",\"start\":\"" + clock->iso(entry.start) +
                   "\",\"end\":\"" + clock->iso(entry.end) + '"' + ",\"seconds\":" + number(entry.seconds()) +
                   ",\"active_seconds\":" + number(entry.activeSeconds) +
                   ",\"ended\":" + string(ending(entry.endKind)) + '}';
        },
        "]}");
}

HttpResponse ReadApi::sessions(const HttpRequest& request, bool csv) {
    const Result<QTimeZone> zone = m_studio.timeZone();
    const Result<timesheets::Filter> filter =
        zone ? TimesheetPage::filter(request.query, *zone, m_studio.now()) : zone.error();
    const Result<QList<timesheets::Session>> found =
        filter ? timesheets::sessions(m_studio.database(), *filter, *zone) : filter.error();
    if (!found)
        return refusal(found.error());
    auto rows = std::make_shared<const QList<timesheets::Session>>(*found);
    const QTimeZone& local = *zone;
    if (csv) {
        const QString id = QString::fromUtf8(local.id());
        const QByteArray head =
            csv::kByteOrderMark + csv::row({u"Session"_qs, u"Editor"_qs, u"Device"_qs, u"Project"_qs, u"Stage"_qs,
                                            u"Note"_qs, QStringLiteral("Start (%1)").arg(id),
                                            QStringLiteral("End (%1)").arg(id), u"Ended"_qs, u"Active seconds"_qs});
        return csv::download(
            head, rows->size(),
            [rows, clock = std::make_shared<LocalClock>(local)](qsizetype i) {
                const timesheets::Session& s = rows->at(i);
                return csv::row({csv::text(s.id), csv::text(s.userName), csv::text(s.deviceName),
                                 csv::text(s.projectTitle), csv::text(s.stage), csv::text(s.note),
                                 QString::fromLatin1(clock->text(s.startedAt)),
                                 s.endedAt ? QString::fromLatin1(clock->text(*s.endedAt)) : QString(),
                                 ending(s.endKind), QString::number(s.activeSeconds)});
            },
            QStringLiteral("sessions-%1-to-%2.csv")
                .arg(filter->from.toString(Qt::ISODate), filter->to.toString(Qt::ISODate)));
    }
    const QByteArray head = "{\"from\":" + string(filter->from.toString(Qt::ISODate)) +
                            ",\"to\":" + string(filter->to.toString(Qt::ISODate)) +
                            ",\"time_zone\":" + string(QString::fromUtf8(local.id())) + ",\"sessions\":[";
    return jsonStream(
        head, rows->size(),
        [rows](qsizetype i) -> QByteArray {
            const timesheets::Session& s = rows->at(i);
            return "{\"id\":" + string(s.id) + ",\"user_id\":" + number(s.userId) + ",\"user\":" + string(s.userName) +
                   ",\"device\":" + string(s.deviceName) + ",\"project_id\":" + string(s.projectId) +
                   ",\"project\":" + string(s.projectTitle) + ",\"stage\":" + string(s.stage) +
                   ",\"note\":" + string(s.note) + ",\"started_at\":" + number(s.startedAt) +
                   ",\"ended_at\":" + optional(s.endedAt) + ",\"ended\":" + string(ending(s.endKind)) +
                   ",\"active_seconds\":" + number(s.activeSeconds) +
                   ",\"last_report_at\":" + optional(s.lastReportAt) + '}';
        },
        "]}");
}

HttpResponse ReadApi::reports(const QString& sessionId, bool csv) {
    const Result<QTimeZone> zone = m_studio.timeZone();
    const Result<std::optional<sessiondetails::Details>> details =
        zone ? sessiondetails::load(m_studio.database(), sessionId) : zone.error();
    if (!details)
        return refusal(details.error());
    if (!*details)
        return HttpsServer::errorResponse(404, QStringLiteral("There is no such work session."));
    if (csv)
        return SessionPage::csv(**details, *zone);
    auto session = std::make_shared<const sessiondetails::Details>(**details);
    const QByteArray head = "{\"session_id\":" + string(session->id) + ",\"user\":" + string(session->userName) +
                            ",\"project\":" + string(session->projectTitle) + ",\"stage\":" + string(session->stage) +
                            ",\"started_at\":" + number(session->startedAt) +
                            ",\"ended_at\":" + optional(session->endedAt) +
                            ",\"ended\":" + string(ending(session->endKind)) + ",\"reports\":[";
    return jsonStream(
        head, session->reports.size(),
        [session](qsizetype i) -> QByteArray {
            const sessiondetails::Report& report = session->reports[i];
            QByteArray apps;
            for (const AppSeconds& app : report.apps)
                apps += (apps.isEmpty() ? "{\"name\":" : ",{\"name\":") + string(app.name) +
                        ",\"seconds\":" + number(app.seconds) + '}';
            return "{\"seq\":" + number(report.seq) + ",\"started_at\":" + number(report.startedAt) +
                   ",\"ended_at\":" + number(report.endedAt) + ",\"active_seconds\":" + number(report.activeSeconds) +
                   ",\"mouse_moves\":" + number(report.mouseMoves) + ",\"clicks\":" + number(report.clicks) +
                   ",\"apps\":[" + apps + "],\"screenshots\":" + number(report.screenshots) + '}';
        },
        "]}");
}
