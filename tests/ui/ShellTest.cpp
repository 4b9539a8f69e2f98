#include "TrackerRig.h"
#include "ui/QuitRequest.h"
#include "ui/StaffWindow.h"
#include "ui/VantrelApp.h"

#include <QApplication>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

// A tracker signed in to a studio that pairs with any code and knows one project; clocked in when asked.
// Null when it did not get there.
std::unique_ptr<Tracker> signIn(TrackerRig& rig, TestPeer& peer, bool clockIn) {
    peer.setReply("/device/pair", {.body = R"({"token":"device-token"})"});
    peer.setReply("/device/me", {.body = R"({"name":"Ada","projects":[{"id":"p1","title":"Trailer"}],"stages":[]})"});
    peer.setReply("/device/sessions", {.body = R"({"id":"s1","started_at":1700000000})"});
    peer.setReply("/device/sessions/s1/", {});
    auto tracker = rig.make(peer.transport());
    tracker->setServer(peer.server());
    tracker->setPairingCode(u"quit-code"_s);
    tracker->connect();
    if (!QTest::qWaitFor([&] { return tracker->hasProfile() && !tracker->busy(); }, 30000))
        return nullptr;
    tracker->setProjectID(u"p1"_s);
    if (clockIn)
        tracker->start();
    const bool there = QTest::qWaitFor([&] { return tracker->active() == clockIn && !tracker->busy(); }, 30000);
    return there ? std::move(tracker) : nullptr;
}

} // namespace

class ShellTest final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void quitWaitsForTheClockOut_data() {
        QTest::addColumn<bool>("stall");
        QTest::newRow("clock-out delivered") << false;
        QTest::newRow("studio stalls, clock-out queued") << true;
    }
    void quitWaitsForTheClockOut() {
        QFETCH(bool, stall);
        TestPeer peer(u"ui-quit-%1.test"_s.arg(int(stall))); // each row its own token
        TrackerRig rig;
        auto tracker = signIn(rig, peer, true);
        QVERIFY(tracker);
        peer.setReply("/device/sessions/s1/stop", {.delay = std::chrono::milliseconds(300), .stall = stall});

        // What the clock-out had reached when the process was let go.  This quit never ends a loop, so a
        // request after it follows one that failed, and must try again.
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
        QVERIFY(quit.waiting());
        quit.request(); // while the clock-out is under way, a second route to quitting adds nothing
        QTRY_COMPARE_WITH_TIMEOUT(quits, 1, 90000);
        QCOMPARE(stopsDelivered, 1);
        QCOMPARE(queued, stall ? 1 : 0);
        QVERIFY(!tracker->active() && tracker->status().startsWith(QuitRequest::kReason));
        quit.request(); // clocked out now: at once
        QCOMPARE(quits, 2);
    }
    void quitEndsTheLoopWhateverTheWindowsSay() {
        TrackerRig rig;
        auto tracker = rig.make();
        VantrelApp app(tracker.get());
        app.start();
        // Another visible top-level window (an XEmbed tray icon is one).  Qt asks the windows to close in no set
        // order and gives up at the first refusal; this one refuses too, so the outcome does not hang on the order.
        StaffWindow other(tracker.get());
        other.show();

        // No loop runs yet, so this one ends nothing; it must not keep the next one from working.
        app.quitRequest()->request();
        QTimer::singleShot(0, app.quitRequest(), &QuitRequest::request);
        QTimer::singleShot(60000, &app, [] { QCoreApplication::exit(1); }); // ends a test that would hang
        QCOMPARE(QApplication::exec(), 0);
    }
    void withoutATrayTheWindowStaysWhileTracking() {
        if (QGuiApplication::platformName() != u"xcb"_s)
            QSKIP("needs the session's X server (scripts/test starts one)");
        QVERIFY2(!QSystemTrayIcon::isSystemTrayAvailable(), "the session must start without a tray host");
        TestPeer peer(u"ui-no-tray.test"_s);
        TrackerRig rig;
        auto tracker = signIn(rig, peer, false);
        QVERIFY(tracker);
        StaffWindow window(tracker.get());
        // Clocked out, closing hides as it always did; clocked in with no tray, it minimises and the title tells.
        const auto closeShows = [&] {
            window.bringForward();
            window.close();
            return window.isVisible() && window.isMinimized();
        };
        QVERIFY(!closeShows() && window.windowTitle() == u"Vantrel"_s);
        tracker->start();
        QTRY_VERIFY_WITH_TIMEOUT(tracker->active() && !tracker->busy(), 30000);
        QVERIFY(closeShows() && window.windowTitle() == StaffWindow::kTrackingTitle);

        // A tray host comes: its item tells, so the title is plain again and closing hides.
        QProcess trayer;
        trayer.start(u"trayer"_s, {});
        QTRY_COMPARE_WITH_TIMEOUT(window.windowTitle(), u"Vantrel"_s, 30000);
        QVERIFY(!closeShows() && window.isHidden());
    }
};

int main(int argc, char* argv[]) {
    // On the session's X server where there is one: a tray host must be able to come and go.
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ShellTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "ShellTest.moc"
