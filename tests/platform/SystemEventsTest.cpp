#include "PrivateBus.h"

#include "platform/linux/DBusSystemEvents.h"
#include "platform/linux/HostnameInfo.h"

#include <QDBusVariant>
#include <QSysInfo>
#include <QTest>

using namespace bus;

namespace {
const QString kSessionPath = u"/org/freedesktop/login1/session/c7"_s;
const QString kSaverPath = u"/org/freedesktop/ScreenSaver"_s;
} // namespace

// Events come from python3-dbusmock's logind on a private "system" bus and a mock screensaver on a private
// session bus, exactly as the real services send them.
class SystemEventsTest final : public QObject {
    Q_OBJECT

    PrivateBus m_system;
    PrivateBus m_session;
    std::unique_ptr<DBusSystemEvents> m_events;
    QList<SystemEvent> m_seen;

    bool blankScreens() const {
        return m_session.emitSignal(kScreenSaver, kSaverPath, kScreenSaver, u"ActiveChanged"_s, true);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_system.isConnected() && m_session.isConnected());
        QVERIFY(m_system.startLogind(u"c7"_s));
        QVERIFY(m_session.startMock(kScreenSaver, {kScreenSaver, kSaverPath, kScreenSaver}));
        qputenv("XDG_SESSION_ID", "c7");
        m_events = std::make_unique<DBusSystemEvents>(m_system.connection(), m_session.connection());
        QCOMPARE(m_events->sessionPath(), kSessionPath);
        for (SystemEvent event : {SystemEvent::WillSleep, SystemEvent::ScreensDidSleep,
                                  SystemEvent::SessionResignActive, SystemEvent::ScreenLocked})
            m_events->observe(event, [this, event] { m_seen << event; });
    }

    void cleanupTestCase() { m_events.reset(); }

    void eachChangeIsOneEvent() {
        // On the system bus, in order: wake is ignored, each state change counts once however often it is
        // announced, and the sleep sent last marks the end of the sequence.
        QVERIFY(m_system.emitSignal(kLogind, kLogindPath, kManager, u"PrepareForSleep"_s, false));
        for (const QString& property : {u"Active"_s, u"Active"_s, u"LockedHint"_s, u"LockedHint"_s})
            QVERIFY(m_system.setSession(kSessionPath, {{property, property == u"LockedHint"}}));
        QVERIFY(m_system.succeeds(kLogind, kSessionPath, kSession, u"Lock"_s));
        m_system.call(kLogind, kSessionPath, kSession, u"Unlock"_s);
        QVERIFY(m_system.resetSession(kSessionPath));
        QVERIFY(m_system.emitSignal(kLogind, kLogindPath, kManager, u"PrepareForSleep"_s, true));
        const QList<SystemEvent> expected{SystemEvent::SessionResignActive, SystemEvent::ScreenLocked,
                                          SystemEvent::ScreenLocked, SystemEvent::WillSleep};
        QTRY_COMPARE_WITH_TIMEOUT(m_seen, expected, 30000);

        // On the session bus: the screensaver going off is ignored, coming on is the displays going to sleep.
        m_seen.clear();
        QVERIFY(m_session.emitSignal(kScreenSaver, kSaverPath, kScreenSaver, u"ActiveChanged"_s, false));
        QVERIFY(blankScreens());
        QTRY_COMPARE_WITH_TIMEOUT(m_seen, QList<SystemEvent>{SystemEvent::ScreensDidSleep}, 30000);
    }

    void sleepInhibitorIsHeldUntilTheLastHandleGoes() {
        QCOMPARE(m_system.inhibitors(), QStringList());
        auto first = m_events->delaySleep();
        QVERIFY(first);
        auto second = m_events->delaySleep();
        QCOMPARE(second, first);
        QCOMPARE(m_system.inhibitors(), QStringList{u"sleep|Vantrel|Sending the clock-out to the studio|delay"_s});
        first.reset();
        QTest::qWait(200);
        QCOMPARE(m_system.inhibitors().size(), 1);
        second.reset();
        QTRY_COMPARE_WITH_TIMEOUT(m_system.inhibitors(), QStringList(), 30000);
        // A fresh clock-in takes a fresh inhibitor.
        auto again = m_events->delaySleep();
        QVERIFY(again);
        QCOMPARE(m_system.inhibitors().size(), 1);
    }

    void withoutLogindOnlyTheScreenSaverIsHeard() {
        PrivateBus emptySystem;
        QVERIFY(emptySystem.isConnected());
        DBusSystemEvents events(emptySystem.connection(), m_session.connection());
        QCOMPARE(events.sessionPath(), QString());
        QCOMPARE(events.delaySleep(), nullptr);
        int blanked = 0;
        events.observe(SystemEvent::ScreensDidSleep, [&] { ++blanked; });
        QVERIFY(blankScreens());
        QTRY_COMPARE_WITH_TIMEOUT(blanked, 1, 30000);
    }

    void computerNameFromHostnamed() {
        PrivateBus system;
        QVERIFY(system.isConnected());
        QCOMPARE(HostnameInfo(system.connection()).computerName(), QSysInfo::machineHostName());
        const QString service = u"org.freedesktop.hostname1"_s;
        const QString path = u"/org/freedesktop/hostname1"_s;
        QVERIFY(system.startMock(service, {u"--system"_s, service, path, service}));
        const QString pretty = u"Edit Bay 3 · Ana’s"_s;
        QVERIFY(system.succeeds(service, path, kMock, u"AddProperty"_s,
                                {service, u"PrettyHostname"_s, QVariant::fromValue(QDBusVariant(pretty))}));
        QCOMPARE(HostnameInfo(system.connection()).computerName(), pretty);
        // An empty pretty name falls back to the host name.
        QVERIFY(system.updateProperties(service, path, service, {{u"PrettyHostname"_s, QString()}}));
        QCOMPARE(HostnameInfo(system.connection()).computerName(), QSysInfo::machineHostName());
    }
};

QTEST_GUILESS_MAIN(SystemEventsTest)
#include "SystemEventsTest.moc"
