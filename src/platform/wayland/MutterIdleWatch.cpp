#include "platform/wayland/MutterIdleWatch.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace {

const QString kService = QStringLiteral("org.gnome.Mutter.IdleMonitor");
const QString kPath = QStringLiteral("/org/gnome/Mutter/IdleMonitor/Core");
const QString kInterface = QStringLiteral("org.gnome.Mutter.IdleMonitor");
constexpr quint64 kIdleMs = 1000;
// Mutter answers at once when it runs; a busy one may take a while, and nothing waits for the answer.
constexpr int kCallTimeoutMs = 20000;

QDBusMessage call(const QString& method, const QVariantList& arguments = {}) {
    QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    message.setArguments(arguments);
    return message;
}

} // namespace

std::unique_ptr<IdleWatch> MutterIdleWatch::create(Callback callback, StatusCallback status, QDBusConnection bus) {
    if (!bus.isConnected())
        return nullptr;
    std::unique_ptr<MutterIdleWatch> watch(new MutterIdleWatch(bus, std::move(callback), std::move(status)));
    watch->start();
    return watch;
}

MutterIdleWatch::MutterIdleWatch(QDBusConnection bus, Callback callback, StatusCallback status)
    : m_bus(std::move(bus))
    , m_callback(std::move(callback))
    , m_status(std::move(status)) {}

MutterIdleWatch::~MutterIdleWatch() {
    for (uint id : {m_idleWatch, m_activeWatch})
        if (id)
            m_bus.send(call(QStringLiteral("RemoveWatch"), {id}));
}

void MutterIdleWatch::start() {
    // Mutter addresses WatchFired to the watch's owner alone.  Matched on path and interface, not on the
    // service's name: a fire that comes before the name's owner is known to this connection is not lost.
    m_bus.connect(QString(), kPath, kInterface, QStringLiteral("WatchFired"), this, SLOT(onWatchFired(uint)));
    auto* watcher = new QDBusPendingCallWatcher(
        m_bus.asyncCall(call(QStringLiteral("AddIdleWatch"), {QVariant::fromValue(kIdleMs)}), kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        onIdleWatchAdded(finished->reply());
    });
}

void MutterIdleWatch::onIdleWatchAdded(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) {
        m_status(Status::Unavailable);
        return;
    }
    m_idleWatch = reply.arguments().constFirst().toUInt();
    if (m_firedEarly.remove(m_idleWatch)) {
        setIdle(true);
        return;
    }
    // The idle watch fires when the idle time reaches the second, and not for a user idle longer already.
    auto* watcher =
        new QDBusPendingCallWatcher(m_bus.asyncCall(call(QStringLiteral("GetIdletime")), kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        onIdleTime(finished->reply());
    });
}

void MutterIdleWatch::onIdleTime(const QDBusMessage& reply) {
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
        reply.arguments().constFirst().toULongLong() >= kIdleMs)
        setIdle(true);
    else
        m_status(Status::Armed); // the watch fires within the second unless input comes
}

void MutterIdleWatch::onWatchFired(uint id) {
    if (id == 0)
        return;
    if (id == m_idleWatch) {
        setIdle(true);
    } else if (id == m_activeWatch) {
        m_activeWatch = 0; // user-active watches fire once and are gone
        setIdle(false);
    } else if (!m_idleWatch || m_waitingForActiveWatch) {
        m_firedEarly.insert(id);
    }
}

void MutterIdleWatch::setIdle(bool idle) {
    if (idle == m_idle)
        return;
    m_idle = idle;
    m_callback(idle);
    if (idle)
        watchForInput();
}

void MutterIdleWatch::watchForInput() {
    m_waitingForActiveWatch = true;
    auto* watcher =
        new QDBusPendingCallWatcher(m_bus.asyncCall(call(QStringLiteral("AddUserActiveWatch")), kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        m_waitingForActiveWatch = false;
        const QDBusPendingReply<uint> reply = *finished;
        if (!reply.isValid())
            return;
        // Input right after the idle second fires the watch before this reply tells its id.
        if (m_firedEarly.remove(reply.value()))
            setIdle(false);
        else
            m_activeWatch = reply.value();
    });
}
