#include "http/HttpsServer.h"
#include "http/CertificateAuthority.h"

#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>

// A raw TLS client checked against the test CA, so that malformed and abusive requests can be sent; it sends
// `request` once the connection is encrypted.
class Client final : public QSslSocket {
public:
    Client(const QSslCertificate& ca, quint16 port, const QByteArray& request = {}) {
        connect(this, &QSslSocket::readyRead, this, [this] { received += readAll(); });
        connect(this, &QSslSocket::encrypted, this, [this, request] { write(request); });
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setCaCertificates({ca});
        setSslConfiguration(configuration);
        setPeerVerifyName(QStringLiteral("studio.test"));
        connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    }
    bool encrypted() {
        return QTest::qWaitFor([this] { return isEncrypted() || state() == UnconnectedState; }, 30000) && isEncrypted();
    }
    bool closed() {
        return QTest::qWaitFor([this] { return state() == UnconnectedState; }, 30000);
    }
    QByteArray received;
};

class HttpsServerTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        auto authority = CertificateAuthority::create(m_dir.path(), u"studio.test"_qs);
        QVERIFY2(authority, qPrintable(authority ? QString() : authority.error().message()));
        m_ca = authority->ca;
        // Small limits make them cheap to reach.
        HttpsServer::Options options{authority->certificate, authority->key, {}, {}};
        options.limits.headSeconds = options.limits.requestSeconds = 2;
        options.limits.maxBodyBytes = 1024;
        options.limits.totalBodyBytes = 2500;
        // "/later" waits for the test to answer, "/drop" closes, anything else is echoed.
        m_server = std::make_unique<HttpsServer>(options, [this](std::shared_ptr<HttpExchange> exchange) {
            const HttpRequest& request = exchange->request();
            if (request.path == "/drop")
                return exchange->close();
            if (request.path == "/later")
                return m_waiting.append(exchange);
            exchange->respond({200, request.method + ' ' + request.target + ' ' + request.body, "text/plain", {}});
        });
        QVERIFY(m_server->listen());
    }

    // Refused on the head alone with the service's JSON error, and the connection closed.
    void refusesWhatCannotBeServed() {
        const QList<std::pair<QByteArray, std::pair<QByteArray, QByteArray>>> cases = {
            {"", {"411 Length Required", "The request needs a Content-Length."}},
            {"Transfer-Encoding: chunked\r\n",
             {"411 Length Required", "Send the request body with a Content-Length, not in chunks."}},
            {"Content-Length: 1025\r\n", {"413 Content Too Large", "The request body is too large."}}};
        for (const auto& [raw, answer] : cases) {
            Client client(m_ca, m_server->port(), "POST / HTTP/1.1\r\nHost: a\r\n" + raw + "\r\n");
            QVERIFY(client.closed());
            QVERIFY2(client.received.startsWith(QByteArray("HTTP/1.1 " + answer.first)) &&
                         client.received.contains("Connection: close\r\n") &&
                         client.received.endsWith(QByteArray("{\"error\":\"" + answer.second + "\"}")),
                     client.received.constData());
        }
    }

    // Pipelined requests are read one at a time: nothing of the second is taken while the first waits, and
    // the answers come in order.  An exchange closed without an answer closes its connection.
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
        m_waiting.takeFirst()->respond({204, {}, {}, {}});
        QVERIFY(client.closed());
        QVERIFY2(client.received.startsWith("HTTP/1.1 204 No Content\r\n"), client.received.constData());
        QVERIFY(client.received.endsWith("\r\n\r\nPOST /x?a=1 hi"));
        QCOMPARE(client.received.count("HTTP/1.1 "), 2);
    }

    // A head sent byte by byte is cut at its deadline however often bytes arrive, and so are unfinished bodies;
    // the bodies held at once stay within their budget until then.
    void slowAndHeavyClientsAreCut() {
        Client slow(m_ca, m_server->port());
        QVERIFY(slow.encrypted());
        const QByteArray head = "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1000\r\n\r\n";
        for (int i = 0; i < 200 && slow.state() == QAbstractSocket::ConnectedState; ++i) {
            slow.write(head.mid(i % head.size(), 1));
            QTest::qWait(50);
        }
        QCOMPARE(slow.state(), QAbstractSocket::UnconnectedState);

        std::vector<std::unique_ptr<Client>> heavy; // 3 × 1000 declared bytes against a budget of 2500
        for (int i = 0; i < 3; ++i) {               // one at a time, so that the third is the one over budget
            heavy.push_back(std::make_unique<Client>(m_ca, m_server->port(), head));
            QVERIFY(heavy.back()->encrypted());
        }
        QVERIFY(heavy[2]->closed());
        QVERIFY2(heavy[2]->received.startsWith("HTTP/1.1 503 Service Unavailable\r\n") &&
                     heavy[2]->received.contains("Retry-After: 60\r\n") &&
                     heavy[2]->received.endsWith("{\"error\":\"The studio is busy. Try again in a minute.\"}"),
                 heavy[2]->received.constData());
        QVERIFY(heavy[0]->closed() && heavy[1]->closed() && heavy[0]->received.isEmpty());
        Client after(m_ca, m_server->port(), head + QByteArray(1000, 'x'));
        QTRY_VERIFY(after.received.endsWith(QByteArray(1000, 'x')));
    }

private:
    QTemporaryDir m_dir;
    QSslCertificate m_ca;
    std::unique_ptr<HttpsServer> m_server;
    QList<std::shared_ptr<HttpExchange>> m_waiting;
};

QTEST_GUILESS_MAIN(HttpsServerTest)
#include "HttpsServerTest.moc"
