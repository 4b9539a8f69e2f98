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

// Pairs with the studio and loads the profile; clocks in when asked.  True when it got there.
bool signIn(Tracker& tracker, TestPeer& peer, bool clockIn) {
    tracker.setServer(peer.server());
    tracker.setPairingCode(u"quit-code"_s);
    tracker.connect();
    if (!QTest::qWaitFor([&] { return tracker.hasProfile() && !tracker.busy(); }, 30000))
        return false;
    tracker.setProjectID(u"p1"_s);
    if (clockIn)
        tracker.start();
    return QTest::qWaitFor([&] { return tracker.active() == clockIn && !tracker.busy(); }, 30000);
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
        QVERIFY(serveStudio(peer));
        peer.setReply("/device/sessions/s1/stop", {.delay = std::chrono::milliseconds(300), .stall = stall});
        TrackerRig rig;
        auto tracker = rig.make(peer.transport());
        QVERIFY(signIn(*tracker, peer, true));

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
        QVERIFY(QTest::qWaitForWindowExposed(app.window()));

        // No loop runs yet, so this one ends nothing; it must not keep the next one from working.
        app.quitRequest()->request();
        QTimer::singleShot(0, app.quitRequest(), &QuitRequest::request);
        QTimer hung; // only there to end a test that would otherwise never return
        hung.setSingleShot(true);
        connect(&hung, &QTimer::timeout, [] { QCoreApplication::exit(1); });
        hung.start(60000);
        QCOMPARE(QApplication::exec(), 0);
    }
    void withoutATrayTheWindowStaysWhileTracking() {
        if (QGuiApplication::platformName() != u"xcb"_s)
            QSKIP("needs the session's X server (scripts/test starts one)");
        QVERIFY2(!QSystemTrayIcon::isSystemTrayAvailable(), "the session must start without a tray host");
        TestPeer peer(u"ui-no-tray.test"_s);
        QVERIFY(serveStudio(peer));
        TrackerRig rig;
        auto tracker = rig.make(peer.transport());
        StaffWindow window(tracker.get());
        window.show();
        QVERIFY(signIn(*tracker, peer, false));
        // Clocked out, closing hides as it always did.
        const QString plain = u"Vantrel"_s;
        QCOMPARE(window.windowTitle(), plain);
        window.close();
        QVERIFY(window.isHidden());

        // Clocked in with no tray: closing minimises, and the title says tracking is on.
        window.bringForward();
        tracker->start();
        QTRY_VERIFY_WITH_TIMEOUT(tracker->active() && !tracker->busy(), 30000);
        QCOMPARE(window.windowTitle(), StaffWindow::kTrackingTitle);
        window.close();
        QVERIFY(window.isVisible() && window.isMinimized());

        // A tray host comes: its item tells, so the title is plain again and closing hides.
        QProcess trayer;
        trayer.start(u"trayer"_s, {});
        QTRY_COMPARE_WITH_TIMEOUT(window.windowTitle(), plain, 30000);
        window.bringForward();
        window.close();
        QVERIFY(window.isHidden());
        tracker->stop(QuitRequest::kReason);
        QTRY_VERIFY_WITH_TIMEOUT(!tracker->busy(), 30000);
        trayer.terminate();
        QVERIFY(trayer.waitForFinished(30000));
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
