#include "device/DeviceApi.h"

#include "Answers.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cmath>

using answers::json;
using answers::refusal;
using answers::tooMany;

namespace {

// Screenshot writes wait for the disk, not the processor: several at once.
constexpr int kFileWriters = 4;

// Bodies of the key-value requests: one JSON object whose listed members have the listed types.
Result<QJsonObject> jsonObject(const QByteArray& body) {
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return Error::api(400, QStringLiteral("The request body is not a JSON object."));
    return document.object();
}

Result<QString> stringMember(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    if (!value.isString())
        return Error::api(400, QStringLiteral("The request needs “%1” as a string.").arg(key));
    return value.toString();
}

Result<qint64> integerMember(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    const double number = value.toDouble();
    if (!value.isDouble() || number != std::trunc(number) || std::abs(number) > 9.0e15)
        return Error::api(400, QStringLiteral("The request needs “%1” as a whole number.").arg(key));
    return value.toInteger();
}

} // namespace

DeviceApi::DeviceApi(Studio& studio, const Options& options, QObject* parent)
    : QObject(parent)
    , m_studio(studio)
    , m_expireAfter(std::max<qint64>(1, options.expireAfterSeconds))
    , m_pairingPerAddress(options.pairingPerAddress, options.pairingPerAddress)
    , m_pairingTotal(options.pairingTotal, options.pairingTotal) {
    m_fileWrites.setMaxThreadCount(kFileWriters);
}

DeviceApi::~DeviceApi() {
    m_fileWrites.waitForDone();
}

void DeviceApi::expireSessions() {
    m_studio.expireSessions(m_expireAfter);
}

void DeviceApi::handle(const std::shared_ptr<HttpExchange>& exchange) {
    const HttpRequest& request = exchange->request();
    const QList<QByteArray> parts = request.path.split('/'); // "", "device", "sessions", id, "minutes"
    if (request.method == "POST" && parts.size() == 5 && parts[2] == "sessions" && parts[4] == "minutes")
        return report(exchange, QString::fromUtf8(QByteArray::fromPercentEncoding(parts[3])));
    exchange->respond(answer(request));
}

HttpResponse DeviceApi::answer(const HttpRequest& request) {
    const QList<QByteArray> parts = request.path.mid(1).split('/'); // "device", …
    const bool isPost = request.method == "POST";
    auto wrongMethod = [](const QByteArray& allowed) {
        HttpResponse response =
            HttpsServer::errorResponse(405, QStringLiteral("This address does not take that method."));
        response.headers.emplaceBack("Allow", allowed);
        return response;
    };

    if (parts.size() == 2 && parts[1] == "pair") {
        if (!isPost)
            return wrongMethod("POST");
        // Codes are short enough to read out: guessing is held to a few attempts a minute.
        if (const int wait = m_pairingPerAddress.take(HttpsServer::clientKey(request.peer)))
            return tooMany(QStringLiteral("Too many pairing attempts from this computer. Try again in a minute."),
                           wait);
        const Result<QJsonObject> body = jsonObject(request.body);
        if (!body)
            return refusal(body.error());
        const Result<QString> code = stringMember(*body, u"code"_qs);
        const Result<QString> name = stringMember(*body, u"name"_qs);
        if (!code || !name)
            return refusal(code ? name.error() : code.error());
        const Result<Paired> paired = m_studio.pair(*code, *name);
        if (paired)
            return json(records::encode(*paired));
        // Only codes that failed count against the studio-wide cap, so that guesses from many addresses cannot
        // lock out an editor with a valid code; past the cap a failed code is answered 429.
        if (paired.error().isAPIError() && paired.error().status() == 401) {
            if (const int wait = m_pairingTotal.take())
                return tooMany(QStringLiteral("Too many pairing attempts at the studio. Try again in a minute."), wait);
        }
        return refusal(paired.error());
    }

    const Result<Studio::Device> device = deviceOf(request);

    if (parts.size() == 2 && parts[1] == "me") {
        if (request.method != "GET")
            return wrongMethod("GET");
        if (!device)
            return refusal(device.error());
        const Result<Profile> profile = m_studio.profile(*device);
        return profile ? json(records::encode(*profile)) : refusal(profile.error());
    }
    const bool isSessions = parts.size() >= 2 && parts[1] == "sessions";
    if (!isSessions || parts.size() == 3 || parts.size() > 4 ||
        (parts.size() == 4 && parts[3] != "minutes" && parts[3] != "stop"))
        return answers::notFound();
    if (!isPost)
        return wrongMethod("POST");
    if (!device)
        return refusal(device.error());
    m_studio.expireSessions(m_expireAfter);

    if (parts.size() == 2) {
        const Result<QJsonObject> body = jsonObject(request.body);
        if (!body)
            return refusal(body.error());
        QStringList values;
        for (const QString& key : {u"id"_qs, u"project_id"_qs, u"stage"_qs, u"note"_qs}) {
            const Result<QString> value = stringMember(*body, key);
            if (!value)
                return refusal(value.error());
            values.append(*value);
        }
        const Result<WorkSession> session = m_studio.openSession(*device, values[0], values[1], values[2], values[3]);
        return session ? json(records::encode(*session)) : refusal(session.error());
    }

    const QString sessionId = QString::fromUtf8(QByteArray::fromPercentEncoding(parts[2]));
    const Result<QJsonObject> body = jsonObject(request.body);
    if (!body)
        return refusal(body.error());
    const Result<qint64> endedAt = integerMember(*body, u"ended_at"_qs);
    if (!endedAt)
        return refusal(endedAt.error());
    const Result<> stopped = m_studio.stopSession(*device, sessionId, *endedAt);
    return stopped ? json(R"({"stopped":"yes"})") : refusal(stopped.error());
}

