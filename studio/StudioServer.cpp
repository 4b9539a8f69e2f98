#include "StudioServer.h"

#include "Answers.h"

StudioServer::StudioServer(Studio& studio, Options options, QObject* parent)
    : QObject(parent)
    , m_device(studio, {options.expireAfterSeconds, options.pairingPerAddress, options.pairingTotal})
    , m_pages(studio, {options.adminSignInsPerAddress})
    , m_api(studio, {options.adminSignInsPerAddress})
    , m_server(
          [&options] {
              HttpsServer::Options tls = std::move(options.tls);
              tls.limits.maxBodyBytes = kMaxBodyBytes;
              return tls;
          }(),
          [this](std::shared_ptr<HttpExchange> exchange) { handle(exchange); }, this)
    , m_retention(studio) {
    m_expiry.setInterval(int(std::clamp<qint64>(options.expireAfterSeconds, 1, 60)) * 1000);
    connect(&m_expiry, &QTimer::timeout, &m_device, &DeviceApi::expireSessions);
    m_expiry.start();
}

bool StudioServer::listen(const QHostAddress& address, quint16 port) {
    return m_server.listen(address, port);
}

quint16 StudioServer::port() const {
    return m_server.port();
}

QString StudioServer::errorString() const {
    return m_server.errorString();
}

void StudioServer::handle(const std::shared_ptr<HttpExchange>& exchange) {
    const QByteArray& path = exchange->request().path;
    if (path.startsWith("/device/"))
        return m_device.handle(exchange);
    if (path == "/api" || path.startsWith("/api/"))
        return m_api.handle(exchange);
    if (path == "/" || path == "/admin" || path.startsWith("/admin/"))
        return m_pages.handle(exchange);
    exchange->respond(answers::notFound());
}
