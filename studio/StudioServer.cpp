#include "StudioServer.h"

#include "AdminPage.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QTextStream>

#include <cmath>

namespace {

// Seconds after which a request that met a database failure may be sent again: a server restart or a lost
// connection is over within moments.
constexpr int kRetryAfterFailureSeconds = 5;

HttpResponse refusal(const Error& error) {
    if (error.isAPIError())
        return HttpsServer::errorResponse(int(error.status()), error.message());
    // Every other failure is the store's, and passes: never a 4xx, which the agent would take as a final answer
    // (a stop answered 404 is dropped, a 401 un-pairs).  The client learns only that it may try again; the
    // administrator reads why in the journal.
    QTextStream(stderr) << "vantrel-studio: " << error.message() << Qt::endl;
    HttpResponse response = HttpsServer::errorResponse(
        503, QStringLiteral("The studio could not handle this request. Try again later."));
    response.headers.emplaceBack("Retry-After", QByteArray::number(kRetryAfterFailureSeconds));
    return response;
}

HttpResponse json(const QByteArray& body) {
    HttpResponse response;
    response.body = body;
    response.headers.emplaceBack("Cache-Control", "no-store");
    return response;
}

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

HttpResponse tooMany(const QString& message, int retryAfter) {
    HttpResponse response = HttpsServer::errorResponse(429, message);
    response.headers.emplaceBack("Retry-After", QByteArray::number(retryAfter));
    return response;
}

HttpResponse signIn() {
    HttpResponse response = AdminPage::page(
        QStringLiteral("Sign in"),
        QStringLiteral(
            "<p>Sign in as <b>admin</b> with the password that <code>vantrel-studio init</code> printed.</p>"));
    response.status = 401;
    response.headers.emplaceBack("WWW-Authenticate", R"(Basic realm="Vantrel studio", charset="UTF-8")");
    return response;
}

constexpr int kMaxPasswordChecksWaiting = 16;
// Screenshot writes wait for the disk, not the processor: several at once.
constexpr int kFileWriters = 4;

} // namespace

StudioServer::StudioServer(Studio& studio, Options options, QObject* parent)
    : QObject(parent)
    , m_studio(studio)
    , m_expireAfter(std::max<qint64>(1, options.expireAfterSeconds))
    , m_server(
          [&options] {
              HttpsServer::Options tls = std::move(options.tls);
              tls.limits.maxBodyBytes = kMaxBodyBytes;
              return tls;
          }(),
          [this](std::shared_ptr<HttpExchange> exchange) { handle(exchange); }, this)
    , m_pairingPerAddress(options.pairingPerAddress, options.pairingPerAddress)
    , m_pairingTotal(options.pairingTotal, options.pairingTotal)
    , m_adminSignIns(options.adminSignInsPerAddress, options.adminSignInsPerAddress) {
    m_passwordChecks.setMaxThreadCount(1);
    m_fileWrites.setMaxThreadCount(kFileWriters);
    m_expiry.setInterval(int(std::min<qint64>(m_expireAfter, 60)) * 1000);
    connect(&m_expiry, &QTimer::timeout, this, [this] { m_studio.expireSessions(m_expireAfter); });
    m_expiry.start();
}

StudioServer::~StudioServer() {
    m_passwordChecks.clear();
    m_passwordChecks.waitForDone();
    m_fileWrites.waitForDone();
}

bool StudioServer::listen(const QHostAddress& address, quint16 port) {
    return m_server.listen(address, port);
}

quint16 StudioServer::port() const {
    return m_server.port();
}

QString StudioServer::errorString() const {
    return m_server.errorString();
}

void StudioServer::handle(const std::shared_ptr<HttpExchange>& exchange) {
    const HttpRequest& request = exchange->request();
    const QList<QByteArray> parts = request.path.split('/'); // "", "device", "sessions", id, "minutes"
    if (request.method == "POST" && parts.size() == 5 && parts[1] == "device" && parts[2] == "sessions" &&
        parts[4] == "minutes")
        return report(exchange, QString::fromUtf8(QByteArray::fromPercentEncoding(parts[3])));
    if (request.path.startsWith("/device/"))
        return exchange->respond(device(request));
    if (request.path == "/" || request.path == "/admin" || request.path.startsWith("/admin/"))
        return admin(exchange);
    exchange->respond(HttpsServer::errorResponse(404, QStringLiteral("There is nothing at this address.")));
}

