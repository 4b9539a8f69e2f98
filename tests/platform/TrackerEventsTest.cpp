#include "Harness.h"
#include "PrivateBus.h"

#include "platform/linux/DBusSystemEvents.h"
#include "platform/linux/SecretServiceStore.h"
#include "platform/linux/SettingsDefaults.h"
#include "platform/linux/TurboJpegEncoder.h"

#include <QTest>

#include <qcoro/qcorotask.h>

// The tracker with the real D-Bus system events: python3-dbusmock's logind and a mock screensaver on
// private buses send what the desktop sends, and tracking ends with the reason the user must see.  The rest
// of the tracker's world is the tracker suites' harness (HTTPS peer, keychain, fake clocks).
class TrackerEventsTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void eventEndsTrackingWithItsReason_data();
    void eventEndsTrackingWithItsReason();
    void lockWhileClockedOutChangesNothing();

private:
    std::unique_ptr<Tracker> makeTracker(Harness& harness, const std::shared_ptr<DBusSystemEvents>& events);
    void send(const QString& what);

    std::unique_ptr<PrivateBus> m_system;
    std::unique_ptr<PrivateBus> m_session;
    QTemporaryDir m_dir;
};

using namespace bus;

namespace {

const QString kSessionPath = QStringLiteral("/org/freedesktop/login1/session/t1");
const QString kSleepOrSwitch = QStringLiteral("Mac locked, sleeping, or user switched. Clock in to resume.");
const QString kLocked = QStringLiteral("Mac locked. Clock in to resume.");

} // namespace

void TrackerEventsTest::initTestCase() {
    m_system = std::make_unique<PrivateBus>();
    m_session = std::make_unique<PrivateBus>();
    QVERIFY(m_system->isConnected() && m_session->isConnected());
    QVERIFY(m_system->startLogind(QStringLiteral("t1")));
    QVERIFY(m_session->startMock(kScreenSaver, {kScreenSaver, QStringLiteral("/ScreenSaver"), kScreenSaver}));
    qputenv("XDG_SESSION_ID", "t1");
}

void TrackerEventsTest::cleanupTestCase() {
    m_session.reset();
    m_system.reset();
}

std::unique_ptr<Tracker> TrackerEventsTest::makeTracker(Harness& harness,
                                                        const std::shared_ptr<DBusSystemEvents>& events) {
    Platform platform;
    platform.clock = harness.clock;
    platform.defaults = std::make_shared<SettingsDefaults>(m_dir.filePath(QUuid::createUuid().toString() + u".ini"));
    platform.secrets = std::make_shared<SecretServiceStore>();
    platform.host = harness.host;
    platform.mouse = harness.mouse;
    platform.frontmost = harness.frontmost;
    platform.capture = harness.capture;
    platform.jpeg = std::make_shared<TurboJpegEncoder>();
    platform.timers = harness.timers;
    platform.systemEvents = events;
    return std::make_unique<Tracker>(platform, harness.server(), harness.peer().transport());
}

void TrackerEventsTest::send(const QString& what) {
    if (what == QLatin1String("sleep")) {
        QVERIFY(m_system->emitSignal(kLogind, kLogindPath, kManager, QStringLiteral("PrepareForSleep"),
                                     QStringLiteral("b"), {true}));
    } else if (what == QLatin1String("switch")) {
        QVERIFY(m_system->updateProperties(kLogind, kSessionPath, kSession, {{QStringLiteral("Active"), false}}));
    } else if (what == QLatin1String("blank")) {
        QVERIFY(m_session->emitSignal(kScreenSaver, QStringLiteral("/ScreenSaver"), kScreenSaver,
                                      QStringLiteral("ActiveChanged"), QStringLiteral("b"), {true}));
    } else if (what == QLatin1String("lock")) {
        QCOMPARE(m_system->call(kLogind, kSessionPath, kSession, QStringLiteral("Lock")).type(),
                 QDBusMessage::ReplyMessage);
    } else {
        QVERIFY(m_system->updateProperties(kLogind, kSessionPath, kSession, {{QStringLiteral("LockedHint"), true}}));
    }
}

void TrackerEventsTest::eventEndsTrackingWithItsReason_data() {
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("reason");
    QTest::newRow("sleep") << QStringLiteral("sleep") << kSleepOrSwitch;
    QTest::newRow("user switched") << QStringLiteral("switch") << kSleepOrSwitch;
    QTest::newRow("screen blanked") << QStringLiteral("blank") << kSleepOrSwitch;
    QTest::newRow("lock signal") << QStringLiteral("lock") << kLocked;
    QTest::newRow("locked hint") << QStringLiteral("lockedhint") << kLocked;
}

void TrackerEventsTest::eventEndsTrackingWithItsReason() {
    QFETCH(QString, what);
    QFETCH(QString, reason);
    // Each row starts from an active, unlocked session.
    QVERIFY(m_system->resetSession(kSessionPath));
    Harness harness;
    harness.storeToken();
    auto events = std::make_shared<DBusSystemEvents>(m_system->connection(), m_session->connection());
    auto tracker = makeTracker(harness, events);
    QCoro::waitFor(tracker->connect());
    QCOMPARE(tracker->status(), QStringLiteral("Connected. Clocked out; tracking is off."));
    QCOMPARE(m_system->inhibitors().size(), 0);

    QCoro::waitFor(tracker->start());
    QVERIFY(tracker->active());
    harness.clock->advance(1.0);
    QTRY_COMPARE_WITH_TIMEOUT(tracker->captureStatus(), QStringLiteral("Screenshot uploaded."), 30000);
    QCOMPARE(m_system->inhibitors().size(), 1); // sleep waits for the clock-out while clocked in

    harness.clock->advance(5.0);
    send(what);
    QTRY_VERIFY_WITH_TIMEOUT(!tracker->active(), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(!tracker->busy(), 30000);
    QVERIFY2(tracker->status().startsWith(reason), qPrintable(tracker->status()));
    QCOMPARE(tracker->captureStatus(), QStringLiteral("Screenshots are off."));
    QCOMPARE(harness.stops().size(), 1);                                // the clock-out reached the studio...
    QTRY_COMPARE_WITH_TIMEOUT(m_system->inhibitors().size(), 0, 30000); // ...and sleep may go on
}

void TrackerEventsTest::lockWhileClockedOutChangesNothing() {
    QVERIFY(m_system->resetSession(kSessionPath));
    Harness harness;
    harness.storeToken();
    auto events = std::make_shared<DBusSystemEvents>(m_system->connection(), m_session->connection());
    auto tracker = makeTracker(harness, events);
    // Observed after the tracker's own handler: once this one has run, the tracker's has too.
    int heard = 0;
    events->observe(SystemEvent::ScreenLocked, [&heard] { ++heard; });
    QCoro::waitFor(tracker->connect());
    const QString before = tracker->status();

    send(QStringLiteral("lock"));
    QTRY_COMPARE_WITH_TIMEOUT(heard, 1, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(!tracker->busy(), 30000);
    QTest::qWait(100); // the clock-out the handler queued has run
    QCOMPARE(tracker->status(), before);
    QVERIFY(!tracker->active());
    QCOMPARE(harness.stops().size(), 0);
    QCOMPARE(m_system->inhibitors().size(), 0);
}

QTEST_GUILESS_MAIN(TrackerEventsTest)
#include "TrackerEventsTest.moc"
