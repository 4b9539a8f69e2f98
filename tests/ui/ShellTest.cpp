#include "TrackerRig.h"
#include "ui/QuitRequest.h"
#include "ui/UnixSignals.h"

#include <QSignalSpy>
#include <QTest>

#include <csignal>

class ShellTest final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void quitAtOnceWhenClockedOut();
    void quitWaitsForTheClockOut_data();
    void quitWaitsForTheClockOut();
    void signalsArriveInTheEventLoop();
};

void ShellTest::quitAtOnceWhenClockedOut()
{
    TrackerRig rig;
    auto tracker = rig.make(QStringLiteral("https://studio.example.com"));
    int quits = 0;
    QuitRequest quit([&] { ++quits; });

    // Before the window was ever shown there is no tracker to ask: quit at once.
    quit.request();
    QCOMPARE(quits, 1);

    QuitRequest linked([&] { ++quits; });
    linked.setTracker(tracker.get());
    linked.request();
    QCOMPARE(quits, 2);
    QVERIFY(!linked.waiting());
    // Once quitting, further requests add nothing.
    linked.request();
    QCOMPARE(quits, 2);
}

void ShellTest::quitWaitsForTheClockOut_data()
{
    QTest::addColumn<bool>("stall");
    QTest::newRow("clock-out delivered") << false;
    QTest::newRow("studio stalls, clock-out queued") << true;
}

void ShellTest::quitWaitsForTheClockOut()
{
    QFETCH(bool, stall);
    TestPeer peer(stall ? QStringLiteral("ui-quit-stall.test") : QStringLiteral("ui-quit.test"));
    QVERIFY(peer.isListening());
    int quits = 0;
    bool quitBeforeStopArrived = false;
    peer.setHandler([&](const TestPeer::Request& r) -> TestPeer::Reply {
        if (r.path == "/device/pair")
            return answer(200, R"({"token":"quit-token"})");
        if (r.path == "/device/me")
            return answer(200, R"({"name":"Ada","projects":[{"id":"p1","title":"Trailer"}],"stages":[]})");
        if (r.path == "/device/sessions")
            return answer(200, R"({"id":"s9","started_at":1700000000})");
        if (r.path.endsWith("/stop")) {
            quitBeforeStopArrived = quits > 0;
            TestPeer::Reply reply = answer(200, "{}");
            reply.stall = stall;
            reply.delay = std::chrono::milliseconds(300);
            return reply;
        }
        return {};
    });

    TrackerRig rig;
    auto tracker = rig.make(QStringLiteral("https://studio.example.com"), peer.transport());
    tracker->setServer(peer.server());
    tracker->setPairingCode(QStringLiteral("quit-code"));
    tracker->connect();
    QTRY_VERIFY_WITH_TIMEOUT(tracker->hasProfile() && !tracker->busy(), 30000);
    tracker->start();
    QTRY_VERIFY_WITH_TIMEOUT(tracker->active() && !tracker->busy(), 30000);

    // What the clock-out had reached when the process was let go.
    int stopsDelivered = -1;
    qsizetype queued = -1;
    QuitRequest quit([&] {
        ++quits;
        stopsDelivered = peer.count("/device/sessions/s9/stop");
        queued = tracker->pending().size();
    });
    quit.setTracker(tracker.get());
    quit.request();
    QVERIFY(quit.waiting());
    QCOMPARE(quits, 0);
    quit.request(); // a second route to quitting while waiting adds nothing
    QTRY_COMPARE_WITH_TIMEOUT(quits, 1, 90000);
    QVERIFY(!quitBeforeStopArrived);
    QCOMPARE(stopsDelivered, 1);
    QCOMPARE(queued, stall ? 1 : 0);
    QVERIFY(!tracker->active());
    QVERIFY(tracker->status().startsWith(QuitRequest::kReason));
    QTest::qWait(0);
    QCOMPARE(quits, 1);
}

void ShellTest::signalsArriveInTheEventLoop()
{
    UnixSignals handlers;
    QVERIFY(handlers.installed());
    QSignalSpy received(&handlers, &UnixSignals::received);
    ::raise(SIGTERM);
    ::raise(SIGINT);
    QTRY_COMPARE_WITH_TIMEOUT(received.count(), 2, 30000);
    QCOMPARE(received.at(0).at(0).toInt(), SIGTERM);
    QCOMPARE(received.at(1).at(0).toInt(), SIGINT);
}

QTEST_MAIN(ShellTest)
#include "ShellTest.moc"
