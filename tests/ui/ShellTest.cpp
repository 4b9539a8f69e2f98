#include "TrackerRig.h"
#include "ui/QuitRequest.h"

#include <QTest>

class ShellTest final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void quitWaitsForTheClockOut_data() {
        QTest::addColumn<bool>("clockedIn");
        QTest::addColumn<bool>("stall");
        QTest::newRow("clocked out: at once") << false << false;
        QTest::newRow("clock-out delivered") << true << false;
        QTest::newRow("studio stalls, clock-out queued") << true << true;
    }
    void quitWaitsForTheClockOut() {
        QFETCH(bool, clockedIn);
        QFETCH(bool, stall);
        // Before the window was ever shown there is no tracker to ask: quit at once.
        int early = 0;
        QuitRequest([&] { ++early; }).request();
        QCOMPARE(early, 1);

        TestPeer peer(QStringLiteral("ui-quit-%1.test").arg(int(clockedIn) + int(stall))); // each row its own token
        QVERIFY(serveStudio(peer));
        peer.setReply("/device/sessions/s1/stop", {.delay = std::chrono::milliseconds(300), .stall = stall});
        TrackerRig rig;
        auto tracker = rig.make(peer.transport());
        tracker->setServer(peer.server());
        tracker->setPairingCode(QStringLiteral("quit-code"));
        tracker->connect();
        QTRY_VERIFY_WITH_TIMEOUT(tracker->hasProfile() && !tracker->busy(), 30000);
        if (clockedIn)
            tracker->start();
        QTRY_VERIFY_WITH_TIMEOUT(tracker->active() == clockedIn && !tracker->busy(), 30000);

        // What the clock-out had reached when the process was let go.
        int quits = 0;
        int stopsDelivered = -1;
        qsizetype queued = -1;
        QuitRequest quit([&] {
            ++quits;
            stopsDelivered = peer.count("/device/sessions/s1/stop");
            queued = tracker->pending().size();
        });
        quit.setTracker(tracker.get());
        quit.request();
        QCOMPARE(quit.waiting(), clockedIn);
        QCOMPARE(quits, clockedIn ? 0 : 1);
        quit.request(); // a second route to quitting, while waiting or after, adds nothing
        QTRY_COMPARE_WITH_TIMEOUT(quits, 1, 90000);
        QCOMPARE(stopsDelivered, clockedIn ? 1 : 0);
        QCOMPARE(queued, stall ? 1 : 0);
        QVERIFY(!tracker->active());
        QCOMPARE(tracker->status().startsWith(QuitRequest::kReason), clockedIn);
        QTest::qWait(0);
        QCOMPARE(quits, 1);
    }
};

QTEST_MAIN(ShellTest)
#include "ShellTest.moc"
