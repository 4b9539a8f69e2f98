#include "PrivateBus.h"

#include "platform/linux/DBusSystemEvents.h"
#include "platform/linux/HostnameInfo.h"

#include <QDBusMetaType>
#include <QDBusVariant>
#include <QSysInfo>
#include <QTest>

using namespace bus;

namespace {

const QString kSessionPath = QStringLiteral("/org/freedesktop/login1/session/c7");

QVariant dbusVariant(const QVariant& value) {
    return QVariant::fromValue(QDBusVariant(value));
}

} // namespace

// Events come from python3-dbusmock's logind on a private "system" bus and a mock screensaver on a private
// session bus, exactly as the real services send them.
class SystemEventsTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void eachChangeIsOneEvent();
    void sleepInhibitorIsHeldUntilTheLastHandleGoes();
    void withoutLogindOnlyTheScreenSaverIsHeard();
    void computerNameFromHostnamed();

private:
    void emitOn(PrivateBus& bus, const QString& path, const QString& interface, const QString& name,
                const QString& signature, const QVariantList& arguments);

    std::unique_ptr<PrivateBus> m_system;
    std::unique_ptr<PrivateBus> m_session;
    std::unique_ptr<DBusSystemEvents> m_events;
    QList<SystemEvent> m_seen;
};

void SystemEventsTest::initTestCase() {
    m_system = std::make_unique<PrivateBus>();
    m_session = std::make_unique<PrivateBus>();
    QVERIFY(m_system->isConnected() && m_session->isConnected());
    QVERIFY(m_system->startLogind(QStringLiteral("c7")));
    QVERIFY(m_session->startMock(kScreenSaver,
                                 {kScreenSaver, QStringLiteral("/org/freedesktop/ScreenSaver"), kScreenSaver}));

    qputenv("XDG_SESSION_ID", "c7");
    m_events = std::make_unique<DBusSystemEvents>(m_system->connection(), m_session->connection());
    QCOMPARE(m_events->sessionPath(), kSessionPath);
    for (SystemEvent event : {SystemEvent::WillSleep, SystemEvent::ScreensDidSleep, SystemEvent::SessionResignActive,
                              SystemEvent::ScreenLocked})
        m_events->observe(event, [this, event] { m_seen << event; });
}

void SystemEventsTest::cleanupTestCase() {
    m_events.reset();
    m_session.reset();
    m_system.reset();
}

void SystemEventsTest::emitOn(PrivateBus& bus, const QString& path, const QString& interface, const QString& name,
                              const QString& signature, const QVariantList& arguments) {
    // Each mock's bus name: logind on the system bus, the screensaver on the session bus.
    const QString service = &bus == m_system.get() ? kLogind : kScreenSaver;
    QVERIFY(bus.emitSignal(service, path, interface, name, signature, arguments));
}

void SystemEventsTest::eachChangeIsOneEvent() {
    m_seen.clear();
    const auto setSession = [this](const QString& property, bool value) {
        QVERIFY(m_system->updateProperties(kLogind, kSessionPath, kSession, {{property, value}}));
    };
    // On the system bus, in order: wake is ignored, each state change counts once however often it is
    // announced, and the sleep sent last marks the end of the sequence.
    emitOn(*m_system, kLogindPath, kManager, QStringLiteral("PrepareForSleep"), QStringLiteral("b"), {false});
    setSession(QStringLiteral("Active"), false);
    setSession(QStringLiteral("Active"), false);
    setSession(QStringLiteral("LockedHint"), true);
    setSession(QStringLiteral("LockedHint"), true);
    QCOMPARE(m_system->call(kLogind, kSessionPath, kSession, QStringLiteral("Lock")).type(),
             QDBusMessage::ReplyMessage);
    m_system->call(kLogind, kSessionPath, kSession, QStringLiteral("Unlock"));
    QVERIFY(m_system->resetSession(kSessionPath));
    emitOn(*m_system, kLogindPath, kManager, QStringLiteral("PrepareForSleep"), QStringLiteral("b"), {true});
    const QList<SystemEvent> expected{SystemEvent::SessionResignActive, SystemEvent::ScreenLocked,
                                      SystemEvent::ScreenLocked, SystemEvent::WillSleep};
    QTRY_COMPARE_WITH_TIMEOUT(m_seen, expected, 30000);

    // On the session bus: the screensaver going off is ignored, coming on is the displays going to sleep.
    m_seen.clear();
    for (bool active : {false, true})
        emitOn(*m_session, QStringLiteral("/org/freedesktop/ScreenSaver"), kScreenSaver,
               QStringLiteral("ActiveChanged"), QStringLiteral("b"), {active});
    QTRY_COMPARE_WITH_TIMEOUT(m_seen, QList<SystemEvent>{SystemEvent::ScreensDidSleep}, 30000);
}

