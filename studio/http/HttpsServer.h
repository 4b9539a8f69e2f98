#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>

#include <functional>
#include <memory>

class QTcpServer;
class HttpConnection;

struct HttpRequest {
    QByteArray method;
    QByteArray target; // as sent: path and query
    QByteArray path;
    QByteArray query;
    QHash<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
};

struct HttpResponse {
    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/json";
    QList<QPair<QByteArray, QByteArray>> headers;
};

// One request waiting for its answer.  The handler may answer at once, later, or never; the exchange stays valid
// after its connection is gone (answering then does nothing).
class HttpExchange final {
public:
    HttpExchange(HttpConnection* connection, HttpRequest request);
    Q_DISABLE_COPY_MOVE(HttpExchange)
    ~HttpExchange();

    const HttpRequest& request() const { return m_request; }
    // Sends the answer; only the first call of respond() or close() counts.
    void respond(HttpResponse response);
    // Drops the connection without an answer.
    void close();
    bool isOpen() const;

private:
    QPointer<HttpConnection> m_connection;
    HttpRequest m_request;
    bool m_done = false;
};

// HTTPS/1.1 server on one port.  A client that opens with a TLS ClientHello gets HTTPS directly; a client that
// first sends "CONNECT <tunnelHost>:443" over plain TCP gets "200 Connection established" and then TLS on the same
// socket, which is how a client behind an ordinary HTTP proxy setting reaches a loopback server under its real name.
class HttpsServer final : public QObject {
    Q_OBJECT
public:
    struct Options {
        QSslCertificate certificate;
        QSslKey key;
        QList<QSslCertificate> chain;
        QString tunnelHost; // "CONNECT <tunnelHost>:443" is accepted, anything else refused
        qint64 maxBodyBytes = 4 << 20;
        qint64 maxHeaderBytes = 16 << 10;
    };
    using Handler = std::function<void(std::shared_ptr<HttpExchange>)>;

    HttpsServer(Options options, Handler handler, QObject* parent = nullptr);
    Q_DISABLE_COPY_MOVE(HttpsServer)
    ~HttpsServer() override;

    bool listen(const QHostAddress& address = QHostAddress::LocalHost, quint16 port = 0);
    quint16 port() const;
    QString errorString() const;

    // Error answer in the service's format: a JSON object of strings with an "error" member.
    static HttpResponse errorResponse(int status, const QString& message);

private:
    void accept(qintptr descriptor);

    Options m_options;
    Handler m_handler;
    QTcpServer* m_server = nullptr;
};
