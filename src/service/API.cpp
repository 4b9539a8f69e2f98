#include "service/API.h"

#include "service/CredentialStore.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QScopeGuard>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>

#include <qcoro/qcoronetworkreply.h>

#include <utility>

namespace {

QString addressRefused() {
    return QStringLiteral("Enter your studio’s HTTPS address, without a path.");
}

// Keeps no cookie: every exchange stands on the bearer token alone.
class NoCookies final : public QNetworkCookieJar {
public:
    using QNetworkCookieJar::QNetworkCookieJar;
    QList<QNetworkCookie> cookiesForUrl(const QUrl&) const override { return {}; }
    bool setCookiesFromUrl(const QList<QNetworkCookie>&, const QUrl&) override { return false; }
};

// The text between "//" and the path, query or fragment, as typed.
QStringView authorityOf(QStringView text) {
    const qsizetype start = text.indexOf(u"//");
    if (start < 0)
        return {};
    QStringView rest = text.mid(start + 2);
    qsizetype end = rest.size();
    for (const QChar stop : {u'/', u'?', u'#'}) {
        const qsizetype at = rest.indexOf(stop);
        if (at >= 0 && at < end)
            end = at;
    }
    return rest.first(end);
}

// A host as it goes back into an address: IPv6 literals keep their brackets.
QString hostForAddress(const QUrl& url) {
    const QString host = url.host(QUrl::FullyEncoded).toLower();
    return host.contains(u':') ? u'[' + host + u']' : host;
}

std::optional<QString> normalise(const QString& text) {
    // Only the characters a URI may contain: no spaces, controls or unencoded non-ASCII text.
    for (const QChar c : text) {
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7f)
            return std::nullopt;
    }
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    // QUrl folds the scheme to lower case; the scheme must be written "https" exactly.
    if (url.scheme() != u"https" || !text.startsWith(u"https:"))
        return std::nullopt;
    if (url.host().isEmpty())
        return std::nullopt;
    if (authorityOf(text).contains(u'@') || url.hasQuery() || url.hasFragment())
        return std::nullopt;
    const QString path = url.path(QUrl::FullyEncoded);
    if (!path.isEmpty() && path != u"/")
        return std::nullopt;
    if (url.port() != -1 && url.port() != 443)
        return std::nullopt;
    return u"https://" + hostForAddress(url);
}

// The message of a refusal: the service's own "error" text when the body is an object of strings that has
// one, else a generic line with the status.
QString refusalMessage(int status, const QByteArray& body) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error == QJsonParseError::NoError && document.isObject()) {
        const QJsonObject object = document.object();
        bool allStrings = true;
        for (auto it = object.constBegin(); it != object.constEnd() && allStrings; ++it)
            allStrings = it.value().isString();
        const QString text = object.value(QLatin1StringView("error")).toString();
        // A blank text would leave the user with an empty line instead of an explanation.
        if (allStrings && !text.trimmed().isEmpty())
            return text;
    }
    return QStringLiteral("Studio connection failed (%1).").arg(status);
}

// Whether the exchange failed below HTTP.  Qt also reports most 4xx and 5xx answers as reply errors, but those
// come with their status and a complete body; a failure in the network, TLS or proxy layer (a time limit
// included) counts even after the headers arrived, since the body is then cut short.
bool failedInTransport(QNetworkReply::NetworkError error, bool hasStatus) {
    if (error == QNetworkReply::NoError)
        return false;
    const int code = error;
    return !hasStatus || code < QNetworkReply::ProxyConnectionRefusedError || error == QNetworkReply::ProtocolFailure;
}

} // namespace

