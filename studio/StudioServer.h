#pragma once

#include "Studio.h"
#include "Throttle.h"
#include "http/HttpsServer.h"

#include <QObject>
#include <QThreadPool>
#include <QTimer>

#include <memory>

// The studio's HTTPS front: the five /device endpoints for agents and the read-only admin pages.
class StudioServer final : public QObject {
    Q_OBJECT
public:
    struct Options {
        HttpsServer::Options tls;
        qint64 expireAfterSeconds = 600; // open sessions not heard of for this long are ended
        int pairingPerAddress = 10;      // pairing attempts per minute from one address (and at once)
        int pairingTotal = 120;          // pairing attempts per minute from everywhere
        int adminSignInsPerAddress = 10; // admin password checks per minute from one address
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
    HttpResponse device(const HttpRequest& request);
    void report(const std::shared_ptr<HttpExchange>& exchange, const QString& sessionId);
    Result<Studio::Device> deviceOf(const HttpRequest& request);
    void admin(const std::shared_ptr<HttpExchange>& exchange);
    HttpResponse adminPage(const HttpRequest& request);

    Studio& m_studio;
    qint64 m_expireAfter;
    HttpsServer m_server;
    QTimer m_expiry;
    Throttle m_pairingPerAddress;
    Throttle m_pairingTotal;
    Throttle m_adminSignIns;
    // Password checks take tens of milliseconds each: one worker, so that guessing cannot take every core.
    QThreadPool m_passwordChecks;
    int m_passwordChecksWaiting = 0;
    QThreadPool m_fileWrites;
    QByteArray m_acceptedAdmin; // spares the key derivation for every thumbnail of a signed-in page
};
