#pragma once

#include "http/CertificateAuthority.h"
#include "service/API.h"

#include <QByteArray>
#include <QHash>
#include <QJsonValue>
#include <QList>
#include <QObject>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class HttpExchange;
class HttpsServer;
class QTcpServer;
class QTcpSocket;

// A scriptable studio for the suites: a real HTTPS server on loopback that answers as "studio.test".
// The API under test reaches it through `transport()`: an HTTP proxy setting that makes the client send
// "CONNECT studio.test:443" to the peer's tunnel, behind which the server speaks TLS with a certificate for
// studio.test signed by a test CA.  Certificate checking stays fully on and the address rules stay untouched.
// Every request is recorded, whatever the answer.
class TestPeer final : public QObject {
    Q_OBJECT
public:
    struct Request {
        QByteArray method;
        QByteArray path;                       // as sent: path and query
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
        QJsonValue json() const; // the body as JSON; undefined when it is not JSON
    };
    struct Reply {
        int status = 200;
        QByteArray body = "{}";
        std::chrono::milliseconds delay{0};
        bool stall = false;  // never answer (the client's limits end it)
        bool drop = false;   // close the connection without an answer
        QByteArray location; // Location header, for 3xx
    };

    // Listens on loopback at once; a peer that cannot start fails the calling test through QVERIFY on isListening().
    // Another host name than the default keeps a suite's device tokens its own.
    explicit TestPeer(QString host = QStringLiteral("studio.test"), QObject* parent = nullptr);
    Q_DISABLE_COPY_MOVE(TestPeer)

    bool isListening() const { return m_listening; }
    QString server() const { return u"https://" + m_host; }
    TransportOptions transport() const; // proxy 127.0.0.1:port + the test CA; product time limits

    // Default: 200 "{}".
    void setHandler(std::function<Reply(const Request&)> handler) { m_handler = std::move(handler); }
    // A fixed answer by path prefix (longest wins), before the handler.
    void setReply(const QByteArray& pathPrefix, Reply reply) { m_fixed.insert(pathPrefix, std::move(reply)); }

    QList<Request> requests() const { return m_requests; }
    int count(const QByteArray& pathPrefix) const;

    // While down, connections are refused: the client sees a transport error, as with an unreachable studio.
    void setDown(bool down);

private:
    void start();
    void relay(QTcpSocket* client);
    void serve(const std::shared_ptr<HttpExchange>& exchange);

    QString m_host;
    std::optional<CertificateAuthority> m_ca;
    quint16 m_port = 0;
    bool m_listening = false;
    HttpsServer* m_server = nullptr;
    QTcpServer* m_tunnel = nullptr;
    std::function<Reply(const Request&)> m_handler;
    QHash<QByteArray, Reply> m_fixed;
    QList<Request> m_requests;
    QList<std::shared_ptr<HttpExchange>> m_stalled;
};
