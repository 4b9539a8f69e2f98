#include "Harness.h"
#include "PrivateBus.h"

#include "platform/linux/SecretServiceStore.h"
#include "platform/linux/TurboJpegEncoder.h"

#include <QTest>

#include <qcoro/qcorotask.h>

namespace {
const QString kSleepOrSwitch = u"Mac locked, sleeping, or user switched. Clock in to resume."_s;
const QString kLocked = u"Mac locked. Clock in to resume."_s;
} // namespace

// The tracker with the real D-Bus system events: python3-dbusmock's logind and a mock screensaver on
// private buses send what the desktop sends, and tracking ends with the reason the user must see.  The rest
// of the tracker's world is the tracker suites' harness (HTTPS peer, keychain, fake clocks).
class TrackerEventsTest final : public QObject {
    Q_OBJECT

    DesktopBuses m_buses;
    std::unique_ptr<Harness> m_harness;
    std::shared_ptr<DBusSystemEvents> m_events;
    std::unique_ptr<Tracker> m_tracker;

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_buses.start("t1")); }

    // Each case: a connected tracker on a harness's peer and fakes, but with the real system events, from
    // an active, unlocked session.
    void init() {
        QVERIFY(m_buses.send("reset"));
        Harness& h = *(m_harness = std::make_unique<Harness>());
        h.storeToken();
        m_events = m_buses.events();
        const std::shared_ptr<Defaults> defaults(std::shared_ptr<Defaults>(), &h.defaults()); // the harness's own
        const Platform platform{h.clock,     defaults,  std::make_shared<SecretServiceStore>(), h.host,   h.mouse,
                                h.frontmost, h.capture, std::make_shared<TurboJpegEncoder>(),   h.timers, m_events};
        m_tracker = std::make_unique<Tracker>(platform, h.server(), h.peer().transport());
        QCoro::waitFor(m_tracker->connect());
        QCOMPARE(m_tracker->status(), u"Connected. Clocked out; tracking is off."_s);
    }

    void cleanup() { m_tracker.reset(), m_events.reset(), m_harness.reset(); }

    void eventEndsTrackingWithItsReason_data() {
        QTest::addColumn<QByteArray>("what");
        QTest::addColumn<QString>("reason");
        QTest::newRow("sleep") << QByteArray("sleep") << kSleepOrSwitch;
        QTest::newRow("user switched") << QByteArray("switch") << kSleepOrSwitch;
        QTest::newRow("screen blanked") << QByteArray("blank") << kSleepOrSwitch;
        QTest::newRow("lock signal") << QByteArray("lock") << kLocked;
        QTest::newRow("locked hint") << QByteArray("lockedhint") << kLocked;
    }

    void eventEndsTrackingWithItsReason() {
        QFETCH(QByteArray, what);
        QFETCH(QString, reason);
        QCOMPARE(m_buses.inhibitors().size(), 0);
        QCoro::waitFor(m_tracker->start());
        QVERIFY(m_tracker->active());
        m_harness->clock->advance(1.0);
        QTRY_COMPARE_WITH_TIMEOUT(m_tracker->captureStatus(), u"Screenshot uploaded."_s, 30000);
        QCOMPARE(m_buses.inhibitors().size(), 1); // sleep waits for the clock-out while clocked in

        m_harness->clock->advance(5.0);
        QVERIFY(m_buses.send(what.constData()));
        QTRY_VERIFY_WITH_TIMEOUT(!m_tracker->active(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!m_tracker->busy(), 30000);
        QVERIFY2(m_tracker->status().startsWith(reason), qPrintable(m_tracker->status()));
        QCOMPARE(m_tracker->captureStatus(), u"Screenshots are off."_s);
        QCOMPARE(m_harness->stops().size(), 1);                           // the clock-out reached the studio...
        QTRY_COMPARE_WITH_TIMEOUT(m_buses.inhibitors().size(), 0, 30000); // ...and sleep may go on
    }

    void lockWhileClockedOutChangesNothing() {
        // Observed after the tracker's own handler: once this one has run, the tracker's has too.
        int heard = 0;
        m_events->observe(SystemEvent::ScreenLocked, [&heard] { ++heard; });
        const QString before = m_tracker->status();
        QVERIFY(m_buses.send("lock"));
        QTRY_COMPARE_WITH_TIMEOUT(heard, 1, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!m_tracker->busy(), 30000);
        QTest::qWait(100); // the clock-out the handler queued has run
        QCOMPARE(m_tracker->status(), before);
        QVERIFY(!m_tracker->active());
        QCOMPARE(m_harness->stops().size(), 0);
        QCOMPARE(m_buses.inhibitors().size(), 0);
    }
};

QTEST_GUILESS_MAIN(TrackerEventsTest)
#include "TrackerEventsTest.moc"
