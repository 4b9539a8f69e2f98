#include "http/HttpsServer.h"
#include "RawClient.h"
#include "http/CertificateAuthority.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kHost = QStringLiteral("studio.test");

QByteArray statusLine(const QByteArray& response) {
    return response.left(response.indexOf("\r\n"));
}

QString errorText(const QByteArray& response) {
    return QJsonDocument::fromJson(response.mid(response.indexOf("\r\n\r\n") + 4)).object().value(u"error").toString();
}

} // namespace

class HttpsServerTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        auto authority = CertificateAuthority::create(m_dir.path(), kHost);
        QVERIFY2(authority, qPrintable(authority ? QString() : authority.error().message()));
        m_authority = *authority;

        HttpsServer::Options options{m_authority.certificate, m_authority.key, {}, kHost, 1024, 2048};
        m_server = std::make_unique<HttpsServer>(options, [this](std::shared_ptr<HttpExchange> exchange) {
            const HttpRequest& request = exchange->request();
            ++m_handled;
            if (request.path == "/stall") {
                m_stalled = exchange;
                return;
            }
            if (request.path == "/drop") {
                exchange->close();
                return;
            }
            HttpResponse response;
            response.status = request.path == "/missing" ? 404 : 200;
            response.body =
                QJsonDocument(QJsonObject{{u"method"_qs, QString::fromUtf8(request.method)},
                                          {u"path"_qs, QString::fromUtf8(request.path)},
                                          {u"query"_qs, QString::fromUtf8(request.query)},
                                          {u"auth"_qs, QString::fromUtf8(request.headers.value("authorization"))},
                                          {u"body"_qs, QString::fromUtf8(request.body)}})
                    .toJson(QJsonDocument::Compact);
            exchange->respond(response);
        });
        QVERIFY(m_server->listen());
    }

    // The agent's way in: an ordinary HTTP proxy setting, the real host name, the test CA, certificate checking on.
    void proxyTunnelWithCertificateChecking() {
        QNetworkAccessManager manager;
        manager.setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), m_server->port()));
        QNetworkRequest request(QUrl(QStringLiteral("https://studio.test/device/me?x=1")));
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates({m_authority.ca});
        request.setSslConfiguration(tls);
        request.setRawHeader("Authorization", "Bearer abc");
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));

        for (const QByteArray& body : {QByteArray("{\"a\":1}"), QByteArray()}) {
            std::unique_ptr<QNetworkReply> reply(body.isNull() ? manager.get(request) : manager.post(request, body));
            QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 30000);
            QCOMPARE(reply->error(), QNetworkReply::NoError);
            const QJsonObject echo = QJsonDocument::fromJson(reply->readAll()).object();
            QCOMPARE(echo.value(u"method").toString(), body.isNull() ? u"GET"_qs : u"POST"_qs);
            QCOMPARE(echo.value(u"path").toString(), u"/device/me"_qs);
            QCOMPARE(echo.value(u"query").toString(), u"x=1"_qs);
            QCOMPARE(echo.value(u"auth").toString(), u"Bearer abc"_qs);
            QCOMPARE(echo.value(u"body").toString(), QString::fromUtf8(body));
        }

        // A tunnel to any other host is refused before the handler sees anything.
        const int handled = m_handled;
        std::unique_ptr<QNetworkReply> reply(
            manager.get(QNetworkRequest(QUrl(QStringLiteral("https://elsewhere.test/")))));
        QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 30000);
        QVERIFY(reply->error() != QNetworkReply::NoError);
        QCOMPARE(m_handled, handled);
    }

    // Plain HTTP that is not a CONNECT to the tunnel host gets a clear refusal, not a TLS alert.
    void plainHttpIsRefused() {
        QTcpSocket socket;
        QByteArray received;
        connect(&socket, &QTcpSocket::readyRead, this, [&] { received += socket.readAll(); });
        socket.connectToHost(QStringLiteral("127.0.0.1"), m_server->port());
        socket.write("GET /device/me HTTP/1.1\r\nHost: studio.test\r\n\r\n");
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 30000);
        QVERIFY(received.startsWith("HTTP/1.1 400 Bad Request\r\n"));
        QCOMPARE(errorText(received), u"This server speaks HTTPS only."_qs);
    }

    void refusesMalformedAndOversizedRequests_data() {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QByteArray>("status");
        QTest::newRow("garbage line") << QByteArray("HELLO\r\n\r\n") << QByteArray("HTTP/1.1 400 Bad Request");
        QTest::newRow("bad version") << QByteArray("GET / HTTP/9\r\n\r\n") << QByteArray("HTTP/1.1 400 Bad Request");
        QTest::newRow("bad header") << QByteArray("GET / HTTP/1.1\r\nno colon\r\n\r\n")
                                    << QByteArray("HTTP/1.1 400 Bad Request");
        QTest::newRow("bad length") << QByteArray("POST / HTTP/1.1\r\nContent-Length: 12x\r\n\r\n")
                                    << QByteArray("HTTP/1.1 400 Bad Request");
        QTest::newRow("no length") << QByteArray("POST / HTTP/1.1\r\n\r\n")
                                   << QByteArray("HTTP/1.1 411 Length Required");
        QTest::newRow("chunked") << QByteArray("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n")
                                 << QByteArray("HTTP/1.1 411 Length Required");
        // Refused on the declared length, before any of the body arrives.
        QTest::newRow("body too large") << QByteArray("POST / HTTP/1.1\r\nContent-Length: 1025\r\n\r\n")
                                        << QByteArray("HTTP/1.1 413 Content Too Large");
        QTest::newRow("headers too large") << QByteArray("GET / HTTP/1.1\r\nX: " + QByteArray(3000, 'a') + "\r\n\r\n")
                                           << QByteArray("HTTP/1.1 431 Request Header Fields Too Large");
    }
    void refusesMalformedAndOversizedRequests() {
        QFETCH(QByteArray, raw);
        QFETCH(QByteArray, status);
        const int handled = m_handled;
        RawClient client(m_server->port(), m_authority.ca, kHost);
        QVERIFY(client.encrypted());
        client.socket.write(raw);
        QVERIFY(client.waitResponses(1));
        QCOMPARE(client.responses().size(), 1);
        QCOMPARE(statusLine(client.responses().first()), status);
        QVERIFY(!errorText(client.responses().first()).isEmpty());
        QVERIFY(client.responses().first().contains("Connection: close"));
        QCOMPARE(m_handled, handled);
    }

    // Keep-alive with pipelining: answers come in order on one connection, bodies split exactly by length.
    void pipelinedRequestsOnOneConnection() {
        RawClient client(m_server->port(), m_authority.ca, kHost);
        QVERIFY(client.encrypted());
        client.socket.write("POST /one HTTP/1.1\r\nHost: studio.test\r\nContent-Length: 3\r\n\r\nabc"
                            "GET /missing HTTP/1.1\r\nHost: studio.test\r\n\r\n"
                            "POST /three HTTP/1.1\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        QVERIFY(client.waitResponses(3));
        const QList<QByteArray> responses = client.responses();
        QCOMPARE(responses.size(), 3);
        QVERIFY(responses[0].contains(R"("body":"abc")"));
        QVERIFY(responses[0].contains(R"("path":"/one")"));
        QCOMPARE(statusLine(responses[1]), QByteArray("HTTP/1.1 404 Not Found"));
        QVERIFY(responses[2].contains(R"("path":"/three")"));
        QVERIFY(responses[2].contains("Connection: close"));
        QTRY_COMPARE_WITH_TIMEOUT(client.socket.state(), QAbstractSocket::UnconnectedState, 30000);
    }

    // A handler may drop the connection, or never answer; neither harms the server or other clients.
    void droppedAndStalledExchanges() {
        RawClient dropped(m_server->port(), m_authority.ca, kHost);
        QVERIFY(dropped.encrypted());
        dropped.socket.write("GET /drop HTTP/1.1\r\n\r\n");
        QTRY_COMPARE_WITH_TIMEOUT(dropped.socket.state(), QAbstractSocket::UnconnectedState, 30000);
        QVERIFY(dropped.received.isEmpty());

        auto stalled = std::make_unique<RawClient>(m_server->port(), m_authority.ca, kHost);
        QVERIFY(stalled->encrypted());
        stalled->socket.write("GET /stall HTTP/1.1\r\n\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(m_stalled != nullptr, 30000);
        QVERIFY(m_stalled->isOpen());
        stalled.reset();
        QTRY_VERIFY_WITH_TIMEOUT(!m_stalled->isOpen(), 30000);
        m_stalled->respond(HttpResponse{}); // the client is gone: nothing happens

        RawClient after(m_server->port(), m_authority.ca, kHost);
        QVERIFY(after.encrypted());
        after.socket.write("GET /after HTTP/1.1\r\n\r\n");
        QVERIFY(after.waitResponses(1));
        QCOMPARE(statusLine(after.responses().value(0)), QByteArray("HTTP/1.1 200 OK"));
    }

private:
    QTemporaryDir m_dir;
    CertificateAuthority m_authority;
    std::unique_ptr<HttpsServer> m_server;
    std::shared_ptr<HttpExchange> m_stalled;
    int m_handled = 0;
};

QTEST_GUILESS_MAIN(HttpsServerTest)
#include "HttpsServerTest.moc"