void SystemEventsTest::sleepInhibitorIsHeldUntilTheLastHandleGoes() {
    QCOMPARE(m_system->inhibitors(), QStringList());
    auto first = m_events->delaySleep();
    QVERIFY(first);
    auto second = m_events->delaySleep();
    QCOMPARE(second, first);
    QCOMPARE(m_system->inhibitors(),
             QStringList{QStringLiteral("sleep|Vantrel|Sending the clock-out to the studio|delay")});
    first.reset();
    QTest::qWait(200);
    QCOMPARE(m_system->inhibitors().size(), 1);
    second.reset();
    QTRY_COMPARE_WITH_TIMEOUT(m_system->inhibitors(), QStringList(), 30000);
    // A fresh clock-in takes a fresh inhibitor.
    auto again = m_events->delaySleep();
    QVERIFY(again);
    QCOMPARE(m_system->inhibitors().size(), 1);
}

void SystemEventsTest::withoutLogindOnlyTheScreenSaverIsHeard() {
    PrivateBus emptySystem;
    QVERIFY(emptySystem.isConnected());
    DBusSystemEvents events(emptySystem.connection(), m_session->connection());
    QCOMPARE(events.sessionPath(), QString());
    QCOMPARE(events.delaySleep(), nullptr);
    int blanked = 0;
    events.observe(SystemEvent::ScreensDidSleep, [&] { ++blanked; });
    emitOn(*m_session, QStringLiteral("/org/freedesktop/ScreenSaver"), kScreenSaver, QStringLiteral("ActiveChanged"),
           QStringLiteral("b"), {true});
    QTRY_COMPARE_WITH_TIMEOUT(blanked, 1, 30000);
}

void SystemEventsTest::computerNameFromHostnamed() {
    PrivateBus system;
    QVERIFY(system.isConnected());
    QCOMPARE(HostnameInfo(system.connection()).computerName(), QSysInfo::machineHostName());
    const QString service = QStringLiteral("org.freedesktop.hostname1");
    const QString path = QStringLiteral("/org/freedesktop/hostname1");
    QVERIFY(system.startMock(service, {QStringLiteral("--system"), service, path, service}));
    const auto setPretty = [&](const QString& name) {
        const QDBusMessage reply = system.call(service, path, kMock, QStringLiteral("AddProperty"),
                                               {service, QStringLiteral("PrettyHostname"), dbusVariant(name)});
        QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
    };
    setPretty(QStringLiteral("Edit Bay 3 · Ana’s"));
    QCOMPARE(HostnameInfo(system.connection()).computerName(), QStringLiteral("Edit Bay 3 · Ana’s"));
    // An empty pretty name falls back to the host name.
    QVERIFY(system.updateProperties(service, path, service, {{QStringLiteral("PrettyHostname"), QString()}}));
    QCOMPARE(HostnameInfo(system.connection()).computerName(), QSysInfo::machineHostName());
}

QTEST_GUILESS_MAIN(SystemEventsTest)
#include "SystemEventsTest.moc"
