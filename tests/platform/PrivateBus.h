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
#include <list>
#include <memory>

using namespace Qt::StringLiterals;

// The services the system-event suites talk to, as the desktop names them.
namespace bus {
inline const QString kLogind = u"org.freedesktop.login1"_s;
inline const QString kLogindPath = u"/org/freedesktop/login1"_s;
inline const QString kManager = u"org.freedesktop.login1.Manager"_s;
inline const QString kSession = u"org.freedesktop.login1.Session"_s;
inline const QString kScreenSaver = u"org.freedesktop.ScreenSaver"_s;
inline const QString kMock = u"org.freedesktop.DBus.Mock"_s;
} // namespace bus

// A private dbus-daemon with python3-dbusmock peers on it, all stopped with this object.  Debian's own
// python3 carries dbusmock, so that one is used whatever comes first on PATH.
class PrivateBus final {
public:
    PrivateBus() {
        m_daemon.setChildProcessModifier(endWithParent);
        m_daemon.start(u"dbus-daemon"_s, {u"--session"_s, u"--nofork"_s, u"--print-address=1"_s});
        if (!m_daemon.waitForStarted(30000) || !m_daemon.waitForReadyRead(30000))
            return;
        m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
        m_name = u"private-%1"_s.arg(quintptr(this));
        m_connection = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(m_address, m_name));
    }

    ~PrivateBus() {
        for (QProcess& process : m_mocks) {
            process.terminate();
            process.waitForFinished(10000);
        }
        m_connection.reset();
        QDBusConnection::disconnectFromBus(m_name);
        m_daemon.terminate();
        m_daemon.waitForFinished(10000);
    }

    bool isConnected() const { return m_connection && m_connection->isConnected(); }
    QDBusConnection connection() const { return *m_connection; }

    // Starts `python3 -m dbusmock <arguments>` on this bus as the system bus and waits for `busName`.
    bool startMock(const QString& busName, const QStringList& arguments) {
        QProcess& process = m_mocks.emplace_back();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"DBUS_SYSTEM_BUS_ADDRESS"_s, m_address);
        environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, m_address);
        process.setProcessEnvironment(environment);
        process.setChildProcessModifier(endWithParent);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(u"/usr/bin/python3"_s, QStringList{u"-m"_s, u"dbusmock"_s} + arguments);
        if (!process.waitForStarted(30000))
            return false;
        const QDeadlineTimer deadline(60000);
        while (!deadline.hasExpired()) {
            if (m_connection->interface()->isServiceRegistered(busName))
                return true;
            QThread::msleep(50);
        }
        return false;
    }

    // The reply to a blocking call (an error reply fails the caller's check).
    QDBusMessage call(const QString& service, const QString& path, const QString& interface, const QString& method,
                      const QVariantList& arguments = {}) const {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(arguments);
        return m_connection->call(message, QDBus::Block, 30000);
    }
    bool succeeds(const QString& service, const QString& path, const QString& interface, const QString& method,
                  const QVariantList& arguments = {}) const {
        return call(service, path, interface, method, arguments).type() == QDBusMessage::ReplyMessage;
    }

    // python3-dbusmock's logind on this bus with one active session `id` of a user "editor".
    bool startLogind(const QString& id) {
        return startMock(bus::kLogind, {u"--system"_s, u"--template"_s, u"logind"_s}) &&
               succeeds(bus::kLogind, bus::kLogindPath, bus::kMock, u"AddSession"_s,
                        {id, u"seat0"_s, quint32(1000), u"editor"_s, true});
    }

    // Has the mock `service` send a signal with one boolean argument (all the desktop's events here have one).
    bool emitSignal(const QString& service, const QString& path, const QString& interface, const QString& name,
                    bool value) const {
        return succeeds(service, path, bus::kMock, u"EmitSignal"_s,
                        {interface, name, u"b"_s, QVariant::fromValue(QVariantList{value})});
    }

    // Changes properties of a mock object, which announces them with PropertiesChanged.
    bool updateProperties(const QString& service, const QString& path, const QString& interface,
                          const QVariantMap& changed) const {
        return succeeds(service, path, bus::kMock, u"UpdateProperties"_s, {interface, changed});
    }
    bool setSession(const QString& path, const QVariantMap& changed) const {
        return updateProperties(bus::kLogind, path, bus::kSession, changed);
    }
    // The logind session `path` back to active and unlocked.
    bool resetSession(const QString& path) const {
        return setSession(path, {{u"Active"_s, true}, {u"LockedHint"_s, false}});
    }

    // The inhibitors logind holds, each as "what|who|why|mode".
    QStringList inhibitors() const {
        const QDBusMessage reply = call(bus::kLogind, bus::kLogindPath, bus::kManager, u"ListInhibitors"_s);
        const QDBusArgument list = reply.arguments().value(0).value<QDBusArgument>();
        QStringList result;
        list.beginArray();
        while (!list.atEnd()) {
            QString what, who, why, mode;
            quint32 uid = 0, pid = 0;
            list.beginStructure();
            list >> what >> who >> why >> mode >> uid >> pid;
            list.endStructure();
            result << QStringList{what, who, why, mode}.join(u'|');
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
    std::list<QProcess> m_mocks;
};
