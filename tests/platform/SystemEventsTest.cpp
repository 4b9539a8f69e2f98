#include "TrackerRig.h"

#include "platform/common/DBusSystemEvents.h"
#include "platform/common/HostnameInfo.h"

#include <QDBusConnectionInterface>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QProcess>
#include <QSysInfo>
#include <QThread>

#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <list>
#include <string_view>

using namespace Qt::StringLiterals;
using enum SystemEvent;

namespace {

const QString kMock = u"org.freedesktop.DBus.Mock"_s;

// A private dbus-daemon with python3-dbusmock peers on it, all stopped with this object.  Debian's own
// python3 carries dbusmock, so that one is used whatever comes first on PATH.
class PrivateBus final {
public:
    PrivateBus() {
        QProcess& daemon = start(u"dbus-daemon"_s, {u"--session"_s, u"--nofork"_s, u"--print-address=1"_s});
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
        start(u"/usr/bin/python3"_s, QStringList{u"-m"_s, u"dbusmock"_s} + arguments,
              {u"DBUS_SYSTEM_BUS_ADDRESS="_s + m_address, u"DBUS_SESSION_BUS_ADDRESS="_s + m_address});
        const auto up = [&] {
            return m_connection.isConnected() && m_connection.interface()->isServiceRegistered(busName);
        };
        return QTest::qWaitFor(up, 60000);
    }

    // Whether a blocking call to the mock interface has a reply that is no error.
    bool mock(const QString& service, const QString& path, const QString& method, const QVariantList& arguments,
              const QString& interface = kMock) const {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(arguments);
        return m_connection.call(message, QDBus::Block, 30000).type() == QDBusMessage::ReplyMessage;
    }

private:
    // Peers end with the test even when a crash or a timeout skips the destructor.
    QProcess& start(const QString& program, const QStringList& arguments, const QStringList& environment = {}) {
        QProcess& process = m_processes.emplace_back();
        process.setEnvironment(QProcess::systemEnvironment() + environment);
        process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(program, arguments);
        return process;
    }

    std::list<QProcess> m_processes; // the daemon, then its peers
    QString m_address;
    QDBusConnection m_connection{QString()};
};

} // namespace

// The desktop's two buses: python3-dbusmock's logind with one active session of a user "editor" on a
// private "system" bus, a mock screensaver on a private session bus, sending exactly what the real
// services send.
class SystemEventsTest final : public QObject {
    Q_OBJECT

    PrivateBus m_system, m_session;
    const QString m_sessionPath = u"/org/freedesktop/login1/session/c7"_s;
    const QString logind = u"org.freedesktop.login1"_s, logindPath = u"/org/freedesktop/login1"_s;
    const QString saver = u"org.freedesktop.ScreenSaver"_s, saverPath = u"/org/freedesktop/ScreenSaver"_s;
    std::shared_ptr<DBusSystemEvents> m_events;
    QList<SystemEvent> m_seen;

    std::shared_ptr<DBusSystemEvents> makeEvents() {
        return std::make_shared<DBusSystemEvents>(m_system.connection(), m_session.connection());
    }

    // Has the peers send what the desktop sends when `what` happens: sleep, wake, blank, unblank, lock,
    // unlock, switch (the session goes inactive), lockedhint, reset (the session active and unlocked again).
    bool send(std::string_view what) const {
        const auto signal = [](const PrivateBus& bus, const QString& service, const QString& path,
                               const QString& interface, const QString& name, bool value) {
            return bus.mock(service, path, u"EmitSignal"_s,
                            {interface, name, u"b"_s, QVariant::fromValue(QVariantList{value})});
        };
        const QString logindSession = logind + u".Session";
        if (what == "sleep" || what == "wake")
            return signal(m_system, logind, logindPath, logind + u".Manager", u"PrepareForSleep"_s, what == "sleep");
        if (what == "blank" || what == "unblank")
            return signal(m_session, saver, saverPath, saver, u"ActiveChanged"_s, what == "blank");
        if (what == "lock" || what == "unlock")
            return m_system.mock(logind, m_sessionPath, what == "lock" ? u"Lock"_s : u"Unlock"_s, {}, logindSession);
        const QVariantMap changed = what == "switch"       ? QVariantMap{{u"Active"_s, false}}
                                    : what == "lockedhint" ? QVariantMap{{u"LockedHint"_s, true}}
                                                           : QVariantMap{{u"Active"_s, true}, {u"LockedHint"_s, false}};
        return m_system.mock(logind, m_sessionPath, u"UpdateProperties"_s, {logindSession, changed});
    }

