#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QProcess>
#include <QStringList>
#include <QThread>

#include <sys/prctl.h>

#include <csignal>
#include <memory>
#include <vector>

// The services the system-event suites talk to, as the desktop names them.
namespace bus {
inline const QString kLogind = QStringLiteral("org.freedesktop.login1");
inline const QString kLogindPath = QStringLiteral("/org/freedesktop/login1");
inline const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");
inline const QString kSession = QStringLiteral("org.freedesktop.login1.Session");
inline const QString kScreenSaver = QStringLiteral("org.freedesktop.ScreenSaver");
inline const QString kMock = QStringLiteral("org.freedesktop.DBus.Mock");
} // namespace bus

// A private dbus-daemon with python3-dbusmock peers on it, all stopped with this object.  Debian's own
// python3 carries dbusmock, so that one is used whatever comes first on PATH.
class PrivateBus final {
public:
    PrivateBus() {
        m_daemon.setChildProcessModifier(endWithParent);
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (!m_daemon.waitForStarted(30000) || !m_daemon.waitForReadyRead(30000))
            return;
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        m_name = QStringLiteral("private-%1").arg(reinterpret_cast<quintptr>(this));
        m_connection = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(m_address, m_name));
    }

    ~PrivateBus() {
        for (auto& process : m_mocks) {
            process->terminate();
            process->waitForFinished(10000);
        }
        m_connection.reset();
        QDBusConnection::disconnectFromBus(m_name);
        m_daemon.terminate();
        m_daemon.waitForFinished(10000);
    }

    bool isConnected() const { return m_connection && m_connection->isConnected(); }
    QDBusConnection connection() const { return *m_connection; }
    QString address() const { return m_address; }

    // Starts `python3 -m dbusmock <arguments>` on this bus as the system bus and waits for `busName`.
    bool startMock(const QString& busName, const QStringList& arguments) {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), m_address);
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
        process->setProcessEnvironment(environment);
        process->setChildProcessModifier(endWithParent);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(QStringLiteral("/usr/bin/python3"),
                       QStringList{QStringLiteral("-m"), QStringLiteral("dbusmock")} + arguments);
        if (!process->waitForStarted(30000))
            return false;
        m_mocks.push_back(std::move(process));
        const QDeadlineTimer deadline(60000);
        while (!deadline.hasExpired()) {
            if (m_connection->interface()->isServiceRegistered(busName))
                return true;
            QThread::msleep(50);
        }
        return false;
    }

    // A call that must succeed; returns the reply (an error reply fails the caller's check).
    QDBusMessage call(const QString& service, const QString& path, const QString& interface, const QString& method,
                      const QVariantList& arguments = {}) const {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(arguments);
        return m_connection->call(message, QDBus::Block, 30000);
    }

    // python3-dbusmock's logind on this bus with one active session `id` of a user "editor".
    bool startLogind(const QString& id) {
        if (!startMock(bus::kLogind,
                       {QStringLiteral("--system"), QStringLiteral("--template"), QStringLiteral("logind")}))
            return false;
        return call(bus::kLogind, bus::kLogindPath, bus::kMock, QStringLiteral("AddSession"),
                    {id, QStringLiteral("seat0"), quint32(1000), QStringLiteral("editor"), true})
                   .type() == QDBusMessage::ReplyMessage;
    }

    // Has the mock `service` send a signal from `path`; true when it did.
    bool emitSignal(const QString& service, const QString& path, const QString& interface, const QString& name,
                    const QString& signature, const QVariantList& arguments) const {
        return call(service, path, bus::kMock, QStringLiteral("EmitSignal"),
                    {interface, name, signature, QVariant::fromValue(arguments)})
                   .type() == QDBusMessage::ReplyMessage;
    }

    // Changes properties of a mock object, which announces them with PropertiesChanged.
    bool updateProperties(const QString& service, const QString& path, const QString& interface,
                          const QVariantMap& changed) const {
        return call(service, path, bus::kMock, QStringLiteral("UpdateProperties"), {interface, changed}).type() ==
               QDBusMessage::ReplyMessage;
    }

    // The logind session `path` back to active and unlocked.
    bool resetSession(const QString& path) const {
        return updateProperties(bus::kLogind, path, bus::kSession,
                                {{QStringLiteral("Active"), true}, {QStringLiteral("LockedHint"), false}});
    }

    // The inhibitors logind holds, each as "what|who|why|mode".
    QStringList inhibitors() const {
        const QDBusMessage reply =
            call(bus::kLogind, bus::kLogindPath, bus::kManager, QStringLiteral("ListInhibitors"));
        const QDBusArgument list = reply.arguments().value(0).value<QDBusArgument>();
        QStringList result;
        list.beginArray();
        while (!list.atEnd()) {
            QString what, who, why, mode;
            quint32 uid = 0, pid = 0;
            list.beginStructure();
            list >> what >> who >> why >> mode >> uid >> pid;
            list.endStructure();
            result << QStringList{what, who, why, mode}.join(QLatin1Char('|'));
        }
        list.endArray();
        return result;
    }

private:
    // Peers end with the test even when a crash or a timeout skips the destructor.
    static void endWithParent() { prctl(PR_SET_PDEATHSIG, SIGTERM); }

    QProcess m_daemon;
    QString m_address;
    QString m_name;
    std::unique_ptr<QDBusConnection> m_connection;
    std::vector<std::unique_ptr<QProcess>> m_mocks;
};
