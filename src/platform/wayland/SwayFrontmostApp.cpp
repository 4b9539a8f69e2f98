#include "platform/wayland/SwayFrontmostApp.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstring>

namespace {

// The IPC's framing: magic, payload length and message type in the host's byte order, then the payload.
constexpr char kMagic[] = "i3-ipc";
constexpr qsizetype kMagicSize = sizeof(kMagic) - 1;
constexpr qsizetype kHeaderSize = kMagicSize + 8;
constexpr quint32 kSubscribe = 2;
constexpr quint32 kGetTree = 4;
constexpr quint32 kEventBit = 0x80000000u;
constexpr qint64 kReconnectAfterMs = 2000;

QByteArray message(quint32 type, const QByteArray& payload) {
    QByteArray bytes(kMagic, kMagicSize);
    const quint32 header[2] = {static_cast<quint32>(payload.size()), type};
    bytes.append(reinterpret_cast<const char*>(header), sizeof header);
    return bytes + payload;
}

// Takes one whole message off the front of `buffer`; nothing until one has arrived completely.
std::optional<std::pair<quint32, QByteArray>> takeMessage(QByteArray& buffer, bool* corrupt) {
    if (buffer.size() < kHeaderSize)
        return std::nullopt;
    if (!buffer.startsWith(QByteArray(kMagic, kMagicSize))) {
        *corrupt = true;
        return std::nullopt;
    }
    quint32 header[2];
    std::memcpy(header, buffer.constData() + kMagicSize, sizeof header);
    if (buffer.size() < kHeaderSize + qsizetype(header[0]))
        return std::nullopt;
    QByteArray payload = buffer.mid(kHeaderSize, header[0]);
    buffer.remove(0, kHeaderSize + header[0]);
    return std::make_pair(header[1], std::move(payload));
}

} // namespace

SwayFrontmostApp::SwayFrontmostApp(QString socketPath, QObject* parent)
    : QObject(parent)
    , m_socketPath(std::move(socketPath)) {
    connect(&m_events, &QLocalSocket::connected, this,
            [this] { m_events.write(message(kSubscribe, R"(["window","workspace"])")); });
    connect(&m_events, &QLocalSocket::readyRead, this, &SwayFrontmostApp::readEvents);
    connect(&m_query, &QLocalSocket::connected, this, &SwayFrontmostApp::askForTree);
    connect(&m_query, &QLocalSocket::readyRead, this, &SwayFrontmostApp::readTree);
    connect(&m_query, &QLocalSocket::disconnected, this, [this] {
        m_current.reset();
        m_asking = false;
    });
    connectToSway();
}

SwayFrontmostApp::~SwayFrontmostApp() = default;

void SwayFrontmostApp::connectToSway() {
    m_sinceConnect.start();
    m_eventBuffer.clear();
    m_queryBuffer.clear();
    m_asking = false;
    m_askAgain = false;
    for (QLocalSocket* socket : {&m_events, &m_query}) {
        socket->abort();
        socket->connectToServer(m_socketPath);
    }
}

std::optional<QString> SwayFrontmostApp::name() {
    // A compositor that restarted (or was not up yet) is found again, at most every two seconds.
    const bool connected =
        m_events.state() == QLocalSocket::ConnectedState && m_query.state() == QLocalSocket::ConnectedState;
    if (!connected && m_sinceConnect.elapsed() >= kReconnectAfterMs)
        connectToSway();
    return m_current;
}

void SwayFrontmostApp::readEvents() {
    m_eventBuffer += m_events.readAll();
    bool corrupt = false;
    bool changed = false;
    while (const auto event = takeMessage(m_eventBuffer, &corrupt)) {
        if (!(event->first & kEventBit))
            continue; // the answer to the subscription
        // A title changes often and never the application.
        const QString change = QJsonDocument::fromJson(event->second).object().value(u"change").toString();
        if (change != u"title" && change != u"mark")
            changed = true;
    }
    if (corrupt) {
        m_events.abort();
        return;
    }
    if (changed)
        askForTree();
}

void SwayFrontmostApp::askForTree() {
    if (m_query.state() != QLocalSocket::ConnectedState)
        return;
    if (m_asking) {
        m_askAgain = true;
        return;
    }
    m_asking = true;
    m_query.write(message(kGetTree, {}));
}

void SwayFrontmostApp::readTree() {
    m_queryBuffer += m_query.readAll();
    bool corrupt = false;
    while (const auto reply = takeMessage(m_queryBuffer, &corrupt)) {
        if (reply->first != kGetTree)
            continue;
        m_asking = false;
        const std::optional<QString> id = focusedApplication(QJsonDocument::fromJson(reply->second).object());
        if (!id)
            m_current.reset();
        else
            m_current = m_names.nameFor(*id).value_or(*id);
    }
    if (corrupt) {
        m_query.abort();
        return;
    }
    if (m_askAgain && !m_asking) {
        m_askAgain = false;
        askForTree();
    }
}

std::optional<QString> SwayFrontmostApp::focusedApplication(const QJsonObject& tree) {
    // Depth first through tiled and floating children; exactly one node has focus.
    QList<QJsonObject> pending{tree};
    while (!pending.isEmpty()) {
        const QJsonObject node = pending.takeLast();
        if (node.value(u"focused").toBool()) {
            const QString appId = node.value(u"app_id").toString().trimmed();
            if (!appId.isEmpty())
                return appId;
            const QString windowClass =
                node.value(u"window_properties").toObject().value(u"class").toString().trimmed();
            if (!windowClass.isEmpty())
                return windowClass;
            return std::nullopt; // a workspace or an output: no window in front
        }
        for (const char* key : {"nodes", "floating_nodes"})
            for (const QJsonValue& child : node.value(QLatin1String(key)).toArray())
                pending.append(child.toObject());
    }
    return std::nullopt;
}
