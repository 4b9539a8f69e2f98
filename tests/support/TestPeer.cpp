#include "TestPeer.h"

#include "http/HttpsServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <utility>

QJsonValue TestPeer::Request::json() const {
    const QJsonDocument document = QJsonDocument::fromJson(body);
    return document.isNull()    ? QJsonValue(QJsonValue::Undefined)
           : document.isArray() ? QJsonValue(document.array())
                                : QJsonValue(document.object());
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
    HttpsServer::Options options{m_ca->certificate, m_ca->key, {m_ca->ca}, {}, {}};
    // Every client comes through the tunnel from one address, and stalled answers keep their connections.
    options.limits.connectionsPerAddress = options.limits.connections;
    m_server = new HttpsServer(
        options, [this](std::shared_ptr<HttpExchange> exchange) { serve(exchange); }, this);
    if (!m_server->listen(QHostAddress::LocalHost, 0))
        return;
    m_tunnel = new QTcpServer(this);
    connect(m_tunnel, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* client = m_tunnel->nextPendingConnection())
            relay(client);
    });
    // Coming back up after setDown() reuses the port the clients were given.
    m_listening = m_tunnel->listen(QHostAddress::LocalHost, m_port);
    if (m_listening)
        m_port = m_tunnel->serverPort();
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
        // Closes the listening sockets and every open connection with them.
        delete std::exchange(m_tunnel, nullptr);
        delete std::exchange(m_server, nullptr);
        m_listening = false;
        m_stalled.clear();
    } else if (!m_server) {
        start();
    }
}

// What an ordinary HTTP proxy does for a client: "CONNECT <host>:443" is relayed to the HTTPS server on loopback,
// so the client speaks TLS to the real name with certificate checking on.  Anything else is refused.
void TestPeer::relay(QTcpSocket* client) {
    auto* upstream = new QTcpSocket(client);
    const QByteArray expected = "connect " + m_host.toLower().toUtf8() + ":443 http/1.1\r\n";
    connect(client, &QTcpSocket::readyRead, client, [client, upstream, expected, target = m_server->port()] {
        if (upstream->state() != QAbstractSocket::UnconnectedState)
            return void(upstream->write(client->readAll()));
        const QByteArray head = client->peek(16 << 10);
        const qsizetype end = head.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        client->read(end + 4);
        if (!head.toLower().startsWith(expected)) {
            client->write("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            return client->disconnectFromHost();
        }
        // Bytes written while connecting are sent once connected.
        upstream->connectToHost(QHostAddress::LocalHost, target);
        client->write("HTTP/1.1 200 Connection established\r\n\r\n");
        upstream->write(client->readAll());
    });
    connect(upstream, &QTcpSocket::readyRead, client, [client, upstream] { client->write(upstream->readAll()); });
    connect(upstream, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
    connect(upstream, &QTcpSocket::errorOccurred, client, &QTcpSocket::abort);
    connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
}

void TestPeer::serve(const std::shared_ptr<HttpExchange>& exchange) {
    const HttpRequest& raw = exchange->request();
    const Request request{raw.method, raw.target, raw.headers, raw.body};
    m_requests.append(request);
    std::optional<QByteArray> best; // the longest prefix with a fixed reply
    for (const QByteArray& prefix : m_fixed.keys())
        if (request.path.startsWith(prefix) && prefix.size() >= best.value_or("").size())
            best = prefix;
    const Reply reply = best ? m_fixed.value(*best) : m_handler ? m_handler(request) : Reply{};
    if (reply.stall)
        return m_stalled.append(exchange);
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
