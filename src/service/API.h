#pragma once

#include "records/Error.h"
#include "service/SessionCredential.h"

#include <QByteArray>
#include <QList>
#include <QNetworkProxy>
#include <QSslCertificate>
#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>
#include <optional>
#include <stop_token>

class QNetworkAccessManager;
class SecretStore;

// How requests reach the network.  The defaults are the product's; tests shorten the limits, add their
// test CA to the trusted ones and route the connection through a loopback proxy.  Certificate checking
// itself cannot be switched off.
struct TransportOptions {
    std::chrono::milliseconds idleLimit{20'000};
    std::chrono::milliseconds totalLimit{30'000};
    QList<QSslCertificate> extraCaCertificates; // trusted in addition to the system store
    std::optional<QNetworkProxy> proxy;         // none: the system's proxy settings (https_proxy)
};

// The client of one studio address.  Lives on the main thread; shared by the tracker and its tasks.
class API final {
public:
    // Checks and normalises the address; fails with "Enter your studio’s HTTPS address, without a path.".
    static Result<std::shared_ptr<API>> create(const QString& server, std::shared_ptr<SecretStore> secrets,
                                               TransportOptions transport = {});
    ~API();
    Q_DISABLE_COPY_MOVE(API)

    // "https://" + the host in lower case; no port, path or trailing slash.
    const QString& server() const { return m_server; }
    SessionCredential& credential() { return m_credential; }

    // One exchange: GET without a body, POST with a JSON body; the answer's body on a 2xx status.
    // A stop requested through `cancel` aborts the exchange, which then fails as a transport error.
    QCoro::Task<Result<QByteArray>> request(QString path, std::optional<QByteArray> body, bool authenticated,
                                            std::stop_token cancel = {});

private:
    API(QString server, std::shared_ptr<SecretStore> secrets, TransportOptions transport);

    QString m_server;
    std::shared_ptr<SecretStore> m_secrets;
    TransportOptions m_transport;
    SessionCredential m_credential;
    // Shared with the exchanges in flight, so that a client dropped meanwhile still lets them finish.
    std::shared_ptr<QNetworkAccessManager> m_network;
};
