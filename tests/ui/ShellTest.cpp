#include "TrackerRig.h"
#include "ui/QuitRequest.h"
#include "ui/StaffWindow.h"
#include "ui/VantrelApp.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QMessageBox>
#include <QScrollArea>
#include <QScrollBar>
#include <QProcess>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

// A tracker signed in to a studio that pairs with any code and knows one project (chosen at once), and clocked
// in unless told not to.  Null when it did not get there.
std::unique_ptr<Tracker> signIn(TrackerRig& rig, TestPeer& peer, bool clockIn = true,
                                std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    peer.setReply("/device/pair", {.body = R"({"token":"device-token"})"});
    peer.setReply("/device/me", {.body = R"({"name":"Ada","projects":[{"id":"p1","title":"Trailer"},)"
                                         R"({"id":"p2","title":"Teaser"}],"stages":[]})"});
    peer.setReply("/device/sessions", {.body = R"({"id":"s1","started_at":1700000000})"});
    peer.setReply("/device/sessions/s1/", {});
    TransportOptions transport = peer.transport();
    transport.idleLimit = transport.totalLimit = limit;
    auto tracker = rig.make(transport);
    tracker->setServer(peer.server());
    tracker->setPairingCode(u"quit-code"_s);
    tracker->connect();
    const bool signedIn = QTest::qWaitFor([&] { return tracker->hasProfile() && !tracker->busy(); }, 30000);
    if (!clockIn)
        return signedIn ? std::move(tracker) : nullptr;
    if (signedIn)
        tracker->start();
    const bool there = QTest::qWaitFor([&] { return tracker->active() && !tracker->busy(); }, 30000);
    return there ? std::move(tracker) : nullptr;
}

} // namespace

