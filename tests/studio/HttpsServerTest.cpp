#include "http/HttpsServer.h"
#include "http/CertificateAuthority.h"

#include <QDir>
#include <QProcess>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

// A raw TLS client checked against the test CA, so that malformed and abusive requests can be sent.  It connects
// from `source` (any loopback address stands for another client), sends `preamble` in the clear as a load balancer
// would, then `request` once the connection is encrypted.
class Client final : public QSslSocket {
public:
    Client(const QSslCertificate& ca, quint16 port, const QByteArray& request = {},
           const QString& source = u"127.0.0.1"_qs, const QByteArray& preamble = {}) {
        connect(this, &QSslSocket::readyRead, this, [this] { received += readAll(); });
        connect(this, &QSslSocket::connected, this, [this, preamble] {
            write(preamble);
            startClientEncryption();
        });
        connect(this, &QSslSocket::encrypted, this, [this, request] { write(request); });
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setCaCertificates({ca});
        setSslConfiguration(configuration);
        setPeerVerifyName(QStringLiteral("studio.test"));
        bind(QHostAddress(source));
        connectToHost(QStringLiteral("127.0.0.1"), port);
    }
    bool encrypted() {
        return QTest::qWaitFor([this] { return isEncrypted() || state() == UnconnectedState; }, 30000) && isEncrypted();
    }
    bool closed() {
        return QTest::qWaitFor([this] { return state() == UnconnectedState; }, 30000);
    }
    // The body of the answer, once it has come; empty when none came.
    QByteArray answer() {
        (void)QTest::qWaitFor([this] { return received.contains("\r\n\r\n") || state() == UnconnectedState; }, 30000);
        const qsizetype end = received.indexOf("\r\n\r\n");
        if (end < 0)
            return {};
        const QByteArray head = received.left(end).toLower(); // balancers may lower the header names
        const qsizetype length = head.mid(head.indexOf("content-length: ") + 16).split('\r').value(0).toInt();
        (void)QTest::qWaitFor([&] { return received.size() >= end + 4 + length || state() == UnconnectedState; },
                              30000);
        return received.mid(end + 4);
    }
    QByteArray received;
};

// A request whose head names `path` and declares `length` body bytes.
static QByteArray upload(qint64 length, const QByteArray& path = "/") {
    return "POST " + path + " HTTP/1.1\r\nHost: a\r\nContent-Length: " + QByteArray::number(length) + "\r\n\r\n";
}

class HttpsServerTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        auto authority = CertificateAuthority::create(m_dir.path(), u"studio.test"_qs);
        QVERIFY2(authority, qPrintable(authority ? QString() : authority.error().message()));
        m_authority = *authority;
        m_ca = authority->ca;
        // Small limits make them cheap to reach.
        m_server = serve({.headSeconds = 2, .requestSeconds = 2, .maxBodyBytes = 1024});
        QVERIFY(m_server->listen());
    }

    // Refused on the head alone with the service's JSON error, and the connection closed.
    void duplicateContentLengthAndOtherUnservableHeadsAreRefused() {
        const QList<std::pair<QByteArray, std::pair<QByteArray, QByteArray>>> cases = {
            {"", {"411 Length Required", "The request needs a Content-Length."}},
            {"Transfer-Encoding: chunked\r\n",
             {"411 Length Required", "Send the request body with a Content-Length, not in chunks."}},
            {"Content-Length: 2\r\nContent-Length: 2\r\n",
             {"400 Bad Request", "The request has more than one Content-Length header."}},
            {"Content-Length: 1025\r\n", {"413 Content Too Large", "The request body is too large."}}};
        for (const auto& [raw, answer] : cases) {
            Client client(m_ca, m_server->port(), "POST / HTTP/1.1\r\nHost: a\r\n" + raw + "\r\nhi");
            QVERIFY(client.closed());
            QVERIFY2(client.received.startsWith(QByteArray("HTTP/1.1 " + answer.first)) &&
                         client.received.contains("Connection: close\r\n") &&
                         client.received.endsWith(QByteArray("{\"error\":\"" + answer.second + "\"}")),
                     client.received.constData());
        }
    }

    // Pipelined requests are read one at a time: nothing of the second is taken while the first waits, and
    // the answers come in order, the first streamed in parts larger than the server's blocks.  An exchange closed
    // without an answer closes its connection.
    void pipelinedRequestsWaitTheirTurn() {
        Client client(
            m_ca, m_server->port(),
            "GET /later HTTP/1.1\r\nHost: a\r\n\r\nPOST /x?a=1 HTTP/1.1\r\nHost: a\r\nContent-Length: 2\r\n\r\nhi"
            "GET /drop HTTP/1.1\r\nHost: a\r\n\r\n");
        QTRY_COMPARE(m_waiting.size(), 1);
        // A request on another connection, sent after all of these, is answered: the server has read what it
        // would take of the first connection.
        Client other(m_ca, m_server->port(), "POST /y HTTP/1.1\r\nHost: a\r\nContent-Length: 2\r\n\r\nok");
        QTRY_VERIFY(other.received.endsWith("POST /y ok"));
        QVERIFY(client.received.isEmpty() && m_waiting.size() == 1);
        m_waiting.takeFirst()->respond({200, {}, "text/plain", {}, [part = 0]() mutable {
                                            return part < 3 ? QByteArray(100000, char('a' + part++)) : QByteArray();
                                        }});
        QVERIFY(client.closed());
        QVERIFY2(client.received.startsWith("HTTP/1.1 200 OK\r\n"), client.received.left(200).constData());
        QVERIFY(client.received.endsWith("\r\n\r\nPOST /x?a=1 hi"));
        QCOMPARE(client.received.count("HTTP/1.1 "), 2);
        // The first answer's chunks, put together.
        QByteArray streamed;
        for (qsizetype at = client.received.indexOf("\r\n\r\n") + 4, size = 1; size > 0;) {
            const qsizetype line = client.received.indexOf("\r\n", at);
            size = client.received.mid(at, line - at).toLongLong(nullptr, 16);
            streamed += client.received.mid(line + 2, size);
            at = line + 2 + size + 2;
        }
        QCOMPARE(streamed, QByteArray(100000, 'a') + QByteArray(100000, 'b') + QByteArray(100000, 'c'));
    }

    // A head sent byte by byte is cut at its deadline however often bytes arrive.
    void slowHeadIsCutAtItsDeadline() {
        Client slow(m_ca, m_server->port());
        QVERIFY(slow.encrypted());
        const QByteArray head = upload(1000);
        for (int i = 0; i < 200 && slow.state() == QAbstractSocket::ConnectedState; ++i) {
            slow.write(head.mid(i % head.size(), 1));
            QTest::qWait(50);
        }
        QCOMPARE(slow.state(), QAbstractSocket::UnconnectedState);
    }

    // Bodies are charged as their bytes arrive, and past the budgets the slowest upload is cut rather than one that
    // sends at full speed refused: past the whole budget any, past an address's share one of that address.  Each
    // holder declares more than it sends: charged by what they declare, nothing fast would ever fit.
    void slowestUploadIsCutBeforeAFastOneIsRefused() {
        const auto server = serve({.maxBodyBytes = 1024, .totalBodyBytes = 2000, .bodyBytesPerAddress = 1500});
        QVERIFY(server->listen());
        Client first(m_ca, server->port(), upload(1024) + QByteArray(1000, 'a'), u"127.0.0.2"_qs);
        Client second(m_ca, server->port(), upload(1024) + QByteArray(1000, 'b'), u"127.0.0.3"_qs);
        QVERIFY(first.encrypted() && second.encrypted());
        // Fast uploads until one makes room by cutting a holder: refused while the holders are not yet slower than
        // they are (younger than a second), or answered without a cut while the holders' bytes are still on their way.
        QByteArray answered;
        QVERIFY(QTest::qWaitFor(
            [&] {
                answered = Client(m_ca, server->port(), upload(1000) + QByteArray(1000, 'c'), u"127.0.0.4"_qs).answer();
                return first.state() != second.state();
            },
            60000));
        QCOMPARE(answered, "POST / " + QByteArray(1000, 'c'));
        Client& left = first.state() == QAbstractSocket::ConnectedState ? first : second;
        // Cut without an answer; a holder refused for what it declared would have had a 503.
        QVERIFY(first.received.isEmpty() && second.received.isEmpty());
        QVERIFY(QTest::qWaitFor(
            [&] {
                const QString source = left.localAddress().toString();
                return Client(m_ca, server->port(), upload(1000) + QByteArray(1000, 'd'), source).answer() ==
                       "POST / " + QByteArray(1000, 'd');
            },
            60000));
        QVERIFY(left.closed() && left.received.isEmpty());
    }

    // An agent offering only TLS 1.0 learns why it is refused: a protocol_version alert, not a bare close.  TLS 1.2
    // comes without the CBC suites and their SHA-1 MACs; the suites agents use still work.
    void olderTlsVersionsAndCbcSha1SuitesAreRefused() {
        // A TLS 1.0 record holding a ClientHello (41 bytes) of version 1.0 with one suite and no extensions.
        const QByteArray hello = QByteArray::fromHex("160301002d 01000029 0301") + QByteArray(32, 'r') +
                                 QByteArray::fromHex("00 0002c013 0100");
        QTcpSocket socket;
        QByteArray received;
        connect(&socket, &QTcpSocket::readyRead, &socket, [&] { received += socket.readAll(); });
        socket.connectToHost(QStringLiteral("127.0.0.1"), m_server->port());
        QVERIFY(socket.waitForConnected(30000));
        socket.write(hello);
        QVERIFY(QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 30000));
        QCOMPARE(received.toHex(), QByteArray("15030100020246"));
        for (const char* cipher : {"ECDHE-ECDSA-AES128-SHA", "ECDHE-ECDSA-AES128-GCM-SHA256"}) {
            QSslSocket client;
            QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
            configuration.setCaCertificates({m_ca});
            configuration.setProtocol(QSsl::TlsV1_2);
            configuration.setCiphers({QSslCipher(QString::fromLatin1(cipher))});
            client.setSslConfiguration(configuration);
            client.setPeerVerifyName(u"studio.test"_qs);
            client.connectToHostEncrypted(u"127.0.0.1"_qs, m_server->port());
            const bool encrypted = client.waitForEncrypted(30000);
            QVERIFY2(encrypted == QByteArray(cipher).contains("GCM"), cipher);
        }
    }

    // HAProxy in front, as the README sets it up: passing TLS through with a PROXY preamble of either version, or
    // ending TLS itself and adding X-Forwarded-For after the forged one its client sent.  Each client, from its own
    // address, is seen as itself, and per-address limits follow it; the balancer itself is not limited.  Headers
    // name the client only from a trusted address; from any other a preamble is refused and the headers ignored.
    void clientNamedByABalancerIsBelievedOnlyFromATrustedOne() {
        const QString haproxy = QStandardPaths::findExecutable(u"haproxy"_qs, {u"/usr/sbin"_qs, u"/usr/bin"_qs});
        QVERIFY2(!haproxy.isEmpty(), "HAProxy is not installed (scripts/install-deps installs it).");
        // The clients keep their connections while the case runs.
        const auto server = serve({.connectionsPerAddress = 1, .headSeconds = 600, .idleSeconds = 600},
                                  {*proxy::parseSubnet(u"127.0.0.1"_qs)});
        QVERIFY(server->listen());
        quint16 ports[3] = {};
        for (quint16& port : ports) {
            QTcpServer probe; // a free port, for HAProxy to bind a moment later
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            port = probe.serverPort();
        }
        const QString pem = written(u"haproxy.pem"_qs, m_authority.certificate.toPem() + m_authority.key.toPem());
        const QString studio = u"127.0.0.1:%1"_qs.arg(server->port());
        const QString config = written(
            u"haproxy.cfg"_qs,
            u"defaults\n    timeout connect 10s\n    timeout client 60s\n    timeout server 60s\n"
            "frontend v2\n    mode tcp\n    bind 127.0.0.1:%1\n    default_backend v2\n"
            "backend v2\n    mode tcp\n    server studio %4 send-proxy-v2\n"
            "frontend v1\n    mode tcp\n    bind 127.0.0.1:%2\n    default_backend v1\n"
            "backend v1\n    mode tcp\n    server studio %4 send-proxy\n"
            "frontend https\n    mode http\n    bind 127.0.0.1:%3 ssl crt %5\n    option forwardfor\n"
            "    default_backend https\n"
            "backend https\n    mode http\n"
            "    server studio %4 ssl verify required ca-file %6 verifyhost studio.test sni str(studio.test)\n"_qs
                .arg(QString::number(ports[0]), QString::number(ports[1]), QString::number(ports[2]), studio, pem,
                     m_authority.caFile)
                .toUtf8());
        QVERIFY(!pem.isEmpty() && !config.isEmpty());
        QProcess balancer;
        balancer.setProcessChannelMode(QProcess::ForwardedChannels);
        balancer.start(haproxy, {u"-db"_qs, u"-f"_qs, config});
        QVERIFY(balancer.waitForStarted(30000));
        const QByteArray peer = "GET /peer HTTP/1.1\r\nHost: a\r\n";
        const QByteArray forged = peer + "X-Forwarded-For: 192.0.2.1\r\n\r\n";
        std::vector<std::unique_ptr<Client>> held; // each keeps its connection open
        for (int i = 0; i < 3; ++i) {
            const QString source = u"127.0.0.%1"_qs.arg(10 + i);
            QByteArray seen;
            // HAProxy takes a moment to bind; until then the connection is refused and tried again.
            QVERIFY(QTest::qWaitFor(
                [&] {
                    held.push_back(std::make_unique<Client>(m_ca, ports[i], forged, source));
                    seen = held.back()->answer();
                    return !seen.isEmpty() || balancer.state() != QProcess::Running;
                },
                60000));
            QCOMPARE(seen, source.toLatin1());
        }
        // 127.0.0.10 already holds its one connection through the balancer.
        Client again(m_ca, ports[0], forged, u"127.0.0.10"_qs);
        QVERIFY(again.closed() && again.received.isEmpty());
        balancer.terminate();
        balancer.waitForFinished(30000);

        const QList<std::pair<QByteArray, QByteArray>> direct = {
            {"X-Forwarded-For: 192.0.2.1, 198.51.100.4, 127.0.0.1", "198.51.100.4"}, // trusted hops skipped
            {"Forwarded: for=\"[2001:db8::5]:4711\";proto=https", "2001:db8::5"}};
        for (const auto& [header, client] : direct)
            QCOMPARE(Client(m_ca, server->port(), peer + header + "\r\n\r\n").answer(), client);
        QCOMPARE(Client(m_ca, server->port(), forged, u"127.0.0.4"_qs).answer(), "127.0.0.4");
        Client spoofed(m_ca, server->port(), forged, u"127.0.0.5"_qs, "PROXY TCP4 203.0.113.7 127.0.0.1 40000 443\r\n");
        QVERIFY(spoofed.closed() && !spoofed.isEncrypted() && spoofed.received.isEmpty());
    }

