#include "platform/wayland/MutterIdleWatch.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace {

const QString kService = QStringLiteral("org.gnome.Mutter.IdleMonitor");
const QString kPath = QStringLiteral("/org/gnome/Mutter/IdleMonitor/Core");
const QString kInterface = QStringLiteral("org.gnome.Mutter.IdleMonitor");
constexpr quint64 kIdleMs = 1000;
// Only at clock-in, on the main thread: a Mutter that does not answer by then is treated as absent.
constexpr int kCallTimeoutMs = 2000;

QDBusMessage call(const QString& method, const QVariantList& arguments = {}) {
    QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    message.setArguments(arguments);
    return message;
}

} // namespace

std::unique_ptr<IdleWatch> MutterIdleWatch::create(Callback callback, QDBusConnection bus) {
    if (!bus.isConnected())
        return nullptr;
    std::unique_ptr<MutterIdleWatch> watch(new MutterIdleWatch(bus, std::move(callback)));
    if (!watch->start())
        return nullptr;
    return watch;
}

MutterIdleWatch::MutterIdleWatch(QDBusConnection bus, Callback callback)
    : m_bus(std::move(bus))
    , m_callback(std::move(callback)) {}

MutterIdleWatch::~MutterIdleWatch() {
    for (uint id : {m_idleWatch, m_activeWatch})
        if (id)
            m_bus.send(call(QStringLiteral("RemoveWatch"), {id}));
}

bool MutterIdleWatch::start() {
    if (!m_bus.connect(kService, kPath, kInterface, QStringLiteral("WatchFired"), this, SLOT(onWatchFired(uint))))
        return false;
    const QDBusMessage reply =
        m_bus.call(call(QStringLiteral("AddIdleWatch"), {QVariant::fromValue(kIdleMs)}), QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1)
        return false;
    m_idleWatch = reply.arguments().constFirst().toUInt();
    // A user already idle for longer than the watch's second may not see it fire before the next input.
    const QDBusMessage idleTime = m_bus.call(call(QStringLiteral("GetIdletime")), QDBus::Block, kCallTimeoutMs);
    if (idleTime.type() == QDBusMessage::ReplyMessage && !idleTime.arguments().isEmpty() &&
        idleTime.arguments().constFirst().toULongLong() >= kIdleMs)
        onWatchFired(m_idleWatch);
    return true;
}

void MutterIdleWatch::onWatchFired(uint id) {
    if (id == 0)
        return;
    if (id == m_idleWatch && !m_idle) {
        m_idle = true;
        m_callback(true);
        watchForInput();
    } else if (id == m_activeWatch) {
        // User-active watches fire once and are gone.
        m_activeWatch = 0;
        m_idle = false;
        m_callback(false);
    }
}

void MutterIdleWatch::watchForInput() {
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call(QStringLiteral("AddUserActiveWatch"))), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        const QDBusPendingReply<uint> reply = *finished;
        if (reply.isValid())
            m_activeWatch = reply.value();
    });
}
