#include "http/HttpConnection.h"

#include <QSslConfiguration>
#include <QSslSocket>

namespace {

constexpr int kIdleMs = 120 * 1000;
constexpr char kTlsHandshakeRecord = 0x16;

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 410:
        return "Gone";
    case 411:
        return "Length Required";
    case 413:
        return "Content Too Large";
    case 422:
        return "Unprocessable Content";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

bool isToken(const QByteArray& text) {
    if (text.isEmpty())
        return false;
    for (char c : text) {
        if (c <= 32 || c >= 127 || QByteArrayView("()<>@,;:\\\"/[]?={}").contains(c))
            return false;
    }
    return true;
}

} // namespace

HttpConnection::HttpConnection(qintptr descriptor, const HttpsServer::Options& options, HttpsServer::Handler handler,
                               QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_handler(std::move(handler))
    , m_socket(new QSslSocket(this)) {
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificateChain(QList<QSslCertificate>{options.certificate} + options.chain);
    tls.setPrivateKey(options.key);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    tls.setAllowedNextProtocols({QByteArrayLiteral("http/1.1")});
    m_socket->setSslConfiguration(tls);

    m_idle.setSingleShot(true);
    m_idle.setInterval(kIdleMs);
    connect(&m_idle, &QTimer::timeout, this, [this] {
        if (!m_busy)
            drop();
    });
    connect(m_socket, &QSslSocket::readyRead, this, [this] {
        m_idle.start();
        if (m_socket->isEncrypted())
            readSecure();
        else if (!m_handshakeStarted)
            readPlain();
    });
    // Request bytes that came with the end of the handshake may have been announced before it finished.
    connect(m_socket, &QSslSocket::encrypted, this, &HttpConnection::readSecure);
    connect(m_socket, &QSslSocket::disconnected, this, &QObject::deleteLater);
    connect(m_socket, &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error != QAbstractSocket::RemoteHostClosedError || m_socket->state() == QAbstractSocket::UnconnectedState)
            drop();
    });
    if (!m_socket->setSocketDescriptor(descriptor)) {
        deleteLater();
        return;
    }
    m_idle.start();
}

HttpConnection::~HttpConnection() = default;

// Before TLS: either a ClientHello (start the handshake) or a CONNECT preface for the tunnel host.
void HttpConnection::readPlain() {
    if (m_closing)
        return;
    char first = 0;
    if (m_socket->peek(&first, 1) != 1)
        return;
    if (first == kTlsHandshakeRecord) {
        m_handshakeStarted = true;
        m_socket->startServerEncryption();
        return;
    }
    const QByteArray head = m_socket->peek(m_options.maxHeaderBytes);
    const qsizetype end = head.indexOf("\r\n\r\n");
    if (end < 0) {
        if (head.size() >= m_options.maxHeaderBytes)
            refuse(431, QStringLiteral("The request headers are too large."));
        return;
    }
    m_socket->read(end + 4);
    const QList<QByteArray> parts = head.left(head.indexOf("\r\n")).split(' ');
    const QByteArray expected = m_options.tunnelHost.toLower().toUtf8() + ":443";
    if (parts.size() != 3 || parts[0] != "CONNECT" || !parts[2].startsWith("HTTP/1.")) {
        refuse(400, QStringLiteral("This server speaks HTTPS only."));
        return;
    }
    if (m_options.tunnelHost.isEmpty() || parts[1].toLower() != expected) {
        refuse(403, QStringLiteral("Tunnels lead to this server only."));
        return;
    }
    m_socket->write("HTTP/1.1 200 Connection established\r\n\r\n");
    m_handshakeStarted = true;
    m_socket->startServerEncryption();
}

void HttpConnection::readSecure() {
    if (m_closing)
        return;
    m_buffer += m_socket->readAll();
    // A client that keeps sending while its request waits for an answer gets no more room than one request.
    if (m_busy && m_buffer.size() > m_options.maxHeaderBytes + m_options.maxBodyBytes) {
        drop();
        return;
    }
    process();
}

void HttpConnection::process() {
    while (!m_busy && !m_closing) {
        if (!m_head && !takeHead())
            return;
        if (m_buffer.size() < m_bodyLength)
            return;
        HttpRequest request = std::move(*m_head);
        m_head.reset();
        request.body = m_buffer.left(m_bodyLength);
        m_buffer.remove(0, m_bodyLength);
        dispatch(std::move(request));
    }
}

