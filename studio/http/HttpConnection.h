#pragma once

#include "http/HttpsServer.h"

#include <QObject>
#include <QTimer>

#include <optional>

class QSslSocket;

// One client connection of HttpsServer: the optional CONNECT preface, the TLS handshake, then HTTP/1.1 requests
// one at a time (pipelined requests wait for the answer of the one before).
class HttpConnection final : public QObject {
    Q_OBJECT
public:
    HttpConnection(qintptr descriptor, const HttpsServer::Options& options, HttpsServer::Handler handler,
                   QObject* parent);
    Q_DISABLE_COPY_MOVE(HttpConnection)
    ~HttpConnection() override;

    void send(const HttpResponse& response);
    void drop();

private:
    void readPlain();
    void readSecure();
    void process();
    bool takeHead();
    void dispatch(HttpRequest request);
    void refuse(int status, const QString& message);
    void write(const HttpResponse& response, bool closeAfter);
    void closeWhenWritten();

    const HttpsServer::Options m_options;
    HttpsServer::Handler m_handler;
    QSslSocket* m_socket;
    QTimer m_idle;
    QByteArray m_buffer;
    std::optional<HttpRequest> m_head; // headers read, body still arriving
    qint64 m_bodyLength = 0;
    bool m_handshakeStarted = false;
    bool m_busy = false; // an exchange waits for its answer
    bool m_closeAfter = false;
    bool m_headOnly = false; // the waiting request is a HEAD: its answer carries no body
    bool m_closing = false;
};
