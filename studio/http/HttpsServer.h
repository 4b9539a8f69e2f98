#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSslCertificate>
#include <QSslKey>

#include <functional>
#include <memory>

struct HttpRequest {
    QByteArray method;
    QByteArray target; // as sent: path and query
    QByteArray path;
    QByteArray query;
    QHash<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
    QHostAddress peer;
};

struct HttpResponse {
    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/json";
    QList<QPair<QByteArray, QByteArray>> headers;
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

// HTTPS/1.1 server on one port, served by libmicrohttpd's own threads.  Each complete request (head and body) is
// handed to the handler on the thread that owns the server; its connection reads nothing more until the answer.
// The limits hold whatever a client does: connections overall and per address, an absolute deadline for a
// request's head and for its whole upload, an idle timeout, a bounded buffer per connection and a ceiling on the
// bodies held at once.  A client that does not read its answers stalls only its own connection.
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
        qint64 totalBodyBytes = 256 << 20;       // bodies held at once; beyond it 503
        int threads = 2;
    };
    struct Options {
        QSslCertificate certificate;
        QSslKey key;
        QList<QSslCertificate> chain;
        Limits limits;
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

private:
    Options m_options;
    Handler m_handler;
    std::shared_ptr<https::Core> m_core;
    quint16 m_port = 0;
    QString m_error;
};
