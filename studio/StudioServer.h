#pragma once

#include "Studio.h"
#include "http/HttpsServer.h"

#include <QObject>
#include <QTimer>

#include <memory>

// The studio's HTTPS front: the five /device endpoints for agents and the read-only admin pages.
class StudioServer final : public QObject {
    Q_OBJECT
public:
    struct Options {
        HttpsServer::Options tls;
        qint64 expireAfterSeconds = 600; // open sessions not heard of for this long are ended
    };
    // A report carries up to 8 screenshots of 266 668 Base64 characters each, plus its JSON.
    static constexpr qint64 kMaxBodyBytes = 3 << 20;

    StudioServer(Studio& studio, Options options, QObject* parent = nullptr);
    Q_DISABLE_COPY_MOVE(StudioServer)
    ~StudioServer() override;

    bool listen(const QHostAddress& address, quint16 port);
    quint16 port() const;
    QString errorString() const;

private:
    void handle(const std::shared_ptr<HttpExchange>& exchange);
    HttpResponse route(const HttpRequest& request);
    HttpResponse device(const HttpRequest& request);
    HttpResponse admin(const HttpRequest& request);

    Studio& m_studio;
    qint64 m_expireAfter;
    HttpsServer m_server;
    QTimer m_expiry;
};
