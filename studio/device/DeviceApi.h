#pragma once

#include "http/HttpsServer.h"
#include "http/Throttle.h"
#include "store/Studio.h"

#include <QObject>
#include <QThreadPool>

#include <memory>

// The five /device endpoints the agents call: pairing, the profile, clock-in, reports and clock-out.
class DeviceApi final : public QObject {
    Q_OBJECT
public:
    struct Options {
        qint64 expireAfterSeconds = 600; // open sessions not heard of for this long are ended
        int pairingPerAddress = 10;      // pairing attempts per minute from one address (and at once)
        int pairingTotal = 120;          // failed pairing attempts per minute from everywhere
    };

    DeviceApi(Studio& studio, const Options& options, QObject* parent = nullptr);
    Q_DISABLE_COPY_MOVE(DeviceApi)
    ~DeviceApi() override;

    // A request whose path begins with /device/.
    void handle(const std::shared_ptr<HttpExchange>& exchange);
    void expireSessions();

private:
    HttpResponse answer(const HttpRequest& request);
    void report(const std::shared_ptr<HttpExchange>& exchange, const QString& sessionId);
    Result<Studio::Device> deviceOf(const HttpRequest& request);

    Studio& m_studio;
    qint64 m_expireAfter;
    Throttle m_pairingPerAddress;
    Throttle m_pairingTotal;
    QThreadPool m_fileWrites;
};
