#include "PrivateBus.h"

#include "platform/common/HostnameInfo.h"

#include <QDBusVariant>
#include <QSysInfo>
#include <QTest>

// Events come from python3-dbusmock's logind on a private "system" bus and a mock screensaver on a private
// session bus, exactly as the real services send them.
class SystemEventsTest final : public QObject {
    Q_OBJECT

    DesktopBuses m_buses;
    std::shared_ptr<DBusSystemEvents> m_events;
    QList<SystemEvent> m_seen;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_buses.start("c7"));
        // The session named by XDG_SESSION_ID, else, as for an agent started by the user's service manager,
        // the one logind picks for "auto".  The events below then show that this session is watched.
        qputenv("XDG_SESSION_ID", "c9");
        QCOMPARE(DBusSystemEvents(m_buses.system.connection()).sessionPath(), u"/org/freedesktop/login1/session/c9"_s);
        qunsetenv("XDG_SESSION_ID");
        m_events = std::make_shared<DBusSystemEvents>(m_buses.system.connection(), m_buses.session.connection());
        QCOMPARE(m_events->sessionPath(), m_buses.sessionPath);
        for (SystemEvent event : {WillSleep, ScreensDidSleep, SessionResignActive, ScreenLocked})
            m_events->observe(event, [this, event] { m_seen << event; });
    }

    void eachChangeIsOneEvent() {
        // In order: wake is ignored, each state change counts once however often it is announced, unlocking
        // is no event, and the sleep sent last marks the end of the sequence.
        for (const char* what : {"wake", "switch", "switch", "lockedhint", "lockedhint", "lock"})
            QVERIFY(m_buses.send(what));
        m_buses.send("unlock");
        QVERIFY(m_buses.send("reset") && m_buses.send("sleep"));
        QTRY_COMPARE_WITH_TIMEOUT(m_seen, (QList{SessionResignActive, ScreenLocked, ScreenLocked, WillSleep}), 30000);

        // The screensaver going off is ignored, coming on is the displays going to sleep.
        m_seen.clear();
        QVERIFY(m_buses.send("unblank") && m_buses.send("blank"));
        QTRY_COMPARE_WITH_TIMEOUT(m_seen, QList{ScreensDidSleep}, 30000);
    }

    void sleepInhibitorIsHeldUntilTheLastHandleGoes() {
        auto first = m_events->delaySleep(), second = m_events->delaySleep();
        QVERIFY(first && second == first);
        QCOMPARE(m_buses.inhibitors(), QStringList{u"sleep|Vantrel|Sending the clock-out to the studio|delay"_s});
        first.reset();
        QTest::qWait(200);
        QCOMPARE(m_buses.inhibitors().size(), 1);
        second.reset();
        QTRY_COMPARE_WITH_TIMEOUT(m_buses.inhibitors(), QStringList(), 30000);
    }

    // A system bus without logind and hostnamed: only the screensaver is heard, the host name names the
    // computer.  Then hostnamed comes, with a pretty name and without one.
    void systemBusWithoutTheirServices() {
        PrivateBus system;
        DBusSystemEvents events(system.connection(), m_buses.session.connection());
        QCOMPARE(events.sessionPath(), QString());
        QCOMPARE(events.delaySleep(), nullptr);
        int blanked = 0;
        events.observe(ScreensDidSleep, [&] { ++blanked; });
        QVERIFY(m_buses.send("blank"));
        QTRY_COMPARE_WITH_TIMEOUT(blanked, 1, 30000);
        QCOMPARE(HostnameInfo(system.connection()).computerName(), QSysInfo::machineHostName());

        const QString service = u"org.freedesktop.hostname1"_s, path = u"/org/freedesktop/hostname1"_s;
        QVERIFY(system.startMock(service, {u"--system"_s, service, path, service}));
        const QString pretty = u"Edit Bay 3 · Ana’s"_s;
        QVERIFY(system.succeeds(service, path, PrivateBus::kMock, u"AddProperty"_s,
                                {service, u"PrettyHostname"_s, QVariant::fromValue(QDBusVariant(pretty))}));
        QCOMPARE(HostnameInfo(system.connection()).computerName(), pretty);
        // The empty pretty name most machines have.
        QVERIFY(system.succeeds(service, path, PrivateBus::kMock, u"UpdateProperties"_s,
                                {service, QVariantMap{{u"PrettyHostname"_s, QString()}}}));
        QCOMPARE(HostnameInfo(system.connection()).computerName(), QSysInfo::machineHostName());
    }
};

QTEST_GUILESS_MAIN(SystemEventsTest)
#include "SystemEventsTest.moc"