class ShellTest final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // First: Qt decides once per process whether trays are StatusNotifier items.
    void withoutATrayTheWindowStaysWhileTracking() {
        if (QGuiApplication::platformName() != u"xcb"_s)
            QSKIP("needs the session's X server (scripts/test starts one)");
        // A StatusNotifier host, as KDE Plasma and GNOME's extension provide; later an XEmbed one.
        const QString watcher = u"org.kde.StatusNotifierWatcher"_s;
        QProcess host;
        host.start(u"/usr/bin/python3"_s, {u"-m"_s, u"dbusmock"_s, watcher, u"/StatusNotifierWatcher"_s, watcher});
        const QStringList hostUp =
            u"call --session -d %1 -o /StatusNotifierWatcher -m "
            u"org.freedesktop.DBus.Mock.AddProperty %1 IsStatusNotifierHostRegistered <true>"_s.arg(watcher)
                .split(u' ');
        QVERIFY(QTest::qWaitFor([&] { return QProcess::execute(u"gdbus"_s, hostUp) == 0; }, 30000));
        TestPeer peer(u"ui-no-tray.test"_s);
        TrackerRig rig;
        const auto tracker = signIn(rig, peer);
        QVERIFY(tracker);
        StaffWindow window(tracker.get());
        const auto closeShows = [&] {
            window.bringForward();
            window.close();
            return window.isVisible() && window.isMinimized();
        };
        QVERIFY(!closeShows() && window.windowTitle() == u"Vantrel"_s); // the tray item tells

        // The host quits while the window is hidden: it comes back minimised, says so, and closing keeps it.
        host.kill();
        QTRY_VERIFY_WITH_TIMEOUT(window.isVisible() && window.isMinimized(), 30000);
        QVERIFY(window.windowTitle() == StaffWindow::kTrackingTitle && closeShows());
        // Clocked out, closing hides as it always did.
        tracker->stop(QuitRequest::kReason);
        QTRY_VERIFY_WITH_TIMEOUT(!tracker->busy(), 30000);
        QVERIFY(!closeShows() && window.windowTitle() == u"Vantrel"_s);

        // An XEmbed host comes while tracking: the title is plain again and closing hides.
        tracker->start();
        QProcess trayer;
        trayer.start(u"trayer"_s, {});
        QTRY_VERIFY_WITH_TIMEOUT(tracker->active() && window.windowTitle() == u"Vantrel"_s, 30000);
        QVERIFY(!closeShows() && window.isHidden());
    }
    // A studio that takes connections and never answers holds a quit only a few seconds once the clock-out is
    // on disk (the limits here would hold each request an hour); otherwise a quit waits for the delivery.
    void quitHangsOnStudioThatNeverAnswers_data() {
        QTest::addColumn<bool>("stall");
        QTest::newRow("clock-out delivered") << false;
        QTest::newRow("studio never answers, clock-out queued") << true;
    }
    void quitHangsOnStudioThatNeverAnswers() {
        QFETCH(bool, stall);
        TestPeer peer(u"ui-quit-%1.test"_s.arg(int(stall))); // each row its own token
        TrackerRig rig;
        const auto tracker = signIn(rig, peer, true, std::chrono::hours(1));
        QVERIFY(tracker);
        peer.setReply("/device/sessions/s1/", {.delay = std::chrono::milliseconds(300), .stall = stall});

        // What the clock-out had reached when the process was let go.  This quit never ends a loop, so a
        // request after it follows one that failed, and must try again.
        int quits = 0, stopsDelivered = -1;
        qsizetype queued = -1;
        QuitRequest quit([&] {
            ++quits;
            stopsDelivered = peer.count("/device/sessions/s1/stop");
            queued = tracker->pending().size();
        });
        quit.setTracker(tracker.get());
        quit.request();
        quit.request(); // while the clock-out is under way, a second route to quitting adds nothing
        QTRY_COMPARE_WITH_TIMEOUT(quits, 1, 90000);
        if (!stall)
            QCOMPARE(stopsDelivered, 1);
        QCOMPARE(queued, stall ? 1 : 0);
        QVERIFY(!tracker->active() && tracker->status().startsWith(QuitRequest::kReason));
        quit.request(); // clocked out now: at once
        QCOMPARE(quits, 2);
    }
    // Real wheel notches over the project and the stage lists scroll the face and choose nothing.
    void wheelOverListsChangesNoChoice() {
        if (QGuiApplication::platformName() != u"xcb"_s)
            QSKIP("needs the session's X server (scripts/test starts one)");
        TestPeer peer(u"ui-wheel.test"_s);
        TrackerRig rig;
        const auto tracker = signIn(rig, peer, false);
        QVERIFY(tracker);
        StaffWindow window(tracker.get());
        window.move(0, 0);
        window.bringForward();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* scroll = window.findChild<QScrollArea*>();
        QVERIFY(scroll->verticalScrollBar()->maximum() > 0); // the signed-in face is taller than the window
        for (const QString& name : {u"projectPicker"_s, u"stagePicker"_s}) {
            auto* list = window.findChild<QComboBox*>(name);
            scroll->verticalScrollBar()->setValue(0); // both lists show at the top, and the face can scroll down
            const QPoint at = list->mapToGlobal(list->rect().center());
            QCOMPARE(QProcess::execute(u"xdotool"_s, {u"mousemove"_s, QString::number(at.x()),
                                                      QString::number(at.y()), u"click"_s, u"5"_s}),
                     0);
            QTRY_VERIFY_WITH_TIMEOUT(scroll->verticalScrollBar()->value() > 0, 30000);
        }
        QCOMPARE(tracker->projectID(), u"p1"_s);
        QCOMPARE(tracker->stage(), u"Footage review"_s);
        QVERIFY(!tracker->busy() && !tracker->active());
    }
    // Neither the disk nor the studio takes the clock-out: the quit asks instead of ending, and a quit from the
    // session (SIGTERM, a logout) still ends within a session manager's grace.
    void quitLosesClockOutHeldOnlyInMemory() {
        TestPeer peer(u"ui-unsaved.test"_s);
        TrackerRig rig;
        const auto tracker = signIn(rig, peer);
        QVERIFY(tracker);
        peer.setDown(true);
        const QString settings = rig.dir.filePath(u"defaults.ini"_s);
        const QString state = settings + u".state"_s;
        QVERIFY(QFile::remove(settings) && QDir().mkdir(settings));
        QVERIFY(QDir(state).removeRecursively() && QFile(state).open(QIODevice::WriteOnly));

        int quits = 0;
        QuitRequest quit([&] { ++quits; });
        quit.setTracker(tracker.get());
        quit.request();
        QTRY_VERIFY_WITH_TIMEOUT(quit.question() && quit.question()->isVisible(), 60000);
        QCOMPARE(quits, 0);
        QVERIFY(!tracker->pendingOnDisk() && tracker->pending().size() == 1);
        quit.request(QuitRequest::Route::Session);
        QTRY_COMPARE_WITH_TIMEOUT(quits, 1, 60000);
    }
    void quitEndsTheLoopWhateverTheWindowsSay() {
        TrackerRig rig;
        const auto tracker = rig.make();
        VantrelApp app(tracker.get());
        app.start();
        // Another visible top-level window (an XEmbed tray icon is one).  Qt asks the windows to close in no set
        // order and gives up at the first refusal; this one refuses too, so the outcome does not hang on the order.
        StaffWindow other(tracker.get());
        other.show();

        // No loop runs yet, so this one ends nothing; it must not keep the next one from working.
        app.quitRequest()->request();
        QTimer::singleShot(0, app.quitRequest(), [&app] { app.quitRequest()->request(); });
        QTimer::singleShot(60000, &app, [] { QCoreApplication::exit(1); }); // ends a test that would hang
        QCOMPARE(QApplication::exec(), 0);
    }
};

QTEST_MAIN(ShellTest)
#include "ShellTest.moc"
