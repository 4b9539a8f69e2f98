#include "TestPeer.h"

#include "http/HttpsServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>

QJsonValue TestPeer::Request::json() const {
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (document.isNull())
        return QJsonValue(QJsonValue::Undefined);
    return document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
}

TestPeer::TestPeer(QString host, QObject* parent)
    : QObject(parent)
    , m_host(std::move(host)) {
    // Making the test CA runs openssl; its files are read at once and not needed afterwards.
    if (const QTemporaryDir dir; dir.isValid()) {
        if (Result<CertificateAuthority> ca = CertificateAuthority::create(dir.path(), m_host))
            m_ca = std::move(ca).value();
    }
    start();
}

void TestPeer::start() {
    if (!m_ca)
        return;
    const HttpsServer::Options options{m_ca->certificate, m_ca->key, {m_ca->ca}, m_host};
    m_server = new HttpsServer(
        options, [this](std::shared_ptr<HttpExchange> exchange) { serve(exchange); }, this);
    // Coming back up after setDown() reuses the port the clients were given.
    m_listening = m_server->listen(QHostAddress::LocalHost, m_port);
    if (m_listening)
        m_port = m_server->port();
}

TransportOptions TestPeer::transport() const {
    TransportOptions options;
    if (m_ca)
        options.extraCaCertificates = {m_ca->ca};
    options.proxy = QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), m_port);
    return options;
}

int TestPeer::count(const QByteArray& pathPrefix) const {
    return int(std::count_if(m_requests.cbegin(), m_requests.cend(),
                             [&](const Request& request) { return request.path.startsWith(pathPrefix); }));
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

void TestPeer::serve(const std::shared_ptr<HttpExchange>& exchange) {
    const HttpRequest& raw = exchange->request();
    const Request request{raw.method, raw.target, raw.headers, raw.body};
    m_requests.append(request);
    std::optional<QByteArray> best; // the longest prefix with a fixed reply
    for (const QByteArray& prefix : m_fixed.keys()) {
        if (request.path.startsWith(prefix) && prefix.size() >= best.value_or("").size())
            best = prefix;
    }
    const Reply reply = best ? m_fixed.value(*best) : m_handler ? m_handler(request) : Reply{};
    if (reply.stall) {
        m_stalled.append(exchange);
        return;
    }
    auto answer = [exchange, reply] {
        if (reply.drop)
            return exchange->close();
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
