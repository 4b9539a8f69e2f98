#include "http/HttpsServer.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <microhttpd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_set>

namespace https {

using SteadyClock = std::chrono::steady_clock;
constexpr std::chrono::seconds kCrowdedGrace{1};

// The deadline of one TCP connection, checked by the watchdog: libmicrohttpd's own timeout restarts with every
// byte, so a client sending one byte at a time would otherwise hold its connection for ever.
struct Watch {
    int fd = -1;
    SteadyClock::time_point deadline;
    std::optional<SteadyClock::time_point> waitingForHead; // since when, while no request head has come
    bool shut = false;
};

enum class State { Reading, Refused, Waiting, Answered, Dropped };

struct Pending {
    HttpRequest request;
    MHD_Connection* connection = nullptr;
    qint64 expected = 0; // the declared Content-Length
    qint64 reserved = 0; // counted against Limits::totalBodyBytes
    State state = State::Reading;
    HttpResponse response;
};

struct Core : std::enable_shared_from_this<Core> {
    HttpsServer::Limits limits;
    HttpsServer* owner = nullptr;
    HttpsServer::Handler handler;
    MHD_Daemon* daemon = nullptr;
    QByteArray certificatePem; // libmicrohttpd keeps pointers to these while it runs
    QByteArray keyPem;

    std::mutex mutex; // guards the members below; taken by the serving threads and the owner's thread
    std::unordered_set<Pending*> suspended;
    std::unordered_set<Watch*> watches;
    bool stopping = false;
    std::condition_variable wake;
    std::thread watchdog;
    std::atomic<qint64> bodyBytes{0};
    std::atomic<bool> starting{false};
    QString startError;

    void watch();
    void stop();
};

namespace {

SteadyClock::time_point after(int seconds) {
    return SteadyClock::now() + std::chrono::seconds(seconds);
}

Watch* watchOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<Watch*>(info->socket_context) : nullptr;
}

void setDeadline(Core& core, MHD_Connection* connection, SteadyClock::time_point deadline, bool forHead = false) {
    if (Watch* watch = watchOf(connection)) {
        const std::lock_guard lock(core.mutex);
        watch->deadline = deadline;
        watch->waitingForHead.reset();
        if (forHead)
            watch->waitingForHead = SteadyClock::now();
    }
}

MHD_Result queue(MHD_Connection* connection, const HttpResponse& answer) {
    MHD_Response* response = MHD_create_response_from_buffer(
        size_t(answer.body.size()), const_cast<char*>(answer.body.constData()), MHD_RESPMEM_MUST_COPY);
    if (!response)
        return MHD_NO;
    if (answer.status != 204 && answer.status != 304)
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType.constData());
    for (const auto& [name, value] : answer.headers)
        MHD_add_response_header(response, name.constData(), value.constData());
    const MHD_Result queued = MHD_queue_response(connection, unsigned(answer.status), response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result refuse(Pending& pending, int status, const QString& message) {
    pending.state = State::Refused;
    return queue(pending.connection, HttpsServer::errorResponse(status, message));
}

// The head is complete: collect it and refuse at once what cannot be served, before any body is read.
MHD_Result begin(Core& core, MHD_Connection* connection, const char* url, const char* method, Pending& pending) {
    pending.connection = connection;
    HttpRequest& request = pending.request;
    request.method = method;
    request.path = url;
    MHD_get_connection_values_n(
        connection, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, size_t keySize, const char* value, size_t valueSize) {
            static_cast<HttpRequest*>(cls)->headers.insert(QByteArray(key, qsizetype(keySize)).toLower(),
                                                           QByteArray(value, qsizetype(valueSize)));
            return MHD_YES;
        },
        &request);
    MHD_get_connection_values_n(
        connection, MHD_GET_ARGUMENT_KIND,
        [](void* cls, MHD_ValueKind, const char* key, size_t keySize, const char* value, size_t valueSize) {
            QByteArray& query = *static_cast<QByteArray*>(cls);
            if (!query.isEmpty())
                query += '&';
            query += QByteArray(key, qsizetype(keySize));
            if (value)
                query += '=' + QByteArray(value, qsizetype(valueSize));
            return MHD_YES;
        },
        &request.query);
    request.target = request.query.isEmpty() ? request.path : request.path + '?' + request.query;
    if (const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS))
        request.peer = QHostAddress(info->client_addr);
    setDeadline(core, connection, after(core.limits.requestSeconds));

