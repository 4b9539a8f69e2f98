#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSslCertificate>
#include <QSslKey>

#include "http/ProxyProtocol.h"

#include <functional>
#include <memory>

struct HttpRequest {
    QByteArray method;
    QByteArray target; // as sent: path and query
    QByteArray path;
    QByteArray query;
    QHash<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
    QHostAddress peer; // the client: the connecting address, or the one a trusted balancer names
};

struct HttpResponse {
    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/json";
    QList<QPair<QByteArray, QByteArray>> headers;
    // Instead of `body`, for long answers: the next part, asked for as the client takes them, until an empty one.
    // Called on a serving thread, one call at a time: it may use only what it holds, never the store.
    std::function<QByteArray()> stream;
};

namespace https {
struct Core;
struct Pending;
} // namespace https

// One request waiting for its answer, on the thread of the server's owner.  The handler may answer at once, later,
// or never; an exchange dropped without an answer closes its connection.  Answering after the server has stopped
// does nothing.
class HttpExchange final {
public:
    HttpExchange(std::shared_ptr<https::Core> core, std::shared_ptr<https::Pending> pending);
    Q_DISABLE_COPY_MOVE(HttpExchange)
    ~HttpExchange();

    const HttpRequest& request() const;
    // Sends the answer; only the first call of respond() or close() counts.
    void respond(HttpResponse response);
    // Drops the connection without an answer.
    void close();

private:
    std::shared_ptr<https::Core> m_core;
    std::shared_ptr<https::Pending> m_pending;
};

// HTTPS/1.1 server on one port: one thread accepts connections and reads what precedes TLS, libmicrohttpd's own
// threads serve them.  Each complete request (head and body) is handed to the handler on the thread that owns the
// server; its connection reads nothing more until the answer.  The limits hold whatever a client does: connections
// overall and per address, an absolute deadline for a request's head and for its whole upload, an idle timeout, a
// bounded buffer per connection and a ceiling on the body bytes held at once, overall and per address, charged as
// they arrive.  A client that does not read its answers stalls only its own connection.
//
// Behind a load balancer, the limits apply to the client it names: from a trusted balancer's address only, a
// PROXY protocol preamble (version 1 or 2) before TLS, or the Forwarded / X-Forwarded-For headers of a balancer
// that ends TLS itself.  From any other address a preamble is refused and the headers are ignored.
class HttpsServer final : public QObject {
    Q_OBJECT
public:
    struct Limits {
        int connections = 10000;                 // open connections at once
        int connectionsPerAddress = 32;          // from one client address
        int headSeconds = 10;                    // from connecting or the previous answer to a complete head
        int requestSeconds = 60;                 // from a complete head to a complete body
        int idleSeconds = 30;                    // nothing sent or received
        qint64 connectionBufferBytes = 32 << 10; // head and read buffer of one connection
        qint64 maxBodyBytes = 4 << 20;           // larger bodies get 413
        qint64 totalBodyBytes = 256 << 20;       // body bytes held at once, as they arrive
        qint64 bodyBytesPerAddress = 32 << 20;   // of those, from one client address
        int threads = 2;
    };
    struct Options {
        QSslCertificate certificate;
        QSslKey key;
        QList<QSslCertificate> chain;
        Limits limits;
        QList<proxy::Subnet> trustedProxies; // balancers whose word on the client is believed
    };
    using Handler = std::function<void(std::shared_ptr<HttpExchange>)>;

    HttpsServer(Options options, Handler handler, QObject* parent = nullptr);
    Q_DISABLE_COPY_MOVE(HttpsServer)
    ~HttpsServer() override;

    bool listen(const QHostAddress& address = QHostAddress::LocalHost, quint16 port = 0);
    quint16 port() const;
    QString errorString() const;
    // Stops serving: open connections are closed, answers still to come are dropped.
    void close();

    // Error answer in the service's format: a JSON object of strings with an "error" member.
    static HttpResponse errorResponse(int status, const QString& message);
    // One key per client: the address, or for IPv6 its /64, which one subscriber usually holds whole.
    static QByteArray clientKey(const QHostAddress& address);

private:
    Options m_options;
    Handler m_handler;
    std::shared_ptr<https::Core> m_core;
    quint16 m_port = 0;
    QString m_error;
};