private:
    // "/later" waits for the test to answer, "/drop" closes, "/peer" names the client, anything else is echoed.
    std::unique_ptr<HttpsServer> serve(const HttpsServer::Limits& limits, const QList<proxy::Subnet>& proxies = {}) {
        return std::make_unique<HttpsServer>(
            HttpsServer::Options{m_authority.certificate, m_authority.key, {}, limits, proxies},
            [this](std::shared_ptr<HttpExchange> exchange) {
                const HttpRequest& request = exchange->request();
                if (request.path == "/drop")
                    return exchange->close();
                if (request.path == "/later")
                    return m_waiting.append(exchange);
                if (request.path == "/peer")
                    return exchange->respond({200, request.peer.toString().toLatin1(), "text/plain", {}, {}});
                exchange->respond(
                    {200, request.method + ' ' + request.target + ' ' + request.body, "text/plain", {}, {}});
            });
    }

    // A file of the case's folder holding `bytes`: its path, empty when it could not be written.
    QString written(const QString& name, const QByteArray& bytes) {
        QFile file(m_dir.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() ? file.fileName() : QString();
    }

    QTemporaryDir m_dir;
    CertificateAuthority m_authority;
    QSslCertificate m_ca;
    std::unique_ptr<HttpsServer> m_server;
    QList<std::shared_ptr<HttpExchange>> m_waiting;
};

QTEST_GUILESS_MAIN(HttpsServerTest)
#include "HttpsServerTest.moc"
