#include "platform/common/DBusSystemEvents.h"

#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QSocketNotifier>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString kLogind = QStringLiteral("org.freedesktop.login1");
const QString kLogindPath = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kSession = QStringLiteral("org.freedesktop.login1.Session");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
// Startup waits on these calls; a logind that does not answer within this time is treated as absent.
constexpr int kCallTimeoutMs = 3000;

// Sleep is delayed while this descriptor is open.
struct Inhibitor {
    explicit Inhibitor(int descriptor)
        : fd(descriptor) {}
    ~Inhibitor() { ::close(fd); }
    Inhibitor(const Inhibitor&) = delete;
    Inhibitor& operator=(const Inhibitor&) = delete;
    int fd;
};

// The kernel's notices of new routes; -1 where they cannot be had.
int openRouteNotices() {
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0)
        return -1;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads every pending notice; whether one of them added a default route (a network came up or was replaced).
bool readDefaultRouteAdded(int fd) {
    bool added = false;
    alignas(nlmsghdr) char buffer[8192];
    for (;;) {
        const ssize_t length = ::recv(fd, buffer, sizeof buffer, 0);
        if (length <= 0)
            return added; // drained, or notices were lost (ENOBUFS): the next ones still come
        int left = static_cast<int>(length);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, left);
             header = NLMSG_NEXT(header, left)) {
            if (header->nlmsg_type != RTM_NEWROUTE || header->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)))
                continue;
            const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(header));
            added = added ||
                    (route->rtm_dst_len == 0 && route->rtm_table == RT_TABLE_MAIN && route->rtm_type == RTN_UNICAST);
        }
    }
}

std::optional<QString> objectPathReply(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    const QString path = reply.arguments().constFirst().value<QDBusObjectPath>().path();
    if (path.isEmpty())
        return std::nullopt;
    return path;
}

} // namespace

DBusSystemEvents::DBusSystemEvents(QDBusConnection systemBus, QDBusConnection sessionBus, QObject* parent)
    : QObject(parent)
    , m_system(std::move(systemBus))
    , m_session(std::move(sessionBus)) {
    if (m_system.isConnected()) {
        m_system.connect(kLogind, kLogindPath, kManager, QStringLiteral("PrepareForSleep"), this,
                         SLOT(onPrepareForSleep(bool)));
        m_sessionPath = findSession();
        if (!m_sessionPath.isEmpty()) {
            m_system.connect(kLogind, m_sessionPath, kSession, QStringLiteral("Lock"), this, SLOT(onSessionLock()));
            m_system.connect(kLogind, m_sessionPath, kProperties, QStringLiteral("PropertiesChanged"), this,
                             SLOT(onSessionPropertiesChanged(QString, QVariantMap, QStringList)));
        }
    }
    if (m_session.isConnected()) {
        // Desktops publish the screensaver under the freedesktop name, GNOME under its own; any path.
        for (const QString& interface :
             {QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("org.gnome.ScreenSaver")})
            m_session.connect(QString(), QString(), interface, QStringLiteral("ActiveChanged"), this,
                              SLOT(onScreenSaverActiveChanged(bool)));
    }
    m_routes = openRouteNotices();
    if (m_routes >= 0) {
        auto* notifier = new QSocketNotifier(m_routes, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            if (readDefaultRouteAdded(m_routes))
                post(SystemEvent::NetworkUp);
        });
    }
}

DBusSystemEvents::~DBusSystemEvents() {
    if (m_routes >= 0)
        ::close(m_routes);
}

QString DBusSystemEvents::findSession() {
    QList<QDBusMessage> calls;
    const QString id = qEnvironmentVariable("XDG_SESSION_ID");
    if (!id.isEmpty()) {
        calls << QDBusMessage::createMethodCall(kLogind, kLogindPath, kManager, QStringLiteral("GetSession"));
        calls.last() << id;
    }
    calls << QDBusMessage::createMethodCall(kLogind, kLogindPath, kManager, QStringLiteral("GetSessionByPID"));
    calls.last() << quint32(::getpid());
    // Started by the user's service manager, the agent belongs to no session; "auto" has logind pick the
    // user's display session, which is the one whose lock and switch matter.
    calls << QDBusMessage::createMethodCall(kLogind, kLogindPath, kManager, QStringLiteral("GetSession"));
    calls.last() << QStringLiteral("auto");
    for (const QDBusMessage& call : std::as_const(calls)) {
        const QDBusMessage reply = m_system.call(call, QDBus::Block, kCallTimeoutMs);
        if (auto path = objectPathReply(reply))
            return *path;
        if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
            reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply"))
            break; // no logind here: asking again will not help
    }
    return {};
}

SystemEvents::Token DBusSystemEvents::observe(SystemEvent event, Handler handler) {
    const Token token = m_nextToken++;
    m_observers.append({token, event, std::move(handler)});
    return token;
}

void DBusSystemEvents::post(SystemEvent event) {
    // Copies: a handler may register further observers while the list is walked.
    const QList<Observer> observers = m_observers;
    for (const Observer& observer : observers) {
        if (observer.event == event && observer.handler)
            observer.handler();
    }
}

void DBusSystemEvents::onPrepareForSleep(bool start) {
    if (start)
        post(SystemEvent::WillSleep);
}

void DBusSystemEvents::onSessionLock() {
    post(SystemEvent::ScreenLocked);
}

void DBusSystemEvents::onSessionPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                                  const QStringList& invalidated) {
    Q_UNUSED(invalidated)
    if (interface != kSession)
        return;
    // Only a change counts: a repeated "false" for a session that is already inactive is not a new switch.
    if (const auto it = changed.constFind(QStringLiteral("Active")); it != changed.constEnd()) {
        const bool active = it->toBool();
        const bool turnedOff = !active && m_active.value_or(true);
        m_active = active;
        if (turnedOff)
            post(SystemEvent::SessionResignActive);
    }
    if (const auto it = changed.constFind(QStringLiteral("LockedHint")); it != changed.constEnd()) {
        const bool locked = it->toBool();
        const bool turnedOn = locked && !m_locked.value_or(false);
        m_locked = locked;
        if (turnedOn)
            post(SystemEvent::ScreenLocked);
    }
}

void DBusSystemEvents::onScreenSaverActiveChanged(bool active) {
    if (active)
        post(SystemEvent::ScreensDidSleep);
}

std::shared_ptr<void> DBusSystemEvents::delaySleep() {
    if (auto held = m_inhibitor.lock())
        return held;
    if (!m_system.isConnected())
        return {};
    QDBusMessage call = QDBusMessage::createMethodCall(kLogind, kLogindPath, kManager, QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep") << QStringLiteral("Vantrel")
         << QStringLiteral("Sending the clock-out to the studio") << QStringLiteral("delay");
    const QDBusMessage reply = m_system.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    const auto descriptor = reply.arguments().constFirst().value<QDBusUnixFileDescriptor>();
    if (!descriptor.isValid())
        return {};
    // The reply's descriptor closes with the message; keep a copy of our own until the last handle goes.
    const int fd = ::dup(descriptor.fileDescriptor());
    if (fd < 0)
        return {};
    auto held = std::make_shared<Inhibitor>(fd);
    m_inhibitor = held;
    return held;
}