    if (request.headers.contains("transfer-encoding"))
        return refuse(pending, 411, QStringLiteral("Send the request body with a Content-Length, not in chunks."));
    if (request.headers.contains("content-length")) {
        const QByteArray text = request.headers.value("content-length");
        bool ok = false;
        pending.expected = text.toLongLong(&ok);
        if (!ok || pending.expected < 0 || text.startsWith('+') || text.startsWith('-'))
            return refuse(pending, 400, QStringLiteral("The Content-Length header is not a number."));
    } else if (request.method == "POST" || request.method == "PUT" || request.method == "PATCH") {
        return refuse(pending, 411, QStringLiteral("The request needs a Content-Length."));
    }
    if (pending.expected > core.limits.maxBodyBytes)
        return refuse(pending, 413, QStringLiteral("The request body is too large."));
    if (core.bodyBytes.fetch_add(pending.expected) + pending.expected > core.limits.totalBodyBytes) {
        core.bodyBytes.fetch_sub(pending.expected);
        HttpResponse busy =
            HttpsServer::errorResponse(503, QStringLiteral("The studio is busy. Try again in a minute."));
        busy.headers.emplaceBack("Retry-After", "60");
        pending.state = State::Refused;
        return queue(connection, busy);
    }
    pending.reserved = pending.expected;
    request.body.reserve(pending.expected);
    return MHD_YES;
}

MHD_Result onRequest(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                     const char* upload, size_t* uploadSize, void** context) {
    Core& core = *static_cast<Core*>(cls);
    auto* holder = static_cast<std::shared_ptr<Pending>*>(*context);
    if (!holder) {
        holder = new std::shared_ptr<Pending>(std::make_shared<Pending>());
        *context = holder;
        return begin(core, connection, url, method, **holder);
    }
    Pending& pending = **holder;
    if (*uploadSize > 0) {
        if (pending.state == State::Reading) {
            if (pending.request.body.size() + qint64(*uploadSize) > pending.expected)
                return MHD_NO;
            pending.request.body.append(upload, qsizetype(*uploadSize));
        }
        *uploadSize = 0;
        return MHD_YES;
    }
    switch (pending.state) {
    case State::Reading: {
        // Suspended before the owner hears of it, so that its answer can never resume a running connection.
        pending.state = State::Waiting;
        setDeadline(core, connection, SteadyClock::time_point::max());
        MHD_suspend_connection(connection);
        {
            const std::lock_guard lock(core.mutex);
            core.suspended.insert(&pending);
        }
        auto exchange = std::make_shared<HttpExchange>(core.shared_from_this(), *holder);
        QMetaObject::invokeMethod(
            core.owner, [exchange, handler = core.handler] { handler(exchange); }, Qt::QueuedConnection);
        return MHD_YES;
    }
    case State::Answered:
        return queue(connection, pending.response);
    case State::Refused:
        return MHD_YES;
    case State::Waiting:
    case State::Dropped:
        break;
    }
    return MHD_NO;
}

void onCompleted(void* cls, MHD_Connection* connection, void** context, MHD_RequestTerminationCode) {
    Core& core = *static_cast<Core*>(cls);
    auto* holder = static_cast<std::shared_ptr<Pending>*>(*context);
    *context = nullptr;
    if (holder) {
        core.bodyBytes.fetch_sub((*holder)->reserved);
        (*holder)->reserved = 0;
        (*holder)->request.body.clear();
        delete holder;
    }
    // The next request on a kept-alive connection has the same time for its head as the first.
    setDeadline(core, connection, after(core.limits.headSeconds), true);
}

void onConnection(void* cls, MHD_Connection* connection, void** socketContext, MHD_ConnectionNotificationCode code) {
    Core& core = *static_cast<Core*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        auto* watch = new Watch;
        if (const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD))
            watch->fd = info->connect_fd;
        watch->deadline = after(core.limits.headSeconds);
        watch->waitingForHead = SteadyClock::now();
        const std::lock_guard lock(core.mutex);
        core.watches.insert(watch);
        *socketContext = watch;
        return;
    }
    // Called before libmicrohttpd closes the descriptor, so the watchdog never touches a reused one.
    auto* watch = static_cast<Watch*>(*socketContext);
    *socketContext = nullptr;
    if (watch) {
        const std::lock_guard lock(core.mutex);
        core.watches.erase(watch);
    }
    delete watch;
}

// Paths and queries are handed on as sent; the router decodes what it needs.
size_t keepEscapes(void*, MHD_Connection*, char* text) {
    return std::strlen(text);
}

void onLog(void* cls, const char* format, va_list arguments) {
    Core& core = *static_cast<Core*>(cls);
    // Only start-up problems are reported; what clients get wrong is theirs and would flood the journal.
    if (!core.starting)
        return;
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    core.startError = QString::fromLocal8Bit(text).trimmed();
}

} // namespace

void Core::watch() {
    std::unique_lock lock(mutex);
    while (!stopping) {
        wake.wait_for(lock, std::chrono::seconds(1));
        const SteadyClock::time_point now = SteadyClock::now();
        // Near the connection limit, new clients wait in the listen queue until a connection ends: those that
        // have not sent a request head within a second are then cut first.  An agent sends its head at once.
        const bool crowded = qsizetype(watches.size()) * 10 >= qsizetype(limits.connections) * 9;
        for (Watch* watch : watches) {
            const bool idle = crowded && watch->waitingForHead && now - *watch->waitingForHead > kCrowdedGrace;
            // Shutting the socket down makes libmicrohttpd see the end of the stream and close it itself.
            if (!watch->shut && watch->fd >= 0 && (watch->deadline < now || idle)) {
                ::shutdown(watch->fd, SHUT_RDWR);
                watch->shut = true;
            }
        }
    }
}