HttpResponse StudioServer::device(const HttpRequest& request) {
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
        if (const int wait = m_pairingPerAddress.take(Throttle::keyOf(request.peer)))
            return tooMany(QStringLiteral("Too many pairing attempts from this computer. Try again in a minute."),
                           wait);
        if (const int wait = m_pairingTotal.take())
            return tooMany(QStringLiteral("Too many pairing attempts at the studio. Try again in a minute."), wait);
        const Result<QJsonObject> body = jsonObject(request.body);
        if (!body)
            return refusal(body.error());
        const Result<QString> code = stringMember(*body, u"code"_qs);
        const Result<QString> name = stringMember(*body, u"name"_qs);
        if (!code || !name)
            return refusal(code ? name.error() : code.error());
        const Result<Paired> paired = m_studio.pair(*code, *name);
        return paired ? json(records::encode(*paired)) : refusal(paired.error());
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
        return HttpsServer::errorResponse(404, QStringLiteral("There is nothing at this address."));
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

Result<Studio::Device> StudioServer::deviceOf(const HttpRequest& request) {
    const QByteArray authorization = request.headers.value("authorization");
    const bool bearer = authorization.size() > 7 && authorization.left(7).toLower() == "bearer ";
    return m_studio.authenticate(bearer ? authorization.mid(7).trimmed() : QByteArray());
}

// The report's screenshots are written and synced on a worker, so that the disk holds up this request only; the
// store is asked before and after on this thread.
void StudioServer::report(const std::shared_ptr<HttpExchange>& exchange, const QString& sessionId) {
    const HttpRequest& request = exchange->request();
    const Result<Studio::Device> device = deviceOf(request);
    if (!device)
        return exchange->respond(refusal(device.error()));
    m_studio.expireSessions(m_expireAfter);
    const Result<Minute> minute = records::decode<Minute>(request.body);
    if (!minute)
        return exchange->respond(HttpsServer::errorResponse(
            400, QStringLiteral("The activity report was refused: it is not a complete report in JSON.")));
    Result<std::optional<Studio::PendingMinute>> pending = m_studio.checkMinute(*device, sessionId, *minute);
    if (!pending || !*pending)
        return exchange->respond(pending ? json(R"({"stored":"duplicate"})") : refusal(pending.error()));
    auto commit = [this, exchange, device = *device, sessionId, minute = *minute,
                   bytes = (*pending)->bytes](const Result<QStringList>& written) {
        const Result<Studio::Stored> stored =
            written ? m_studio.commitMinute(device, sessionId, minute, *written, bytes) : written.error();
        if (!stored)
            return exchange->respond(refusal(stored.error()));
        exchange->respond(json(*stored == Studio::Stored::New ? R"({"stored":"new"})" : R"({"stored":"duplicate"})"));
    };
    if ((*pending)->images.isEmpty())
        return commit(QStringList());
    m_fileWrites.start([this, commit, root = m_studio.screenshotPath({}), sessionId, seq = minute->seq,
                        images = std::move((*pending)->images)] {
        const Result<QStringList> written = Studio::writeScreenshots(root, sessionId, seq, images);
        QMetaObject::invokeMethod(this, [commit, written] { commit(written); }, Qt::QueuedConnection);
    });
}

void StudioServer::admin(const std::shared_ptr<HttpExchange>& exchange) {
    const HttpRequest& request = exchange->request();
    if (request.method != "GET")
        return exchange->respond(HttpsServer::errorResponse(405, QStringLiteral("The admin pages are read-only.")));
    const QByteArray authorization = request.headers.value("authorization");
    const QByteArray credentials = authorization.left(6).toLower() == "basic "
                                       ? QByteArray::fromBase64(authorization.mid(6).trimmed())
                                       : QByteArray();
    const qsizetype colon = credentials.indexOf(':');
    if (colon < 0 || credentials.left(colon) != "admin")
        return exchange->respond(signIn());
    const QString password = QString::fromUtf8(credentials.mid(colon + 1));
    const Result<Studio::AdminSecret> stored = m_studio.adminSecret();
    if (!stored)
        return exchange->respond(refusal(stored.error()));
    const Studio::AdminSecret secret = *stored;
    const QByteArray remembered =
        QCryptographicHash::hash(QByteArray(password.toUtf8() + '\0' + secret.hash), QCryptographicHash::Sha256);
    if (!m_acceptedAdmin.isEmpty() && remembered == m_acceptedAdmin)
        return exchange->respond(adminPage(request));

    if (const int wait = m_adminSignIns.take(Throttle::keyOf(request.peer)))
        return exchange->respond(
            tooMany(QStringLiteral("Too many sign-in attempts from this computer. Try again in a minute."), wait));
    if (m_passwordChecksWaiting >= kMaxPasswordChecksWaiting)
        return exchange->respond(
            tooMany(QStringLiteral("Too many sign-in attempts at the studio. Try again in a minute."), 60));
    ++m_passwordChecksWaiting;
    m_passwordChecks.start([this, exchange, password, secret, remembered] {
        const bool matches = Studio::adminPasswordMatches(password, secret);
        QMetaObject::invokeMethod(
            this,
            [this, exchange, matches, remembered] {
                --m_passwordChecksWaiting;
                if (!matches)
                    return exchange->respond(signIn());
                m_acceptedAdmin = remembered;
                exchange->respond(adminPage(exchange->request()));
            },
            Qt::QueuedConnection);
    });
}

HttpResponse StudioServer::adminPage(const HttpRequest& request) {
    if (request.path == "/" || request.path == "/admin" || request.path == "/admin/")
    {
        const Result<QList<Studio::SessionRow>> rows = m_studio.sessions();
        return rows ? AdminPage::sessions(*rows, m_studio.now()) : refusal(rows.error());
    }

    const QByteArray prefix = "/admin/screenshots/";
    bool ok = false;
    const qint64 id = request.path.startsWith(prefix) && request.path.endsWith(".jpg")
                          ? request.path.mid(prefix.size()).chopped(4).toLongLong(&ok)
                          : 0;
    if (!ok)
        return HttpsServer::errorResponse(404, QStringLiteral("There is nothing at this address."));
    const Result<QString> path = m_studio.screenshotFile(id);
    if (!path)
        return refusal(path.error());
    QFile file(*path);
    if (!file.open(QIODevice::ReadOnly))
        return HttpsServer::errorResponse(404, QStringLiteral("The screenshot file is missing."));
    HttpResponse response;
    response.contentType = "image/jpeg";
    response.body = file.readAll();
    response.headers.emplaceBack("Cache-Control", "private, max-age=3600");
    response.headers.emplaceBack("X-Content-Type-Options", "nosniff");
    return response;
}
