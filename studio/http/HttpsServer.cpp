#include "http/HttpsServer.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <microhttpd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
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
#include <unordered_map>
#include <unordered_set>

namespace https {

using SteadyClock = std::chrono::steady_clock;
constexpr std::chrono::seconds kCrowdedGrace{1};
constexpr SteadyClock::duration kStalled = std::chrono::seconds(1); // an upload sending nothing this long holds bytes
// TLS 1.2 and 1.3 with forward secrecy and authenticated encryption only: no CBC suites with their SHA-1 MACs.
constexpr char kPriorities[] = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-CIPHER-ALL:+AES-256-GCM:+AES-128-GCM:"
                               "+CHACHA20-POLY1305:-MAC-ALL:+AEAD:-KX-ALL:+ECDHE-ECDSA:+ECDHE-RSA";

// The deadline of one TCP connection, checked by the watchdog: libmicrohttpd's own timeout restarts with every
// byte, so a client sending one byte at a time would otherwise hold its connection for ever.
struct Watch {
    int fd = -1;
    QByteArray key; // counted against Limits::connectionsPerAddress; empty for a trusted balancer's own
    SteadyClock::time_point deadline;
    std::optional<SteadyClock::time_point> waitingForHead; // since when, while no request head has come
    bool shut = false;
};

enum class State { Reading, Refused, Waiting, Answered, Dropped };

struct Pending {
    HttpRequest request;
    MHD_Connection* connection = nullptr;
    Watch* watch = nullptr;
    QByteArray key;      // the client's, for the bytes it holds
    qint64 expected = 0; // the declared Content-Length
    qint64 charged = 0;  // body bytes received, counted against the body limits until the connection is done
    SteadyClock::time_point since;
    SteadyClock::time_point lastBytes; // when body bytes last arrived
    bool cut = false;                  // dropped to make room for a faster upload
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

    QList<proxy::Subnet> trustedProxies;
    int listenFd = -1;
    int wakeFd = -1; // an eventfd that wakes the accepting thread to stop

    std::mutex mutex; // guards the members below; taken by the serving threads and the owner's thread
    std::unordered_set<Pending*> suspended;
    std::unordered_set<Watch*> watches;
    std::unordered_map<int, QByteArray> keysByFd; // handed over, not yet started by libmicrohttpd
    QHash<QByteArray, int> connectionsByKey;
    qint64 bodyBytes = 0;
    QHash<QByteArray, qint64> bodyBytesByKey;
    std::unordered_set<Pending*> uploading; // bodies still arriving: those that may be cut
    std::atomic<bool> stopping{false};
    std::condition_variable wake;
    std::thread watchdog;
    std::thread acceptor;
    std::atomic<bool> starting{false};
    QString startError;
    std::atomic<qint64> arriving{0}; // accepted, still read by the accepting thread