void Core::stop() {
    std::unordered_set<Pending*> waiting;
    {
        const std::lock_guard lock(mutex);
        if (stopping)
            return;
        stopping = true;
        waiting.swap(suspended);
    }
    wake.notify_all();
    if (watchdog.joinable())
        watchdog.join();
    // libmicrohttpd refuses to stop with suspended connections: each is resumed to be closed.
    for (Pending* pending : waiting) {
        pending->state = State::Dropped;
        MHD_resume_connection(pending->connection);
    }
    if (daemon)
        MHD_stop_daemon(daemon);
    daemon = nullptr;
}

} // namespace https

using namespace https;

HttpExchange::HttpExchange(std::shared_ptr<Core> core, std::shared_ptr<Pending> pending)
    : m_core(std::move(core))
    , m_pending(std::move(pending)) {}

HttpExchange::~HttpExchange() {
    close();
}

const HttpRequest& HttpExchange::request() const {
    return m_pending->request;
}

void HttpExchange::respond(HttpResponse response) {
    // Answers come on the owner's thread, as does stopping: a connection taken out of `suspended` here cannot be
    // stopped before it is resumed.
    {
        const std::lock_guard lock(m_core->mutex);
        if (m_core->stopping || m_core->suspended.erase(m_pending.get()) == 0)
            return;
    }
    m_pending->response = std::move(response);
    m_pending->state = State::Answered;
    MHD_resume_connection(m_pending->connection);
}

void HttpExchange::close() {
    {
        const std::lock_guard lock(m_core->mutex);
        if (m_core->stopping || m_core->suspended.erase(m_pending.get()) == 0)
            return;
    }
    m_pending->state = State::Dropped;
    MHD_resume_connection(m_pending->connection);
}

HttpsServer::HttpsServer(Options options, Handler handler, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_handler(std::move(handler)) {}

HttpsServer::~HttpsServer() {
    close();
}

bool HttpsServer::listen(const QHostAddress& address, quint16 port) {
    close();
    const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (v6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, &bytes, sizeof bytes);
        length = sizeof *in6;
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        in4->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof *in4;
    }
    // The socket is bound here rather than by libmicrohttpd so that a failure says why.
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(fd, 511) != 0) {
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    length = sizeof storage;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length);
    m_port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                      : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);

    auto core = std::make_shared<Core>();
    const Limits& limits = m_options.limits;
    core->limits = limits;
    core->owner = this;
    core->handler = m_handler;
    core->certificatePem = m_options.certificate.toPem();
    for (const QSslCertificate& certificate : m_options.chain)
        core->certificatePem += certificate.toPem();
    core->keyPem = m_options.key.toPem();
    core->starting = true;
    unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD | MHD_USE_TLS | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (v6)
        flags |= MHD_USE_IPv6;
    core->daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &onRequest, core.get(), MHD_OPTION_LISTEN_SOCKET, MHD_socket(fd),
        MHD_OPTION_EXTERNAL_LOGGER, &onLog, core.get(), MHD_OPTION_HTTPS_MEM_CERT, core->certificatePem.constData(),
        MHD_OPTION_HTTPS_MEM_KEY, core->keyPem.constData(), MHD_OPTION_HTTPS_PRIORITIES,
        "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2", MHD_OPTION_THREAD_POOL_SIZE,
        unsigned(std::max(1, limits.threads)), MHD_OPTION_CONNECTION_LIMIT, unsigned(std::max(1, limits.connections)),
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, unsigned(std::max(1, limits.connectionsPerAddress)),
        MHD_OPTION_CONNECTION_TIMEOUT, unsigned(std::max(1, limits.idleSeconds)), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        size_t(std::max<qint64>(8192, limits.connectionBufferBytes)), MHD_OPTION_NOTIFY_COMPLETED, &onCompleted,
        core.get(), MHD_OPTION_NOTIFY_CONNECTION, &onConnection, core.get(), MHD_OPTION_UNESCAPE_CALLBACK, &keepEscapes,
        nullptr, MHD_OPTION_END);
    core->starting = false;
    if (!core->daemon) {
        m_error = core->startError.isEmpty() ? QStringLiteral("the HTTPS server did not start") : core->startError;
        ::close(fd);
        return false;
    }
    core->watchdog = std::thread([raw = core.get()] { raw->watch(); });
    m_core = std::move(core);
    return true;
}

quint16 HttpsServer::port() const {
    return m_core ? m_port : 0;
}

QString HttpsServer::errorString() const {
    return m_error;
}

void HttpsServer::close() {
    if (m_core)
        m_core->stop();
    m_core.reset();
}

HttpResponse HttpsServer::errorResponse(int status, const QString& message) {
    HttpResponse response;
    response.status = status;
    response.body = QJsonDocument(QJsonObject{{QStringLiteral("error"), message}}).toJson(QJsonDocument::Compact);
    return response;
}
