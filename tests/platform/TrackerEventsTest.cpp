#include "Harness.h"
#include "PrivateBus.h"

#include "platform/common/SecretServiceStore.h"
#include "platform/common/TurboJpegEncoder.h"

#include <QTest>

#include <qcoro/qcorotask.h>

namespace {
const QString kSleepOrSwitch = u"Computer locked, sleeping, or user switched. Clock in to resume."_s;
const QString kLocked = u"Computer locked. Clock in to resume."_s;
const QString kClockedOut = u"Connected. Clocked out; tracking is off."_s;
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
        m_events = std::make_shared<DBusSystemEvents>(m_buses.system.connection(), m_buses.session.connection());
        const std::shared_ptr<Defaults> defaults(std::shared_ptr<Defaults>(), &h.defaults()); // the harness's own
        const Platform platform{h.clock,     defaults,  std::make_shared<SecretServiceStore>(), h.host,   h.mouse,
                                h.frontmost, h.capture, std::make_shared<TurboJpegEncoder>(),   h.timers, m_events};
        m_tracker = std::make_unique<Tracker>(platform, h.server(), h.peer().transport());
        QCoro::waitFor(m_tracker->connect());
    }

    void cleanup() { m_tracker.reset(), m_events.reset(), m_harness.reset(); }

    void eventEndsTrackingWithItsReason_data() {
        QTest::addColumn<QByteArray>("what");
        QTest::addColumn<bool>("clockedIn");
        QTest::addColumn<QString>("status");
        QTest::newRow("sleep") << QByteArray("sleep") << true << kSleepOrSwitch;
        QTest::newRow("lock signal") << QByteArray("lock") << true << kLocked;
        QTest::newRow("lock while clocked out changes nothing") << QByteArray("lock") << false << kClockedOut;
    }

    void eventEndsTrackingWithItsReason() {
        QFETCH(QByteArray, what);
        QFETCH(bool, clockedIn);
        QFETCH(QString, status);
        // Observed after the tracker's own handlers: once one of these has run, the tracker's has too.
        int heard = 0;
        for (SystemEvent event : {WillSleep, ScreensDidSleep, SessionResignActive, ScreenLocked})
            m_events->observe(event, [&heard] { ++heard; });
        if (clockedIn) {
            QCoro::waitFor(m_tracker->start());
            m_harness->clock->advance(1.0);
            QTRY_COMPARE_WITH_TIMEOUT(m_tracker->captureStatus(), u"Screenshot uploaded."_s, 30000);
            QCOMPARE(m_buses.inhibitors().size(), 1); // sleep waits for the clock-out while clocked in
            m_harness->clock->advance(5.0);
        }
        QVERIFY(m_buses.send(what.constData()));
        QTRY_VERIFY_WITH_TIMEOUT(heard > 0, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!m_tracker->active() && !m_tracker->busy(), 30000);
        QTest::qWait(100); // a clock-out the handler queued has run
        QVERIFY2(clockedIn ? m_tracker->status().startsWith(status) : m_tracker->status() == status,
                 qPrintable(m_tracker->status()));
        QCOMPARE(m_harness->stops().size(), clockedIn ? 1 : 0);           // the clock-out reached the studio...
        QTRY_COMPARE_WITH_TIMEOUT(m_buses.inhibitors().size(), 0, 30000); // ...and sleep may go on
    }
};

QTEST_GUILESS_MAIN(TrackerEventsTest)
#include "TrackerEventsTest.moc"
