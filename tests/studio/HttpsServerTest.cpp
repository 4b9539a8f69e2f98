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
        HttpsServer::Limits limits;
        limits.headSeconds = limits.requestSeconds = 2;
        limits.maxBodyBytes = 1024;
        m_server = serve(limits);
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

    // The attack that made the studio refuse editors' reports: 4 addresses × 32 connections each declaring a
    // 3 MB body and sending one byte.  Bodies are charged as their bytes arrive, so they hold next to nothing.
    void declaredButUnsentBodiesNoLongerRefuseReports() {
        HttpsServer::Limits limits; // the studio's own
        limits.maxBodyBytes = 3 << 20;
        const std::unique_ptr<HttpsServer> server = serve(limits);
        QVERIFY(server->listen());
        std::vector<std::unique_ptr<Client>> declared;
        for (int i = 0; i < 4 * 32; ++i)
            declared.push_back(std::make_unique<Client>(m_ca, server->port(), upload(3 << 20) + 'x',
                                                        u"127.0.0.%1"_qs.arg(20 + i % 4)));
        for (const auto& client : declared)
            QVERIFY(client->encrypted());
        const QByteArray report(3 << 20, 'r');
        Client honest(m_ca, server->port(), upload(report.size()) + report, u"127.0.0.30"_qs);
        QVERIFY(honest.answer().endsWith(report));
    }

    // Past the budgets the slowest upload is cut, rather than one that sends at full speed refused: past the whole
    // budget any, past an address's share one of that address.
    void slowestUploadIsCutBeforeAFastOneIsRefused() {
        HttpsServer::Limits limits;
        limits.maxBodyBytes = 1024;
        limits.totalBodyBytes = 2000;
        limits.bodyBytesPerAddress = 1500;
        const std::unique_ptr<HttpsServer> server = serve(limits);
        QVERIFY(server->listen());
        Client first(m_ca, server->port(), upload(1024) + QByteArray(1000, 'a'), u"127.0.0.2"_qs);
        Client second(m_ca, server->port(), upload(1024) + QByteArray(1000, 'b'), u"127.0.0.3"_qs);
        QVERIFY(first.encrypted() && second.encrypted());
        QTest::qWait(1500); // long enough that both are slower than an upload at full speed
        Client fast(m_ca, server->port(), upload(1000) + QByteArray(1000, 'c'), u"127.0.0.4"_qs);
        QCOMPARE(fast.answer(), "POST / " + QByteArray(1000, 'c'));
        QVERIFY(QTest::qWaitFor([&] { return first.state() != second.state(); }, 30000));
        Client& left = first.state() == QAbstractSocket::ConnectedState ? first : second;
        QVERIFY(left.received.isEmpty());
        Client again(m_ca, server->port(), upload(1000) + QByteArray(1000, 'd'), left.localAddress().toString());
        QCOMPARE(again.answer(), "POST / " + QByteArray(1000, 'd'));
        QVERIFY(left.closed() && left.received.isEmpty());
    }

    // An agent offering only TLS 1.0 learns why it is refused: a protocol_version alert, not a bare close.
    void olderTlsVersionsGetAnAlertNotABareClose() {
        QByteArray hello = QByteArray::fromHex("0301") + QByteArray(32, 'r') +
                           QByteArray::fromHex("00"
                                               "0002c013"
                                               "0100");
        hello = QByteArray::fromHex("01") + QByteArray::fromHex("00") + char(hello.size() >> 8) + char(hello.size()) +
                hello;
        QTcpSocket socket;
        QByteArray received;
        connect(&socket, &QTcpSocket::readyRead, &socket, [&] { received += socket.readAll(); });
        socket.connectToHost(QStringLiteral("127.0.0.1"), m_server->port());
        QVERIFY(socket.waitForConnected(30000));
        socket.write(QByteArray::fromHex("160301") + char(hello.size() >> 8) + char(hello.size()) + hello);
        QVERIFY(QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 30000));
        QCOMPARE(received.toHex(), QByteArray("15030100020246"));
    }

    // TLS 1.2 without the CBC suites and their SHA-1 MACs; the suites agents use still work.
    void cbcSha1SuitesAreNotOffered() {
        for (const char* cipher : {"ECDHE-ECDSA-AES128-SHA", "ECDHE-ECDSA-AES128-GCM-SHA256"}) {
            QSslSocket socket;
            QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
            configuration.setCaCertificates({m_ca});
            configuration.setProtocol(QSsl::TlsV1_2);
            configuration.setCiphers({QSslCipher(QString::fromLatin1(cipher))});
            socket.setSslConfiguration(configuration);
            socket.setPeerVerifyName(u"studio.test"_qs);
            socket.connectToHostEncrypted(u"127.0.0.1"_qs, m_server->port());
            const bool encrypted = socket.waitForEncrypted(30000);
            QVERIFY2(encrypted == QByteArray(cipher).contains("GCM"), cipher);
        }
    }

    // From a trusted balancer the client it names is the peer, by PROXY preamble (version 1 or 2) or by header;
    // from anyone else a preamble is refused and the header ignored.  Per-address limits follow the named client.
    void clientNamedByABalancerIsBelievedOnlyFromATrustedOne() {
        HttpsServer::Limits limits;
        limits.connectionsPerAddress = 1;
        const std::unique_ptr<HttpsServer> server =
            serve(limits, QList<proxy::Subnet>{*proxy::parseSubnet(u"127.0.0.2/31"_qs)});
        QVERIFY(server->listen());
        const QByteArray peer = "GET /peer HTTP/1.1\r\nHost: a\r\n\r\n";
        const QByteArray v1 = "PROXY TCP4 203.0.113.7 127.0.0.1 40000 443\r\n";
        const QByteArray v2 = QByteArray::fromHex("0d0a0d0a000d0a515549540a"
                                                  "2111000c"
                                                  "cb007108"
                                                  "7f000001"
                                                  "9c400"
                                                  "1bb");
        Client first(m_ca, server->port(), peer, u"127.0.0.2"_qs, v1);
        QCOMPARE(first.answer(), "203.0.113.7");
        Client second(m_ca, server->port(), peer, u"127.0.0.3"_qs, v2);
        QCOMPARE(second.answer(), "203.0.113.8");
        // 203.0.113.7 already holds its one connection; the balancer itself is not limited.
        Client again(m_ca, server->port(), peer, u"127.0.0.2"_qs, v1);
        QVERIFY(again.closed() && again.received.isEmpty());
        Client forwarded(m_ca, server->port(),
                         "GET /peer HTTP/1.1\r\nHost: a\r\nX-Forwarded-For: 192.0.2.1, 198.51.100.4, 127.0.0.3\r\n\r\n",
                         u"127.0.0.3"_qs);
        QCOMPARE(forwarded.answer(), "198.51.100.4");
        Client rfc7239(m_ca, server->port(),
                       "GET /peer HTTP/1.1\r\nHost: a\r\nForwarded: for=\"[2001:db8::5]:4711\";proto=https\r\n\r\n",
                       u"127.0.0.2"_qs);
        QCOMPARE(rfc7239.answer(), "2001:db8::5");

        Client spoofedHeader(m_ca, server->port(),
                             "GET /peer HTTP/1.1\r\nHost: a\r\nX-Forwarded-For: 192.0.2.1\r\n\r\n", u"127.0.0.4"_qs);
        QCOMPARE(spoofedHeader.answer(), "127.0.0.4");
        Client spoofedPreamble(m_ca, server->port(), peer, u"127.0.0.4"_qs, v1);
        QVERIFY(spoofedPreamble.closed() && !spoofedPreamble.isEncrypted() && spoofedPreamble.received.isEmpty());
    }

    // HAProxy in front, as the README sets it up: passing TLS through with a PROXY preamble of either version, or
    // ending TLS itself and adding X-Forwarded-For.  Each client, from its own address, is seen as itself.
    void haproxyInFrontPassesTheRealClient() {
        const QString haproxy = QStandardPaths::findExecutable(u"haproxy"_qs, {u"/usr/sbin"_qs, u"/usr/bin"_qs});
        if (haproxy.isEmpty())
            QSKIP("HAProxy is not installed (scripts/install-deps installs it).");
        const std::unique_ptr<HttpsServer> server =
            serve({}, QList<proxy::Subnet>{*proxy::parseSubnet(u"127.0.0.1"_qs)});
        QVERIFY(server->listen());
        quint16 ports[3] = {};
        for (quint16& port : ports) {
            QTcpServer probe; // a free port, for HAProxy to bind a moment later
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            port = probe.serverPort();
        }
        QFile pem(m_dir.filePath(u"haproxy.pem"_qs));
        QVERIFY(pem.open(QIODevice::WriteOnly));
        pem.write(m_authority.certificate.toPem() + m_authority.key.toPem());
        pem.close();
        const QString studio = u"127.0.0.1:%1"_qs.arg(server->port());
        QFile config(m_dir.filePath(u"haproxy.cfg"_qs));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(
            u"defaults\n    timeout connect 10s\n    timeout client 60s\n    timeout server 60s\n"
            "frontend v2\n    mode tcp\n    bind 127.0.0.1:%1\n    default_backend v2\n"
            "backend v2\n    mode tcp\n    server studio %4 send-proxy-v2\n"
            "frontend v1\n    mode tcp\n    bind 127.0.0.1:%2\n    default_backend v1\n"
            "backend v1\n    mode tcp\n    server studio %4 send-proxy\n"
            "frontend https\n    mode http\n    bind 127.0.0.1:%3 ssl crt %5\n    option forwardfor\n"
            "    default_backend https\n"
            "backend https\n    mode http\n"
            "    server studio %4 ssl verify required ca-file %6 verifyhost studio.test sni str(studio.test)\n"_qs
                .arg(ports[0])
                .arg(ports[1])
                .arg(ports[2])
                .arg(studio, pem.fileName(), m_authority.caFile)
                .toUtf8());
        config.close();
        QProcess balancer;
        balancer.setProcessChannelMode(QProcess::ForwardedChannels);
        balancer.start(haproxy, {u"-db"_qs, u"-f"_qs, config.fileName()});
        QVERIFY(balancer.waitForStarted(30000));
        for (int i = 0; i < 3; ++i) {
            const QString source = u"127.0.0.%1"_qs.arg(10 + i);
            QByteArray seen;
            // HAProxy takes a moment to bind; until then the connection is refused and tried again.
            QVERIFY(QTest::qWaitFor(
                [&] {
                    Client client(m_ca, ports[i], "GET /peer HTTP/1.1\r\nHost: a\r\nX-Forwarded-For: 192.0.2.1\r\n\r\n",
                                  source);
                    seen = client.answer();
                    return !seen.isEmpty() || balancer.state() != QProcess::Running;
                },
                60000));
            QCOMPARE(seen, source.toLatin1());
        }
        balancer.terminate();
        balancer.waitForFinished(30000);
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

    QTemporaryDir m_dir;
    CertificateAuthority m_authority;
    QSslCertificate m_ca;
    std::unique_ptr<HttpsServer> m_server;
    QList<std::shared_ptr<HttpExchange>> m_waiting;
};

QTEST_GUILESS_MAIN(HttpsServerTest)
#include "HttpsServerTest.moc"