// Parses the request line and headers once they are complete; refuses what cannot be served.
bool HttpConnection::takeHead() {
    const qsizetype end = m_buffer.indexOf("\r\n\r\n");
    if ((end < 0 && m_buffer.size() > m_options.maxHeaderBytes) || end + 4 > m_options.maxHeaderBytes) {
        refuse(431, QStringLiteral("The request headers are too large."));
        return false;
    }
    if (end < 0)
        return false;
    const QList<QByteArray> lines = m_buffer.left(end).split('\n');
    m_buffer.remove(0, end + 4);

    HttpRequest request;
    const QList<QByteArray> parts = lines.first().trimmed().split(' ');
    if (parts.size() != 3 || !isToken(parts[0]) || !parts[1].startsWith('/') ||
        (parts[2] != "HTTP/1.1" && parts[2] != "HTTP/1.0")) {
        refuse(400, QStringLiteral("The request line is malformed."));
        return false;
    }
    request.method = parts[0];
    request.target = parts[1];
    const qsizetype question = request.target.indexOf('?');
    request.path = request.target.left(question < 0 ? request.target.size() : question);
    request.query = question < 0 ? QByteArray() : request.target.mid(question + 1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].endsWith('\r') ? lines[i].chopped(1) : lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !isToken(line.left(colon))) {
            refuse(400, QStringLiteral("A request header is malformed."));
            return false;
        }
        const QByteArray name = line.left(colon).toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "content-length" && request.headers.contains(name) && request.headers.value(name) != value) {
            refuse(400, QStringLiteral("The request has conflicting lengths."));
            return false;
        }
        request.headers.insert(name, value);
    }

    const QByteArray connection = request.headers.value("connection").toLower();
    m_closeAfter = connection.contains("close") || (parts[2] == "HTTP/1.0" && !connection.contains("keep-alive"));
    if (request.headers.contains("transfer-encoding")) {
        refuse(411, QStringLiteral("Send the request body with a Content-Length, not in chunks."));
        return false;
    }
    m_bodyLength = 0;
    if (request.headers.contains("content-length")) {
        bool ok = false;
        const QByteArray text = request.headers.value("content-length");
        m_bodyLength = text.toLongLong(&ok);
        if (!ok || m_bodyLength < 0 || text.startsWith('+') || text.startsWith('-')) {
            refuse(400, QStringLiteral("The Content-Length header is not a number."));
            return false;
        }
    } else if (request.method == "POST" || request.method == "PUT" || request.method == "PATCH") {
        refuse(411, QStringLiteral("The request needs a Content-Length."));
        return false;
    }
    if (m_bodyLength > m_options.maxBodyBytes) {
        refuse(413, QStringLiteral("The request body is too large."));
        return false;
    }
    if (request.headers.value("expect").toLower() == "100-continue" && m_bodyLength > m_buffer.size())
        m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
    m_head = std::move(request);
    return true;
}

void HttpConnection::dispatch(HttpRequest request) {
    m_busy = true;
    m_headOnly = request.method == "HEAD";
    m_handler(std::make_shared<HttpExchange>(this, std::move(request)));
}

void HttpConnection::send(const HttpResponse& response) {
    if (!m_busy || m_closing)
        return;
    m_busy = false;
    write(response, m_closeAfter);
    if (!m_closing)
        QMetaObject::invokeMethod(this, &HttpConnection::process, Qt::QueuedConnection);
}

void HttpConnection::refuse(int status, const QString& message) {
    m_headOnly = false;
    write(HttpsServer::errorResponse(status, message), true);
}

void HttpConnection::write(const HttpResponse& response, bool closeAfter) {
    const bool bodyless = response.status == 204 || response.status == 304 || response.status < 200;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status) + "\r\n";
    if (!bodyless) {
        head += "Content-Type: " + response.contentType + "\r\n";
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    }
    for (const auto& [name, value] : response.headers)
        head += name + ": " + value + "\r\n";
    head += closeAfter ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
    m_socket->write(head);
    if (!bodyless && !m_headOnly)
        m_socket->write(response.body);
    if (closeAfter)
        closeWhenWritten();
}

void HttpConnection::closeWhenWritten() {
    m_closing = true;
    m_buffer.clear();
    m_socket->disconnectFromHost();
}

void HttpConnection::drop() {
    m_closing = true;
    m_busy = false;
    m_socket->abort();
    deleteLater();
}
