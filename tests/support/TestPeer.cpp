#include "TestPeer.h"

#include "http/CertificateAuthority.h"
#include "http/HttpsServer.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QNetworkProxy>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <map>
#include <optional>

namespace {

// One test CA per host name and test process: making it runs openssl, and peers of one host can share it.
std::optional<CertificateAuthority> authority(const QString& host) {
    static std::map<QString, std::optional<CertificateAuthority>> made;
    static QTemporaryDir root;
    const auto known = made.find(host);
    if (known != made.end())
        return known->second;
    std::optional<CertificateAuthority> ca;
    const QString dir = root.filePath(host);
    if (root.isValid() && QDir().mkpath(dir)) {
        if (Result<CertificateAuthority> created = CertificateAuthority::create(dir, host))
            ca = std::move(created).value();
    }
    made.emplace(host, ca);
    return ca;
}

} // namespace

QJsonValue TestPeer::Request::json() const {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        return QJsonValue(QJsonValue::Undefined);
    return document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
}

TestPeer::TestPeer(QObject* parent)
    : TestPeer(QStringLiteral("studio.test"), parent) {}

TestPeer::TestPeer(QString host, QObject* parent)
    : QObject(parent)
    , m_host(std::move(host)) {
    start();
}

TestPeer::~TestPeer() = default;

void TestPeer::start() {
    const std::optional<CertificateAuthority> ca = authority(m_host);
    if (!ca)
        return;
    HttpsServer::Options options;
    options.certificate = ca->certificate;
    options.key = ca->key;
    options.chain = {ca->ca};
    options.tunnelHost = m_host;
    m_server = new HttpsServer(
        options, [this](std::shared_ptr<HttpExchange> exchange) { serve(exchange); }, this);
    // Coming back up after setDown() reuses the port the clients were given.
    m_listening = m_server->listen(QHostAddress::LocalHost, m_port);
    if (m_listening)
        m_port = m_server->port();
}

bool TestPeer::isListening() const {
    return m_listening;
}

QString TestPeer::server() const {
    return u"https://" + m_host;
}

TransportOptions TestPeer::transport() const {
    TransportOptions options;
    if (const std::optional<CertificateAuthority> ca = authority(m_host))
        options.extraCaCertificates = {ca->ca};
    options.proxy = QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), m_port);
    return options;
}

void TestPeer::setHandler(std::function<Reply(const Request&)> handler) {
    m_handler = std::move(handler);
}

void TestPeer::setReply(const QByteArray& pathPrefix, Reply reply) {
    m_fixed.insert(pathPrefix, std::move(reply));
}

int TestPeer::count(const QByteArray& pathPrefix) const {
    return static_cast<int>(
        std::count_if(m_requests.cbegin(), m_requests.cend(),
                      [&pathPrefix](const Request& request) { return request.path.startsWith(pathPrefix); }));
}

void TestPeer::setDown(bool down) {
    if (down) {
        // Closes the listening socket and every open connection with it.
        delete m_server;
        m_server = nullptr;
        m_listening = false;
        m_stalled.clear();
    } else if (!m_server) {
        start();
    }
}

TestPeer::Reply TestPeer::replyFor(const Request& request) const {
    const QByteArray* best = nullptr;
    for (auto it = m_fixed.constBegin(); it != m_fixed.constEnd(); ++it) {
        if (request.path.startsWith(it.key()) && (!best || it.key().size() > best->size()))
            best = &it.key();
    }
    if (best)
        return m_fixed.value(*best);
    return m_handler ? m_handler(request) : Reply{};
}

void TestPeer::serve(const std::shared_ptr<HttpExchange>& exchange) {
    const HttpRequest& raw = exchange->request();
    const Request request{raw.method, raw.target, raw.headers, raw.body};
    m_requests.append(request);
    const Reply reply = replyFor(request);

    if (reply.stall) {
        m_stalled.append(exchange);
        return;
    }
    auto answer = [exchange, reply] {
        if (reply.drop) {
            exchange->close();
            return;
        }
        HttpResponse response;
        response.status = reply.status;
        response.body = reply.body;
        if (!reply.location.isEmpty())
            response.headers.append({QByteArrayLiteral("Location"), reply.location});
        exchange->respond(response);
    };
    if (reply.delay.count() > 0)
        QTimer::singleShot(reply.delay, this, answer);
    else
        answer();
}