    // The inhibitors logind holds, each as "what|who|why|mode", read from the template's own list by a
    // method added to the mock (plain strings instead of ListInhibitors' structures).
    QStringList inhibitors() const {
        const QDBusMessage call = QDBusMessage::createMethodCall(logind, logindPath, kMock, u"Inhibitors"_s);
        return m_system.connection().call(call).arguments().value(0).toStringList();
    }

private Q_SLOTS:
    // The template answers "auto" with a path of that name; here it answers as logind does: the user's
    // display session.  The template knows no GetSessionByPID, which fails as for a process outside any
    // session (under the user's service manager, say).
    void initTestCase() {
        QVERIFY(m_system.startMock(logind, {u"--system"_s, u"--template"_s, u"logind"_s}));
        QVERIFY(m_system.mock(logind, logindPath, u"AddSession"_s,
                              {u"c7"_s, u"seat0"_s, quint32(1000), u"editor"_s, true}));
        const QString session = u"ret = '%1' if args[0] == 'auto' else '/org/freedesktop/login1/session/' + args[0]"_s;
        QVERIFY(m_system.mock(
            logind, logindPath, u"AddMethod"_s,
            {QString(logind + u".Manager"), u"GetSession"_s, u"s"_s, u"o"_s, session.arg(m_sessionPath)}));
        QVERIFY(m_system.mock(logind, logindPath, u"AddMethod"_s,
                              {kMock, u"Inhibitors"_s, QString(), u"as"_s,
                               u"ret = ['|'.join(i[:4]) for i in globals().get('inhibitors', [])]"_s}));
        QVERIFY(m_session.startMock(saver, {saver, saverPath, saver}));
        // The session named by XDG_SESSION_ID, else, as for an agent started by the user's service manager,
        // the one logind picks for "auto".  The events below then show that this session is watched.
        qputenv("XDG_SESSION_ID", "c9");
        QCOMPARE(DBusSystemEvents(m_system.connection()).sessionPath(), u"/org/freedesktop/login1/session/c9"_s);
        qunsetenv("XDG_SESSION_ID");
        m_events = makeEvents();
        QCOMPARE(m_events->sessionPath(), m_sessionPath);
        for (SystemEvent event : {WillSleep, ScreensDidSleep, SessionResignActive, ScreenLocked})
            m_events->observe(event, [this, event] { m_seen << event; });
    }

    void eachChangeIsOneEvent() {
        // In order: wake is ignored, each state change counts once however often it is announced, unlocking
        // is no event, and the sleep sent last marks the end of the sequence.
        for (const char* what : {"wake", "switch", "switch", "lockedhint", "lockedhint", "lock"})
            QVERIFY(send(what));
        QVERIFY(send("unlock") && send("reset") && send("sleep"));
        QTRY_COMPARE_WITH_TIMEOUT(m_seen, (QList{SessionResignActive, ScreenLocked, ScreenLocked, WillSleep}), 30000);

        // The screensaver going off is ignored, coming on is the displays going to sleep.
        m_seen.clear();
        QVERIFY(send("unblank") && send("blank"));
        QTRY_COMPARE_WITH_TIMEOUT(m_seen, QList{ScreensDidSleep}, 30000);
    }

    void sleepInhibitorIsHeldUntilTheLastHandleGoes() {
        auto first = m_events->delaySleep(), second = m_events->delaySleep();
        QVERIFY(first && second == first);
        QCOMPARE(inhibitors(), QStringList{u"sleep|Vantrel|Sending the clock-out to the studio|delay"_s});
        first.reset();
        // The mock drops a closed inhibitor before it answers any later call.
        QCOMPARE(inhibitors().size(), 1);
        second.reset();
        QTRY_COMPARE_WITH_TIMEOUT(inhibitors(), QStringList(), 30000);
    }