    qint64 open() const { return qint64(watches.size()) + arriving; } // under `mutex`
    void watch();
    void accept();
    void stop();
    bool countConnection(const QByteArray& key);
    void uncountConnection(const QByteArray& key);
    bool chargeBody(Pending& pending, qint64 bytes);
    void releaseBody(Pending& pending);
    void uncharge(Pending& pending); // under `mutex`
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

// A streamed answer's part being sent, and where in it the client is.
struct Stream {
    std::function<QByteArray()> next;
    QByteArray part;
    qsizetype sent = 0;
};

ssize_t readStream(void* cls, uint64_t, char* buffer, size_t max) {
    auto& stream = *static_cast<Stream*>(cls);
    if (stream.sent == stream.part.size()) {
        stream.part = stream.next();
        stream.sent = 0;
        if (stream.part.isEmpty())
            return MHD_CONTENT_READER_END_OF_STREAM;
    }
    const size_t size = std::min(max, size_t(stream.part.size() - stream.sent));
    std::memcpy(buffer, stream.part.constData() + stream.sent, size);
    stream.sent += qsizetype(size);
    return ssize_t(size);
}

MHD_Result queue(MHD_Connection* connection, const HttpResponse& answer) {
    constexpr size_t kStreamBlock = 64 << 10;
    MHD_Response* response = nullptr;
    if (answer.stream) {
        auto stream = std::make_unique<Stream>(Stream{answer.stream, {}, 0});
        response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kStreamBlock, readStream, stream.get(),
                                                     [](void* cls) { delete static_cast<Stream*>(cls); });
        if (response)
            (void)stream.release(); // the response's to delete
    } else {
        response = MHD_create_response_from_buffer(size_t(answer.body.size()),
                                                   const_cast<char*>(answer.body.constData()), MHD_RESPMEM_MUST_COPY);
    }
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

struct Head {
    HttpRequest* request;
    int contentLengths = 0;
    QList<QByteArray> forwarded, forwardedFor;
};

MHD_Result busy(Pending& pending) {
    HttpResponse busy = HttpsServer::errorResponse(503, QStringLiteral("The studio is busy. Try again in a minute."));
    busy.headers.emplaceBack("Retry-After", "60");
    pending.state = State::Refused;
    return queue(pending.connection, busy);
}

// The head is complete: collect it and refuse at once what cannot be served, before any body is read.
MHD_Result begin(Core& core, MHD_Connection* connection, const char* url, const char* method, Pending& pending) {
    pending.connection = connection;
    pending.watch = watchOf(connection);
    pending.since = pending.lastBytes = SteadyClock::now();
    HttpRequest& request = pending.request;
    request.method = method;
    request.path = url;
    Head head{&request, 0, {}, {}};
    MHD_get_connection_values_n(
        connection, MHD_HEADER_KIND,
        [](void* cls, MHD_ValueKind, const char* key, size_t keySize, const char* value, size_t valueSize) {
            Head& collected = *static_cast<Head*>(cls);
            const QByteArray name = QByteArray(key, qsizetype(keySize)).toLower();
            const QByteArray text(value, qsizetype(valueSize));
            collected.request->headers.insert(name, text);
            if (name == "content-length")
                ++collected.contentLengths;
            else if (name == "forwarded")
                collected.forwarded.append(text);
            else if (name == "x-forwarded-for")
                collected.forwardedFor.append(text);
            return MHD_YES;
        },
        &head);
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
        request.peer = proxy::plain(QHostAddress(info->client_addr));
    // A balancer that ends TLS names the client in its headers; from anyone else they are the client's own words.
    if (proxy::trusted(core.trustedProxies, request.peer)) {
        const QHostAddress client = proxy::forwardedClient(core.trustedProxies, head.forwarded, head.forwardedFor);
        if (!client.isNull())
            request.peer = client;
    }
    pending.key = HttpsServer::clientKey(request.peer);
    setDeadline(core, connection, after(core.limits.requestSeconds));

    if (request.headers.contains("transfer-encoding"))
        return refuse(pending, 411, QStringLiteral("Send the request body with a Content-Length, not in chunks."));
    // Two lengths could frame the body differently for a balancer in front and for this server.
    if (head.contentLengths > 1)
        return refuse(pending, 400, QStringLiteral("The request has more than one Content-Length header."));
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
    // What is declared costs nothing until it arrives: the bytes are charged as they come.
    request.body.reserve(std::min<qint64>(pending.expected, 64 << 10));
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
        const qint64 size = qint64(*uploadSize);
        if (pending.state == State::Reading) {
            if (pending.request.body.size() + size > pending.expected)
                return MHD_NO;
            if (!core.chargeBody(pending, size)) {
                if (pending.cut)
                    return MHD_NO;
                // When the answer cannot be sent before the whole body is read, the connection is closed.
                if (busy(pending) != MHD_YES)
                    return MHD_NO;
            } else {
                pending.request.body.append(upload, qsizetype(size));
            }
        }
        *uploadSize = 0;
        return MHD_YES;
    }
    switch (pending.state) {
    case State::Reading: {
        {
            const std::lock_guard lock(core.mutex);
            if (pending.cut) // cut while its last bytes were on their way: it is gone
                return MHD_NO;
            core.uploading.erase(&pending); // complete: held until answered, never cut
        }
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
        core.releaseBody(**holder);
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
        if (const auto key = core.keysByFd.find(watch->fd); key != core.keysByFd.end()) {
            watch->key = key->second;
            core.keysByFd.erase(key);
        }
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
        core.uncountConnection(watch->key);
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
        const bool crowded = open() * 10 >= qint64(limits.connections) * 9;
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

namespace {

constexpr qsizetype kHelloBytes = 11; // TLS record header, handshake header and the client's highest version

// One accepted connection until libmicrohttpd takes it: what comes before the TLS handshake is read here.
struct Arrival {
    QHostAddress address;      // the connecting peer, then the client its balancer names
    bool fromBalancer = false; // a trusted balancer: a PROXY preamble may come first
    bool preambleRead = false;
    QByteArray key; // counted against connectionsPerAddress; empty for a balancer's own connection
    SteadyClock::time_point since;
};

sockaddr_storage socketAddress(const QHostAddress& address, quint16 port, socklen_t* length) {
    sockaddr_storage storage{};
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, &bytes, sizeof bytes);
        *length = sizeof *in6;
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        in4->sin_addr.s_addr = htonl(address.toIPv4Address());
        *length = sizeof *in4;
    }
    return storage;
}

// A client that offers only protocol versions older than TLS 1.2 is told so with a protocol_version alert, so
// that it can report why rather than a dropped connection.
void sendVersionAlert(int fd, const QByteArray& hello) {
    char discard[4096];
    while (::recv(fd, discard, sizeof discard, MSG_DONTWAIT) > 0) {
    }
    const char alert[] = {0x15, hello[1], hello[2], 0, 2, 2, 70};
    ::send(fd, alert, sizeof alert, MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(fd, SHUT_WR);
}

} // namespace

bool Core::countConnection(const QByteArray& key) {
    const std::lock_guard lock(mutex);
    int& count = connectionsByKey[key];
    if (count >= limits.connectionsPerAddress) {
        if (count == 0)
            connectionsByKey.remove(key);
        return false;
    }
    ++count;
    return true;
}

void Core::uncountConnection(const QByteArray& key) { // under `mutex`
    if (key.isEmpty())
        return;
    const auto found = connectionsByKey.find(key);
    if (found != connectionsByKey.end() && --found.value() <= 0)
        connectionsByKey.erase(found);
}

void Core::accept() {
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    auto watchFd = [poller](int fd, int operation, uint32_t events) {
        epoll_event event{};
        event.events = events;
        event.data.fd = fd;
        ::epoll_ctl(poller, operation, fd, &event);
    };
    watchFd(wakeFd, EPOLL_CTL_ADD, EPOLLIN);
    watchFd(listenFd, EPOLL_CTL_ADD, EPOLLIN);
    bool accepting = true;
    std::unordered_map<int, Arrival> arrivals;
    auto drop = [&](int fd) {
        const auto found = arrivals.find(fd);
        {
            const std::lock_guard lock(mutex);
            uncountConnection(found->second.key);
        }
        ::close(fd);
        arrivals.erase(found);
        arriving = qint64(arrivals.size());
    };
    auto handOver = [&](int fd) {
        Arrival& arrival = arrivals.at(fd);
        ::epoll_ctl(poller, EPOLL_CTL_DEL, fd, nullptr);
        socklen_t length = 0;
        const sockaddr_storage address = socketAddress(arrival.address, 0, &length);
        {
            const std::lock_guard lock(mutex);
            keysByFd[fd] = arrival.key;
        }
        // libmicrohttpd closes the socket itself when it cannot take it.
        if (MHD_add_connection(daemon, fd, reinterpret_cast<const sockaddr*>(&address), length) != MHD_YES) {
            const std::lock_guard lock(mutex);
            if (keysByFd.erase(fd))
                uncountConnection(arrival.key);
        }
        arrivals.erase(fd);
        arriving = qint64(arrivals.size());
    };
    // Reads what has come of the connection's start, without taking any of the TLS handshake.
    auto advance = [&](int fd) {
        Arrival& arrival = arrivals.at(fd);
        char buffer[proxy::kMaxPreamble];
        const ssize_t received = ::recv(fd, buffer, sizeof buffer, MSG_PEEK | MSG_DONTWAIT);
        if (received < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (received <= 0)
            return drop(fd);
        QByteArray bytes(buffer, qsizetype(received));
        if (arrival.fromBalancer && !arrival.preambleRead) {
            const proxy::Preamble preamble = proxy::parsePreamble(bytes);
            if (preamble.status == proxy::Preamble::Incomplete)
                return;
            if (preamble.status == proxy::Preamble::Invalid)
                return drop(fd);
            arrival.preambleRead = true;
            if (preamble.status == proxy::Preamble::Complete) {
                if (::recv(fd, buffer, size_t(preamble.length), MSG_DONTWAIT) != ssize_t(preamble.length))
                    return drop(fd);
                bytes.remove(0, preamble.length);
                if (!preamble.source.isNull()) {
                    arrival.address = preamble.source;
                    arrival.key = HttpsServer::clientKey(preamble.source);
                    if (!countConnection(arrival.key)) {
                        arrival.key.clear();
                        return drop(fd);
                    }
                }
            }
            if (bytes.isEmpty())
                return;
        }
        // Anything but a TLS handshake, a PROXY preamble from an address not trusted with one included, is refused.
        if (bytes[0] != 0x16)
            return drop(fd);
        if (bytes.size() < kHelloBytes)
            return;
        if (bytes[5] == 1 && (uchar(bytes[9]) << 8 | uchar(bytes[10])) < 0x0303) {
            sendVersionAlert(fd, bytes);
            return drop(fd);
        }
        handOver(fd);
    };

    epoll_event events[64];
    while (!stopping) {
        const int ready = ::epoll_wait(poller, events, 64, 250);
        for (int i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            if (fd == wakeFd)
                continue;
            if (fd != listenFd) {
                if (arrivals.count(fd))
                    advance(fd);
                continue;
            }
            for (;;) {
                {
                    const std::lock_guard lock(mutex);
                    if (open() >= limits.connections)
                        break;
                }
                sockaddr_storage peer{};
                socklen_t length = sizeof peer;
                const int client =
                    ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (client < 0)
                    break;
                Arrival arrival;
                arrival.address = proxy::plain(QHostAddress(reinterpret_cast<sockaddr*>(&peer)));
                arrival.fromBalancer = proxy::trusted(trustedProxies, arrival.address);
                arrival.since = SteadyClock::now();
                // A balancer's own connections are not limited per address: it speaks for many clients.
                if (!arrival.fromBalancer) {
                    arrival.key = HttpsServer::clientKey(arrival.address);
                    if (!countConnection(arrival.key)) {
                        ::close(client);
                        continue;
                    }
                }
                arrivals.emplace(client, std::move(arrival));
                arriving = qint64(arrivals.size());
                watchFd(client, EPOLL_CTL_ADD, EPOLLIN | EPOLLRDHUP);
            }
        }
        // Those that send nothing in time are dropped, and sooner near the limit, as in watch().
        const SteadyClock::time_point now = SteadyClock::now();
        bool full = false;
        {
            const std::lock_guard lock(mutex);
            full = open() >= limits.connections;
        }
        const bool crowded = arriving * 10 >= qint64(limits.connections) * 9 || full;
        std::vector<int> late;
        for (const auto& [fd, arrival] : arrivals) {
            if (now - arrival.since > std::chrono::seconds(limits.headSeconds) ||
                (crowded && now - arrival.since > kCrowdedGrace))
                late.push_back(fd);
        }
        for (const int fd : late)
            drop(fd);
        // At the limit, new clients wait in the listen queue until a connection ends.
        if (full == accepting) {
            accepting = !full;
            watchFd(listenFd, EPOLL_CTL_MOD, accepting ? uint32_t(EPOLLIN) : 0u);
        }
    }
    while (!arrivals.empty())
        drop(arrivals.begin()->first);
    ::close(poller);
}

// Only what has arrived counts: a client that declares a large body and sends little holds little.
bool Core::chargeBody(Pending& pending, qint64 bytes) {
    const std::lock_guard lock(mutex);
    if (pending.cut)
        return false;
    const SteadyClock::time_point now = SteadyClock::now();
    // Bytes a second since the head, over at least a second so that a fresh upload is not taken for a slow one.
    auto rate = [now](const Pending& upload, qint64 extra) {
        const double seconds = std::chrono::duration<double>(now - upload.since).count();
        return double(upload.charged + extra) / std::max(1.0, seconds);
    };
    const double mine = rate(pending, bytes);
    for (;;) {
        const bool overAll = bodyBytes + bytes > limits.totalBodyBytes;
        const bool overAddress = bodyBytesByKey.value(pending.key) + bytes > limits.bodyBytesPerAddress;
        if (!overAll && !overAddress)
            break;
        // Room is made by cutting the slowest upload, of the same client when it is the one over its share: first
        // one that has stalled for a second or more, the longest stalled, else one slower on average than this;
        // an upload sending at full speed is never refused for those that hold bytes without sending.
        Pending* stalled = nullptr;
        Pending* slower = nullptr;
        double slowerRate = mine;
        for (Pending* other : uploading) {
            if (other == &pending || (overAddress && other->key != pending.key))
                continue;
            if (now - other->lastBytes >= kStalled) {
                if (!stalled || other->lastBytes < stalled->lastBytes)
                    stalled = other;
            } else if (const double otherRate = rate(*other, 0); otherRate < slowerRate) {
                slower = other;
                slowerRate = otherRate;
            }
        }
        Pending* const slowest = stalled ? stalled : slower;
        if (!slowest)
            return false;
        slowest->cut = true;
        if (slowest->watch && slowest->watch->fd >= 0 && !slowest->watch->shut) {
            ::shutdown(slowest->watch->fd, SHUT_RDWR);
            slowest->watch->shut = true;
        }
        uncharge(*slowest);
    }
    pending.charged += bytes;
    pending.lastBytes = now;
    bodyBytes += bytes;
    bodyBytesByKey[pending.key] += bytes;
    uploading.insert(&pending);
    return true;
}

void Core::uncharge(Pending& pending) {
    uploading.erase(&pending);
    if (pending.charged == 0)
        return;
    bodyBytes -= pending.charged;
    if ((bodyBytesByKey[pending.key] -= pending.charged) <= 0)
        bodyBytesByKey.remove(pending.key);
    pending.charged = 0;
}

void Core::releaseBody(Pending& pending) {
    const std::lock_guard lock(mutex);
    uncharge(pending);
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
    const uint64_t one = 1;
    if (wakeFd >= 0 && ::write(wakeFd, &one, sizeof one) < 0) {
        // the accepting thread still sees `stopping` within a quarter second
    }
    if (acceptor.joinable())
        acceptor.join();
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
    for (int* fd : {&listenFd, &wakeFd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
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
    socklen_t length = 0;
    sockaddr_storage storage = socketAddress(address, port, &length);
    // The socket is bound here rather than by libmicrohttpd so that a failure says why.
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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
    core->trustedProxies = m_options.trustedProxies;
    core->listenFd = fd;
    core->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    core->starting = true;
    // Connections are accepted by this server's own thread, which reads what precedes TLS and then hands them on.
    const unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD | MHD_USE_TLS | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG |
                           MHD_USE_NO_LISTEN_SOCKET | MHD_USE_ITC;
    core->daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &onRequest, core.get(), MHD_OPTION_EXTERNAL_LOGGER, &onLog, core.get(),
        MHD_OPTION_HTTPS_MEM_CERT, core->certificatePem.constData(), MHD_OPTION_HTTPS_MEM_KEY, core->keyPem.constData(),
        MHD_OPTION_HTTPS_PRIORITIES, kPriorities, MHD_OPTION_THREAD_POOL_SIZE, unsigned(std::max(1, limits.threads)),
        MHD_OPTION_CONNECTION_LIMIT, unsigned(std::max(1, limits.connections)), MHD_OPTION_CONNECTION_TIMEOUT,
        unsigned(std::max(1, limits.idleSeconds)), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        size_t(std::max<qint64>(8192, limits.connectionBufferBytes)), MHD_OPTION_NOTIFY_COMPLETED, &onCompleted,
        core.get(), MHD_OPTION_NOTIFY_CONNECTION, &onConnection, core.get(), MHD_OPTION_UNESCAPE_CALLBACK, &keepEscapes,
        nullptr, MHD_OPTION_END);
    core->starting = false;
    if (!core->daemon || core->wakeFd < 0) {
        m_error = core->startError.isEmpty() ? QStringLiteral("the HTTPS server did not start") : core->startError;
        core->stop();
        return false;
    }
    core->watchdog = std::thread([raw = core.get()] { raw->watch(); });
    core->acceptor = std::thread([raw = core.get()] { raw->accept(); });
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

QByteArray HttpsServer::clientKey(const QHostAddress& address) {
    const QHostAddress client = proxy::plain(address);
    if (client.protocol() != QAbstractSocket::IPv6Protocol)
        return client.toString().toLatin1();
    const Q_IPV6ADDR bytes = client.toIPv6Address();
    return QByteArray(reinterpret_cast<const char*>(bytes.c), 8).toHex();
}

HttpResponse HttpsServer::errorResponse(int status, const QString& message) {
    HttpResponse response;
    response.status = status;
    response.body = QJsonDocument(QJsonObject{{QStringLiteral("error"), message}}).toJson(QJsonDocument::Compact);
    return response;
}
