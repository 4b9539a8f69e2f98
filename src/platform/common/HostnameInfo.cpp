#include "platform/common/HostnameInfo.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QSysInfo>

namespace {

// hostnamed answers at once or is not there; a missing service must not hold up the caller for long.
constexpr int kCallTimeoutMs = 2000;

} // namespace

HostnameInfo::HostnameInfo(QDBusConnection systemBus)
    : m_bus(std::move(systemBus)) {}

QString HostnameInfo::computerName() const {
    if (m_bus.isConnected()) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.hostname1"), QStringLiteral("/org/freedesktop/hostname1"),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        call << QStringLiteral("org.freedesktop.hostname1") << QStringLiteral("PrettyHostname");
        const QDBusMessage reply = m_bus.call(call, QDBus::Block, kCallTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
            const QString pretty = reply.arguments().constFirst().value<QDBusVariant>().variant().toString().trimmed();
            if (!pretty.isEmpty())
                return pretty;
        }
    }
    return QSysInfo::machineHostName().trimmed();
}