    // A system bus without logind and hostnamed: only the screensaver is heard, the host name names the
    // computer.  Then hostnamed comes, with a pretty name and without one.
    void systemBusWithoutTheirServices() {
        PrivateBus system;
        DBusSystemEvents events(system.connection(), m_session.connection());
        QCOMPARE(events.sessionPath(), QString());
        QCOMPARE(events.delaySleep(), nullptr);
        int blanked = 0;
        events.observe(ScreensDidSleep, [&] { ++blanked; });
        QVERIFY(send("blank"));
        QTRY_COMPARE_WITH_TIMEOUT(blanked, 1, 30000);
        QCOMPARE(HostnameInfo(system.connection()).computerName(), QSysInfo::machineHostName());

        const QString service = u"org.freedesktop.hostname1"_s, path = u"/org/freedesktop/hostname1"_s;
        QVERIFY(system.startMock(service, {u"--system"_s, service, path, service}));
        const QString pretty = u"Edit Bay 3 · Ana’s"_s;
        QVERIFY(system.mock(service, path, u"AddProperty"_s,
                            {service, u"PrettyHostname"_s, QVariant::fromValue(QDBusVariant(pretty))}));
        QCOMPARE(HostnameInfo(system.connection()).computerName(), pretty);
        // The empty pretty name most machines have.
        QVERIFY(system.mock(service, path, u"UpdateProperties"_s,
                            {service, QVariantMap{{u"PrettyHostname"_s, QString()}}}));
        QCOMPARE(HostnameInfo(system.connection()).computerName(), QSysInfo::machineHostName());
    }

    // A new default route, IPv6 or IPv4, is a network coming up; the routes of an interface that comes up and
    // other new routes are not.  Seen in a network of this thread's own, left again at the end.
    void defaultRouteIsNetworkUp() {
        const int original = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        QVERIFY(original >= 0);
        if (::unshare(CLONE_NEWNET) != 0) {
            ::close(original);
            QSKIP("a network of its own needs root");
        }
        const auto back = qScopeGuard([original] { ::setns(original, CLONE_NEWNET), ::close(original); });
        DBusSystemEvents events(m_system.connection(), m_session.connection());
        int up = 0;
        events.observe(NetworkUp, [&up] { ++up; });
        const auto ip = [](const QString& arguments) { return QProcess::execute(u"ip"_s, arguments.split(u' ')) == 0; };
        QVERIFY(ip(u"link set lo up"_s) && ip(u"route add 10.1.0.0/16 dev lo"_s));
        // The kernel sent their notices before `ip` had its answer: they are read here.
        QCoreApplication::processEvents();
        QCOMPARE(up, 0);
        QVERIFY(ip(u"-6 route add default dev lo"_s));
        QTRY_COMPARE_WITH_TIMEOUT(up, 1, 30000);
        QVERIFY(ip(u"route add default dev lo"_s));
        QTRY_COMPARE_WITH_TIMEOUT(up, 2, 30000);
    }

    // The tracker with these events and the tracker rig for the rest (HTTPS peer, keychain, fake clocks).
    // A lock while clocked out changes nothing; sleep, a switch to another user and the displays going to
    // sleep while clocked in each end tracking with the reason the user must see, and the clock-out reaches
    // the studio before sleep may go on.  (Lock's own reason is the tracker suites'.)
    void trackerHearsTheEvents_data() {
        QTest::addColumn<QString>("what");
        QTest::newRow("sleep") << u"sleep"_s;
        QTest::newRow("user switch") << u"switch"_s;
        QTest::newRow("displays asleep") << u"blank"_s;
    }
    void trackerHearsTheEvents() {
        QFETCH(QString, what);
        QVERIFY(send("reset"));
        const auto events = makeEvents();
        TrackerRig h({.connected = true, .events = events});
        Tracker& tracker = h.tracker();
        if (what == u"sleep"_s) {
            // Observed after the tracker's own handler: once this has run, the tracker's job is queued.
            int locked = 0;
            events->observe(ScreenLocked, [&locked] { ++locked; });
            const QString clockedOut = tracker.status();
            QVERIFY(send("lock"));
            QTRY_VERIFY_WITH_TIMEOUT(locked > 0, 30000);
            QCoreApplication::sendPostedEvents(); // the clock-out the handler queued runs here
            QVERIFY(tracker.status() == clockedOut && !tracker.busy());
            QVERIFY(send("reset"));
        }

        h.clockIn();
        QCOMPARE(inhibitors().size(), 1);
        h.clock->advance(5.0);
        QVERIFY(send(what.toStdString()));
        QTRY_VERIFY_WITH_TIMEOUT(!tracker.active() && !tracker.busy(), 30000);
        QVERIFY2(tracker.status().startsWith(u"Computer locked, sleeping, or user switched. Clock in to resume."_s),
                 qPrintable(tracker.status()));
        QCOMPARE(h.stops().size(), 1);                            // the clock-out reached the studio...
        QTRY_COMPARE_WITH_TIMEOUT(inhibitors().size(), 0, 30000); // ...and sleep may go on
        QVERIFY(send("reset"));
    }
};

QTEST_GUILESS_MAIN(SystemEventsTest)
#include "SystemEventsTest.moc"
