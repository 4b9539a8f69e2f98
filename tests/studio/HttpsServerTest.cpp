#include "http/HttpsServer.h"
#include "http/CertificateAuthority.h"

#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>

class HttpsServerTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        auto authority = CertificateAuthority::create(m_dir.path(), u"studio.test"_qs);
        QVERIFY2(authority, qPrintable(authority ? QString() : authority.error().message()));
        m_ca = authority->ca;
        // Small limits make the refusals cheap to provoke.
        HttpsServer::Options options{authority->certificate, authority->key, {}, u"studio.test"_qs, 1024, 2048};
        m_server = std::make_unique<HttpsServer>(options, [this](std::shared_ptr<HttpExchange> exchange) {
            ++m_handled;
            exchange->respond(HttpResponse{});
        });
        QVERIFY(m_server->listen());
    }

    // Refused with a JSON error and a closed connection, before the handler sees anything.
    void refusesMalformedAndOversizedRequests_data() {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QByteArray>("status");
        const auto row = [](const char* name, const QByteArray& raw, const char* status) {
            QTest::newRow(name) << raw << QByteArray(status);
        };
        // Over plain TCP only a CONNECT to the tunnel host is served: a clear refusal rather than a TLS alert.
        row("plain http", "GET /device/me HTTP/1.1\r\nHost: studio.test\r\n\r\n", "400 Bad Request");
        row("plain tunnel elsewhere", "CONNECT elsewhere.test:443 HTTP/1.1\r\n\r\n", "403 Forbidden");
        row("bad version", "GET / HTTP/9\r\n\r\n", "400 Bad Request");
        row("bad header", "GET / HTTP/1.1\r\nno colon\r\n\r\n", "400 Bad Request");
        row("bad length", "POST / HTTP/1.1\r\nContent-Length: 12x\r\n\r\n", "400 Bad Request");
        row("no length", "POST / HTTP/1.1\r\n\r\n", "411 Length Required");
        row("chunked", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "411 Length Required");
        // Refused on the declared length, before any of the body arrives.
        row("body too large", "POST / HTTP/1.1\r\nContent-Length: 1025\r\n\r\n", "413 Content Too Large");
        row("headers too large", "GET / HTTP/1.1\r\nX: " + QByteArray(3000, 'a') + "\r\n\r\n",
            "431 Request Header Fields Too Large");
    }
    // Raw bytes, so that malformed requests can be sent: over TLS checked against the test CA, or over plain TCP.
    void refusesMalformedAndOversizedRequests() {
        QFETCH(QByteArray, raw);
        QFETCH(QByteArray, status);
        const bool tls = !QByteArray(QTest::currentDataTag()).startsWith("plain");
        const int handled = m_handled;
        QSslSocket socket;
        QByteArray received;
        connect(&socket, &QSslSocket::readyRead, &socket, [&] { received += socket.readAll(); });
        if (tls) {
            QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
            configuration.setCaCertificates({m_ca});
            socket.setSslConfiguration(configuration);
            socket.setPeerVerifyName(QStringLiteral("studio.test"));
            socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_server->port());
            QTRY_VERIFY_WITH_TIMEOUT(socket.isEncrypted(), 30000);
        } else {
            socket.connectToHost(QStringLiteral("127.0.0.1"), m_server->port());
        }
        socket.write(raw);
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 30000);
        QVERIFY2(received.startsWith(QByteArray("HTTP/1.1 " + status + "\r\n")), received.constData());
        QCOMPARE(received.count("HTTP/1.1 "), 1);
        QVERIFY(received.contains("Connection: close\r\n\r\n{\"error\":\""));
        if (!tls && status.startsWith("400"))
            QVERIFY(received.endsWith("{\"error\":\"This server speaks HTTPS only.\"}"));
        QCOMPARE(m_handled, handled);
    }

private:
    QTemporaryDir m_dir;
    QSslCertificate m_ca;
    std::unique_ptr<HttpsServer> m_server;
    int m_handled = 0;
};

QTEST_GUILESS_MAIN(HttpsServerTest)
#include "HttpsServerTest.moc"