API::API(QString server, std::shared_ptr<SecretStore> secrets, TransportOptions transport)
    : m_server(std::move(server))
    , m_secrets(std::move(secrets))
    , m_transport(std::move(transport))
    , m_credential([secrets = m_secrets, server = m_server] { return CredentialStore::read(*secrets, server); },
                   [secrets = m_secrets, server = m_server](const QString& token) {
                       return CredentialStore::save(*secrets, token, server);
                   })
    ,
    // Deleted from the event loop: the last holder may be an exchange that is resuming inside a reply signal.
    m_network(new QNetworkAccessManager, [](QNetworkAccessManager* network) { network->deleteLater(); }) {
    m_network->setCookieJar(new NoCookies(m_network.get()));
    m_network->setCache(nullptr);
    m_network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    m_network->setTransferTimeout(static_cast<int>(m_transport.idleLimit.count()));
    if (m_transport.proxy)
        m_network->setProxy(*m_transport.proxy);
}

API::~API() = default;

Result<std::shared_ptr<API>> API::create(const QString& server, std::shared_ptr<SecretStore> secrets,
                                         TransportOptions transport) {
    std::optional<QString> base = normalise(server);
    if (!base)
        return Error::api(0, addressRefused());
    return std::shared_ptr<API>(new API(std::move(*base), std::move(secrets), std::move(transport)));
}

QCoro::Task<Result<QByteArray>> API::request(QString path, std::optional<QByteArray> body, bool authenticated,
                                             std::stop_token cancel) {
    // The path is appended as given; whatever it holds must not carry the request (and the token) elsewhere.
    const QUrl url(m_server + path, QUrl::StrictMode);
    const QUrl base(m_server);
    if (!url.isValid() || url.scheme() != base.scheme() || url.host() != base.host() || url.port() != -1 ||
        !url.userInfo().isEmpty())
        co_return Error::api(0, QStringLiteral("Invalid service address."));

    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setTransferTimeout(static_cast<int>(m_transport.idleLimit.count()));
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!m_transport.extraCaCertificates.isEmpty())
        ssl.addCaCertificates(m_transport.extraCaCertificates);
    request.setSslConfiguration(ssl);
    if (body)
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));

    if (authenticated) {
        const Result<std::optional<QString>> token = m_credential.token();
        if (!token)
            co_return token.error();
        if (!*token)
            co_return Error::api(401, QStringLiteral("Pair this computer first."));
        request.setRawHeader(QByteArrayLiteral("Authorization"), "Bearer " + (*token)->toUtf8());
    }

    // Nothing of `this` is used after the wait: the client may be gone by then.
    const std::shared_ptr<QNetworkAccessManager> network = m_network;
    QPointer<QNetworkReply> reply = body ? network->post(request, *body) : network->get(request);
    const auto release = qScopeGuard([reply] {
        if (reply)
            reply->deleteLater();
    });

    bool timedOut = false;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, reply, [&timedOut, reply] {
        timedOut = true;
        reply->abort();
    });
    deadline.start(m_transport.totalLimit);
    // A stop may be requested from any thread; the abort itself runs on the reply's thread.
    std::stop_callback onCancel(cancel, [reply] {
        if (reply)
            QMetaObject::invokeMethod(reply, [reply] {
                if (reply)
                    reply->abort();
            });
    });

    co_await reply.data();
    deadline.stop();
    if (!reply)
        co_return Error::transport(QStringLiteral("Operation canceled"));

    const QNetworkReply::NetworkError error = reply->error();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (failedInTransport(error, status.isValid())) {
        const bool idleExpired = error == QNetworkReply::OperationCanceledError && !cancel.stop_requested();
        if (timedOut || idleExpired || error == QNetworkReply::TimeoutError)
            co_return Error::transport(QStringLiteral("The request timed out."));
        co_return Error::transport(reply->errorString());
    }
    if (!status.isValid())
        co_return Error::api(0, QStringLiteral("No response from the studio."));

    const int code = status.toInt();
    const QByteArray answer = reply->readAll();
    if (code >= 200 && code <= 299)
        co_return answer;
    co_return Error::api(code, refusalMessage(code, answer));
}
