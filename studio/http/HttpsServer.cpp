#include "http/HttpsServer.h"

#include "http/HttpConnection.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>

namespace {

// Hands every accepted socket descriptor to the owner before Qt wraps it in a plain QTcpSocket.
class Listener final : public QTcpServer {
public:
    Listener(std::function<void(qintptr)> accept, QObject* parent)
        : QTcpServer(parent)
        , m_accept(std::move(accept)) {}

protected:
    void incomingConnection(qintptr descriptor) override { m_accept(descriptor); }

private:
    std::function<void(qintptr)> m_accept;
};

} // namespace

HttpExchange::HttpExchange(HttpConnection* connection, HttpRequest request)
    : m_connection(connection)
    , m_request(std::move(request)) {}

HttpExchange::~HttpExchange() = default;

void HttpExchange::respond(HttpResponse response) {
    if (m_done)
        return;
    m_done = true;
    if (m_connection)
        m_connection->send(response);
}

void HttpExchange::close() {
    if (m_done)
        return;
    m_done = true;
    if (m_connection)
        m_connection->drop();
}

bool HttpExchange::isOpen() const {
    return !m_done && m_connection;
}

HttpsServer::HttpsServer(Options options, Handler handler, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_handler(std::move(handler))
    , m_server(new Listener([this](qintptr descriptor) { accept(descriptor); }, this)) {}

HttpsServer::~HttpsServer() = default;

bool HttpsServer::listen(const QHostAddress& address, quint16 port) {
    return m_server->listen(address, port);
}

quint16 HttpsServer::port() const {
    return m_server->serverPort();
}

QString HttpsServer::errorString() const {
    return m_server->errorString();
}

HttpResponse HttpsServer::errorResponse(int status, const QString& message) {
    HttpResponse response;
    response.status = status;
    response.body = QJsonDocument(QJsonObject{{QStringLiteral("error"), message}}).toJson(QJsonDocument::Compact);
    return response;
}

void HttpsServer::accept(qintptr descriptor) {
    new HttpConnection(descriptor, m_options, m_handler, this);
}
