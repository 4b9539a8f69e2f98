#include "Harness.h"
#include "PrivateBus.h"

#include "platform/linux/DBusSystemEvents.h"
#include "platform/linux/SecretServiceStore.h"
#include "platform/linux/SettingsDefaults.h"
#include "platform/linux/TurboJpegEncoder.h"

#include <QTest>

#include <qcoro/qcorotask.h>

using namespace bus;

namespace {
const QString kSessionPath = u"/org/freedesktop/login1/session/t1"_s;
const QString kSleepOrSwitch = u"Mac locked, sleeping, or user switched. Clock in to resume."_s;
const QString kLocked = u"Mac locked. Clock in to resume."_s;
} // namespace

// The tracker with the real D-Bus system events: python3-dbusmock's logind and a mock screensaver on
// private buses send what the desktop sends, and tracking ends with the reason the user must see.  The rest
// of the tracker's world is the tracker suites' harness (HTTPS peer, keychain, fake clocks).
class TrackerEventsTest final : public QObject {
    Q_OBJECT

    PrivateBus m_system;
    PrivateBus m_session;
    QTemporaryDir m_dir;
    std::shared_ptr<DBusSystemEvents> m_events;

    // A connected tracker on the harness's peer and fakes, but with the real system events.
    std::unique_ptr<Tracker> connectedTracker(Harness& harness) {
        harness.storeToken();
        m_events = std::make_shared<DBusSystemEvents>(m_system.connection(), m_session.connection());
        auto defaults = std::make_shared<SettingsDefaults>(m_dir.filePath(QUuid::createUuid().toString() + u".ini"));
        const Platform platform{
            harness.clock,     defaults,        std::make_shared<SecretServiceStore>(), harness.host,   harness.mouse,
            harness.frontmost, harness.capture, std::make_shared<TurboJpegEncoder>(),   harness.timers, m_events};
        auto tracker = std::make_unique<Tracker>(platform, harness.server(), harness.peer().transport());
        QCoro::waitFor(tracker->connect());
        return tracker;
    }

    void send(const QString& what) {
        if (what == u"sleep")
            QVERIFY(m_system.emitSignal(kLogind, kLogindPath, kManager, u"PrepareForSleep"_s, true));
        else if (what == u"switch")
            QVERIFY(m_system.setSession(kSessionPath, {{u"Active"_s, false}}));
        else if (what == u"blank")
            QVERIFY(m_session.emitSignal(kScreenSaver, u"/ScreenSaver"_s, kScreenSaver, u"ActiveChanged"_s, true));
        else if (what == u"lock")
            QVERIFY(m_system.succeeds(kLogind, kSessionPath, kSession, u"Lock"_s));
        else
            QVERIFY(m_system.setSession(kSessionPath, {{u"LockedHint"_s, true}}));
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_system.isConnected() && m_session.isConnected());
        QVERIFY(m_system.startLogind(u"t1"_s));
        QVERIFY(m_session.startMock(kScreenSaver, {kScreenSaver, u"/ScreenSaver"_s, kScreenSaver}));
        qputenv("XDG_SESSION_ID", "t1");
    }
    // Each case starts from an active, unlocked session, and its handlers go with it.
    void init() { QVERIFY(m_system.resetSession(kSessionPath)); }
    void cleanup() { m_events.reset(); }

    void eventEndsTrackingWithItsReason_data() {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("reason");
        QTest::newRow("sleep") << u"sleep"_s << kSleepOrSwitch;
        QTest::newRow("user switched") << u"switch"_s << kSleepOrSwitch;
        QTest::newRow("screen blanked") << u"blank"_s << kSleepOrSwitch;
        QTest::newRow("lock signal") << u"lock"_s << kLocked;
        QTest::newRow("locked hint") << u"lockedhint"_s << kLocked;
    }

    void eventEndsTrackingWithItsReason() {
        QFETCH(QString, what);
        QFETCH(QString, reason);
        Harness harness;
        auto tracker = connectedTracker(harness);
        QCOMPARE(tracker->status(), u"Connected. Clocked out; tracking is off."_s);
        QCOMPARE(m_system.inhibitors().size(), 0);

        QCoro::waitFor(tracker->start());
        QVERIFY(tracker->active());
        harness.clock->advance(1.0);
        QTRY_COMPARE_WITH_TIMEOUT(tracker->captureStatus(), u"Screenshot uploaded."_s, 30000);
        QCOMPARE(m_system.inhibitors().size(), 1); // sleep waits for the clock-out while clocked in

        harness.clock->advance(5.0);
        send(what);
        QTRY_VERIFY_WITH_TIMEOUT(!tracker->active(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!tracker->busy(), 30000);
        QVERIFY2(tracker->status().startsWith(reason), qPrintable(tracker->status()));
        QCOMPARE(tracker->captureStatus(), u"Screenshots are off."_s);
        QCOMPARE(harness.stops().size(), 1);                               // the clock-out reached the studio...
        QTRY_COMPARE_WITH_TIMEOUT(m_system.inhibitors().size(), 0, 30000); // ...and sleep may go on
    }

    void lockWhileClockedOutChangesNothing() {
        Harness harness;
        auto tracker = connectedTracker(harness);
        // Observed after the tracker's own handler: once this one has run, the tracker's has too.
        int heard = 0;
        m_events->observe(SystemEvent::ScreenLocked, [&heard] { ++heard; });
        const QString before = tracker->status();

        send(u"lock"_s);
        QTRY_COMPARE_WITH_TIMEOUT(heard, 1, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!tracker->busy(), 30000);
        QTest::qWait(100); // the clock-out the handler queued has run
        QCOMPARE(tracker->status(), before);
        QVERIFY(!tracker->active());
        QCOMPARE(harness.stops().size(), 0);
        QCOMPARE(m_system.inhibitors().size(), 0);
    }
};

QTEST_GUILESS_MAIN(TrackerEventsTest)
#include "TrackerEventsTest.moc"
