#pragma once

#include "api/ReadApi.h"
#include "device/DeviceApi.h"
#include "http/HttpsServer.h"
#include "pages/ManagerPages.h"
#include "store/Retention.h"
#include "store/Studio.h"

#include <QObject>
#include <QTimer>

// The studio's HTTPS front: routes the agents' /device requests to the device API and the rest to the managers'
// pages, /api to the read-only API, and ends the sessions that fell silent.
class StudioServer final : public QObject {
    Q_OBJECT
public:
    struct Options {
        HttpsServer::Options tls;
        qint64 expireAfterSeconds = 600; // open sessions not heard of for this long are ended
        int pairingPerAddress = 10;      // pairing attempts per minute from one address (and at once)
        int pairingTotal = 120;          // failed pairing attempts per minute from everywhere
        int adminSignInsPerAddress = 10; // admin password checks per minute from one address
    };
    // A report carries up to 8 screenshots of 266 668 Base64 characters each, plus its JSON.
    static constexpr qint64 kMaxBodyBytes = 3 << 20;

    StudioServer(Studio& studio, Options options, QObject* parent = nullptr);
    Q_DISABLE_COPY_MOVE(StudioServer)
    ~StudioServer() override = default;

    bool listen(const QHostAddress& address, quint16 port);
    quint16 port() const;
    QString errorString() const;

private:
    void handle(const std::shared_ptr<HttpExchange>& exchange);

    DeviceApi m_device;
    ManagerPages m_pages;
    ReadApi m_api;
    HttpsServer m_server;
    QTimer m_expiry;
    retention::Sweeper m_retention;
};
