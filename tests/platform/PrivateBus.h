#pragma once

#include "platform/common/DBusSystemEvents.h"

#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>

#include <sys/prctl.h>

#include <csignal>
#include <list>
#include <string_view>

using namespace Qt::StringLiterals;
using enum SystemEvent;

// A private dbus-daemon with python3-dbusmock peers on it, all stopped with this object.  Debian's own
// python3 carries dbusmock, so that one is used whatever comes first on PATH.
class PrivateBus final {
public:
    static inline const QString kMock = u"org.freedesktop.DBus.Mock"_s;

    PrivateBus() {
        QProcess& daemon = m_processes.emplace_back();
        daemon.setChildProcessModifier(endWithParent);
        daemon.start(u"dbus-daemon"_s, {u"--session"_s, u"--nofork"_s, u"--print-address=1"_s});
        if (!daemon.waitForReadyRead(30000))
            return;
        m_address = QString::fromUtf8(daemon.readLine()).trimmed();
        m_connection = QDBusConnection::connectToBus(m_address, m_address);
    }

    ~PrivateBus() {
        QDBusConnection::disconnectFromBus(m_address);
        for (QProcess& process : m_processes)
            process.terminate(), process.waitForFinished(10000);
    }

    QDBusConnection connection() const { return m_connection; }

    // Starts `python3 -m dbusmock <arguments>` on this bus, which is also its system bus, and waits for
    // `busName` to appear.
    bool startMock(const QString& busName, const QStringList& arguments) {
        QProcess& process = m_processes.emplace_back();
        process.setEnvironment(QProcess::systemEnvironment() << u"DBUS_SYSTEM_BUS_ADDRESS="_s + m_address
                                                             << u"DBUS_SESSION_BUS_ADDRESS="_s + m_address);
        process.setChildProcessModifier(endWithParent);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(u"/usr/bin/python3"_s, QStringList{u"-m"_s, u"dbusmock"_s} + arguments);
        for (QDeadlineTimer deadline(60000); m_connection.isConnected() && !deadline.hasExpired(); QThread::msleep(50))
            if (m_connection.interface()->isServiceRegistered(busName))
                return true;
        return false;
    }

    // Whether a blocking call has a reply that is no error.
    bool succeeds(const QString& service, const QString& path, const QString& interface, const QString& method,
                  const QVariantList& arguments = {}) const {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(arguments);
        return m_connection.call(message, QDBus::Block, 30000).type() == QDBusMessage::ReplyMessage;
    }

private:
    // Peers end with the test even when a crash or a timeout skips the destructor.
    static void endWithParent() { prctl(PR_SET_PDEATHSIG, SIGTERM); }

    std::list<QProcess> m_processes; // the daemon, then its peers
    QString m_address;
    QDBusConnection m_connection{QString()};
};

// The desktop's two buses: python3-dbusmock's logind with one active session of a user "editor" on a
// private "system" bus, a mock screensaver on a private session bus, and events that listen to both.
struct DesktopBuses {
    PrivateBus system, session;
    QString sessionPath;
    const QString logind = u"org.freedesktop.login1"_s, logindPath = u"/org/freedesktop/login1"_s;
    const QString saver = u"org.freedesktop.ScreenSaver"_s, saverPath = u"/org/freedesktop/ScreenSaver"_s;

    // The template answers "auto" with a path of that name; here it answers as logind does: the user's
    // display session.  The template knows no GetSessionByPID, which fails as for a process outside any
    // session (under the user's service manager, say).
    bool start(const char* id) {
        qputenv("XDG_SESSION_ID", id);
        sessionPath = u"/org/freedesktop/login1/session/"_s + QLatin1String(id);
        return system.startMock(logind, {u"--system"_s, u"--template"_s, u"logind"_s}) &&
               system.succeeds(logind, logindPath, PrivateBus::kMock, u"AddSession"_s,
                               {QLatin1String(id), u"seat0"_s, quint32(1000), u"editor"_s, true}) &&
               system.succeeds(
                   logind, logindPath, PrivateBus::kMock, u"AddMethod"_s,
                   {QString(logind + u".Manager"), u"GetSession"_s, u"s"_s, u"o"_s,
                    u"ret = '%1' if args[0] == 'auto' else '/org/freedesktop/login1/session/' + args[0]"_s.arg(
                        sessionPath)}) &&
               system.succeeds(logind, logindPath, PrivateBus::kMock, u"AddMethod"_s,
                               {PrivateBus::kMock, u"Inhibitors"_s, QString(), u"as"_s,
                                u"ret = ['|'.join(i[:4]) for i in globals().get('inhibitors', [])]"_s}) &&
               session.startMock(saver, {saver, saverPath, saver});
    }

    // Has the peers send what the desktop sends when `what` happens: sleep, wake, blank, unblank, lock,
    // unlock, switch (the session goes inactive), lockedhint, reset (the session active and unlocked again).
    bool send(std::string_view what) const {
        const auto signal = [](const PrivateBus& bus, const QString& service, const QString& path,
                               const QString& interface, const QString& name, bool value) {
            return bus.succeeds(service, path, PrivateBus::kMock, u"EmitSignal"_s,
                                {interface, name, u"b"_s, QVariant::fromValue(QVariantList{value})});
        };
        const QString logindSession = logind + u".Session";
        if (what == "sleep" || what == "wake")
            return signal(system, logind, logindPath, logind + u".Manager", u"PrepareForSleep"_s, what == "sleep");
        if (what == "blank" || what == "unblank")
            return signal(session, saver, saverPath, saver, u"ActiveChanged"_s, what == "blank");
        if (what == "lock" || what == "unlock")
            return system.succeeds(logind, sessionPath, logindSession, what == "lock" ? u"Lock"_s : u"Unlock"_s);
        const QVariantMap changed = what == "switch"       ? QVariantMap{{u"Active"_s, false}}
                                    : what == "lockedhint" ? QVariantMap{{u"LockedHint"_s, true}}
                                                           : QVariantMap{{u"Active"_s, true}, {u"LockedHint"_s, false}};
        return system.succeeds(logind, sessionPath, PrivateBus::kMock, u"UpdateProperties"_s, {logindSession, changed});
    }

    // The inhibitors logind holds, each as "what|who|why|mode", read from the template's own list by a
    // method added to the mock (plain strings instead of ListInhibitors' structures).
    QStringList inhibitors() const {
        const QDBusMessage call =
            QDBusMessage::createMethodCall(logind, logindPath, PrivateBus::kMock, u"Inhibitors"_s);
        return system.connection().call(call).arguments().value(0).toStringList();
    }
};