Result<Studio::Device> DeviceApi::deviceOf(const HttpRequest& request) {
    const QByteArray authorization = request.headers.value("authorization");
    const bool bearer = authorization.size() > 7 && authorization.left(7).toLower() == "bearer ";
    return m_studio.authenticate(bearer ? authorization.mid(7).trimmed() : QByteArray());
}

// The report's screenshots are written and synced on a worker, so that the disk holds up this request only; the
// store is asked before and after on this thread.
void DeviceApi::report(const std::shared_ptr<HttpExchange>& exchange, const QString& sessionId) {
    const HttpRequest& request = exchange->request();
    const Result<Studio::Device> device = deviceOf(request);
    if (!device)
        return exchange->respond(refusal(device.error()));
    m_studio.expireSessions(m_expireAfter);
    const Result<Minute> decoded = records::decode<Minute>(request.body);
    if (!decoded)
        return exchange->respond(HttpsServer::errorResponse(
            400, QStringLiteral("The activity report was refused: it is not a complete report in JSON.")));
    const Minute minute = Studio::bounded(*decoded);
    Result<std::optional<Studio::PendingMinute>> pending = m_studio.checkMinute(*device, sessionId, minute);
    if (!pending || !*pending)
        return exchange->respond(pending ? json(R"({"stored":"duplicate"})") : refusal(pending.error()));
    auto commit = [this, exchange, device = *device, sessionId, minute,
                   bytes = (*pending)->bytes](const Result<QStringList>& written) {
        const Result<Studio::Stored> stored =
            written ? m_studio.commitMinute(device, sessionId, minute, *written, bytes) : written.error();
        if (!stored)
            return exchange->respond(refusal(stored.error()));
        exchange->respond(json(*stored == Studio::Stored::New ? R"({"stored":"new"})" : R"({"stored":"duplicate"})"));
    };
    if ((*pending)->images.isEmpty())
        return commit(QStringList());
    m_fileWrites.start([this, commit, root = m_studio.screenshotPath({}), sessionId, seq = minute.seq,
                        images = std::move((*pending)->images)] {
        const Result<QStringList> written = Studio::writeScreenshots(root, sessionId, seq, images);
        QMetaObject::invokeMethod(
            this, [commit, written] { commit(written); }, Qt::QueuedConnection);
    });
}
