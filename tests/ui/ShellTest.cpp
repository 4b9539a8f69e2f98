#include "TrackerRig.h"
#include "ui/QuitRequest.h"
#include "ui/SignedInArea.h"
#include "ui/StaffWindow.h"
#include "ui/TrayMenu.h"
#include "ui/VantrelApp.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <xcb/xcb.h>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <unistd.h>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

// A StatusNotifier watcher on the session bus with a host registered, as KDE Plasma and GNOME's extension
// provide (python3-dbusmock); `host`'s output records the items that register with it.  Killing `host` is the
// panel going away.
bool startStatusNotifierHost(QProcess& host) {
    const QString watcher = u"org.kde.StatusNotifierWatcher"_s;
    host.start(u"/usr/bin/python3"_s, {u"-m"_s, u"dbusmock"_s, watcher, u"/StatusNotifierWatcher"_s, watcher});
    const auto mock = [&](const QString& method, const QStringList& arguments) {
        const QString call = u"call --session -d %1 -o /StatusNotifierWatcher -m org.freedesktop.DBus.Mock."_s;
        return QProcess::execute(u"gdbus"_s, QString(call + method).arg(watcher).split(u' ') + arguments) == 0;
    };
    const auto methodAdded = [&] {
        return mock(u"AddMethod"_s, {watcher, u"RegisterStatusNotifierItem"_s, u"s"_s, {}, {}});
    };
    return QTest::qWaitFor(methodAdded, 30000) &&
           mock(u"AddProperty"_s, {watcher, u"IsStatusNotifierHostRegistered"_s, u"<true>"_s}) &&
           mock(u"EmitSignal"_s, {watcher, u"StatusNotifierHostRegistered"_s, {}, u"[]"_s});
}

// Signals one agent and waits for an orderly exit through the event loop, not death by the signal.
// Never signals pid 0, which would reach this whole process group.
bool quitsOrderly(QProcess* agent, int signal) {
    const qint64 pid = agent->processId();
    return pid > 0 && ::kill(pid_t(pid), signal) == 0 && agent->waitForFinished(30000) &&
           agent->exitStatus() == QProcess::NormalExit && agent->exitCode() == 0;
}

// The agent's mapped staff windows, as the X server sees them; a tray icon, a small window of the same
// name, is left out unless `any` asks for every mapped window.
QStringList visibleWindows(const QProcess* agent, bool any = false) {
    const auto xdotool = [](const QString& arguments) {
        QProcess run;
        run.start(u"xdotool"_s, arguments.split(u' '));
        run.waitForFinished(30000);
        return QString::fromLatin1(run.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    };
    QStringList windows = xdotool(u"search --onlyvisible --pid %1 --name ^Vantrel"_s.arg(agent->processId()));
    windows.removeIf([&](const QString& window) {
        return !any && xdotool(u"getwindowgeometry --shell "_s + window).value(3).section(u'=', 1).toInt() < 100;
    });
    return windows;
}

// Whether a system tray holds the screen's tray selection, as an agent starting now would find it.
bool trayPresent() {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    const auto atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 19, "_NET_SYSTEM_TRAY_S0"), nullptr);
    const auto owner = xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom ? atom->atom : 0), nullptr);
    const bool present = owner && owner->owner != XCB_NONE;
    std::free(owner);
    std::free(atom);
    xcb_disconnect(c);
    return present;
}

} // namespace

// The agent's shell on the session's X server, in this process (the window, the tray, quitting) and as the real
// agent started beside it (one agent per user, login starts, signals).  Agents still running when the suite ends
// are killed with their QProcess.
class ShellTest final : public QObject {
    Q_OBJECT
    QTemporaryDir m_home;
    std::vector<std::unique_ptr<QProcess>> m_started;
    QProcess* launch(const QStringList& arguments = {}) {
        // Own runtime and settings folders: the agent's lock and address stay inside this test.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"XDG_RUNTIME_DIR"_s, m_home.path()); // owner-only, as a runtime folder must be
        env.insert(u"XDG_CONFIG_HOME"_s, m_home.filePath(u"config"_s));
        env.insert(u"XDG_STATE_HOME"_s, m_home.filePath(u"state"_s));
        env.remove(u"QT_QPA_PLATFORM"_s);
        auto& process = m_started.emplace_back(std::make_unique<QProcess>());
        process->setProcessEnvironment(env);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(QStringLiteral(VANTREL_BINARY), arguments);
        return process.get();
    }

private Q_SLOTS:
    // First: Qt decides once per process whether trays are StatusNotifier items.
    void withoutATrayTheWindowStaysWhileTracking() {
        if (QGuiApplication::platformName() != u"xcb"_s)
            QSKIP("needs the session's X server (scripts/test starts one)");
        // A StatusNotifier host, as KDE Plasma and GNOME's extension provide; later an XEmbed one.
        QProcess host;
        QVERIFY(startStatusNotifierHost(host));
        TrackerRig rig({.connected = true, .systemClock = true});
        rig.clockIn();
        Tracker* const tracker = &rig.tracker();
        StaffWindow window(tracker);
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
    // on disk (the limits here would hold each request an hour).  (That a quit otherwise waits for the
    // delivery is trayRowsAndSigtermWhileClockedIn's.)
    void quitHangsOnStudioThatNeverAnswers() {
        TrackerRig rig({.connected = true, .systemClock = true, .requestLimit = std::chrono::hours(1)});
        rig.clockIn();
        Tracker* const tracker = &rig.tracker();
        rig.peer().setReply("/device/sessions/" + rig.sessionId.toUtf8() + "/", {.stall = true});

        // What the clock-out had reached when the process was let go.  This quit never ends a loop, so a
        // request after it follows one that failed, and must try again.
        int quits = 0;
        qsizetype queued = -1;
        QuitRequest quit([&] {
            ++quits;
            queued = tracker->pending().size();
        });
        quit.setTracker(tracker);
        quit.request();
        quit.request(); // while the clock-out is under way, a second route to quitting adds nothing
        QTRY_COMPARE_WITH_TIMEOUT(quits, 1, 90000);
        QCOMPARE(queued, 1);
        QVERIFY(!tracker->active() && tracker->status().startsWith(QuitRequest::kReason));
        quit.request(); // clocked out now: at once
        QCOMPARE(quits, 2);
    }
    // Real wheel notches over the project and the stage lists scroll the face and choose nothing.
    void wheelOverListsChangesNoChoice() {
        if (QGuiApplication::platformName() != u"xcb"_s)
            QSKIP("needs the session's X server (scripts/test starts one)");
        TrackerRig rig({.connected = true, .systemClock = true});
        Tracker* const tracker = &rig.tracker();
        StaffWindow window(tracker);
        window.move(0, 0);
        window.bringForward();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* scroll = window.findChild<QScrollArea*>();
        QVERIFY(scroll->verticalScrollBar()->maximum() > 0); // the signed-in face is taller than the window
        for (const QString& name : {u"projectPicker"_s, u"stagePicker"_s}) {
            auto* list = window.findChild<QComboBox*>(name);
            scroll->verticalScrollBar()->setValue(0); // both lists show at the top, and the face can scroll down
            const QPoint at = list->mapToGlobal(list->rect().center());
            QCOMPARE(QProcess::execute(u"xdotool"_s, u"mousemove %1 %2 click 5"_s.arg(at.x()).arg(at.y()).split(u' ')),
                     0);
            QTRY_VERIFY_WITH_TIMEOUT(scroll->verticalScrollBar()->value() > 0, 30000);
        }
        QCOMPARE(tracker->projectID(), u"p1"_s);
        QCOMPARE(tracker->stage(), u"Footage review"_s);
        QVERIFY(!tracker->busy() && !tracker->active());
    }
    // Neither the disk nor the studio takes the clock-out: the quit asks instead of ending, asks again after the
    // question was closed from its title bar, and a quit from the session (SIGTERM, a logout) still ends within
    // a session manager's grace.
    void quitHeldInMemoryAsksAgainOnceItsClosedQuestionIsGone() {
        TrackerRig rig({.connected = true, .systemClock = true});
        rig.clockIn();
        Tracker* const tracker = &rig.tracker();
        rig.peer().setDown(true);
        const QString settings = rig.defaultsFile();
        const QString state = settings + u".state"_s;
        QVERIFY(QFile::remove(settings) && QDir().mkdir(settings));
        QVERIFY(QDir(state).removeRecursively() && QFile(state).open(QIODevice::WriteOnly));

        int quits = 0;
        QuitRequest quit([&] { ++quits; });
        quit.setTracker(tracker);
        quit.request();
        QTRY_VERIFY_WITH_TIMEOUT(quit.question() && quit.question()->isVisible(), 60000);
        QCOMPARE(quits, 0);
        QVERIFY(!tracker->pendingOnDisk() && tracker->pending().size() == 1);
        quit.question()->close();
        QTRY_VERIFY(!quit.question());
        quit.request();
        QTRY_VERIFY_WITH_TIMEOUT(quit.question() && quit.question()->isVisible(), 60000);
        QCOMPARE(quits, 0);
        quit.request(QuitRequest::Route::Session);
        QTRY_COMPARE_WITH_TIMEOUT(quits, 1, 60000);
    }
    // The tray's rows and SIGTERM (how a logout ends the agent) while clocked in: Open shows the window, Clock
    // out ends the session, a stage row goes through the tracker, and quitting clocks out before it ends the
    // event loop, whatever the windows say.
    void trayRowsAndSigtermWhileClockedIn_data() {
        QTest::addColumn<bool>("sigterm");
        QTest::newRow("Quit row") << false;
        QTest::newRow("SIGTERM") << true;
    }
    void trayRowsAndSigtermWhileClockedIn() {
        QFETCH(bool, sigterm);
        TrackerRig rig({.connected = true, .systemClock = true});
        rig.clockIn();
        Tracker* const tracker = &rig.tracker();
        VantrelApp app(tracker);
        const auto row = [&app](const QString& text) {
            const QList<QAction*> actions = app.tray()->menu()->actions();
            const auto it = std::ranges::find(actions, text, &QAction::text);
            return it == actions.end() ? nullptr : *it;
        };
        QVERIFY(!app.window()->isVisible());
        row(u"Open Vantrel"_s)->trigger();
        QVERIFY(app.window()->isVisible());
        row(u"Clock out"_s)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!tracker->active() && !tracker->busy(), 30000);
        QVERIFY(tracker->status().startsWith(SignedInArea::kClockOutReason));
        QCOMPARE(rig.stops().size(), 1);
        // Clocked out, a stage row only selects the stage, and the menu follows at once.
        row(u"Topaz"_s)->trigger();
        QVERIFY(tracker->stage() == u"Topaz"_s && app.tray()->checkedStage() == u"Topaz"_s);
        // No loop runs yet, so this quit ends nothing; it must not keep the next one from working.
        row(u"Quit"_s)->trigger();

        tracker->start();
        QTRY_VERIFY_WITH_TIMEOUT(tracker->active() && !tracker->busy(), 30000);
        // Another visible top-level window (an XEmbed tray icon is one).  Qt asks the windows to close in no set
        // order and gives up at the first refusal; this one refuses too, so the outcome does not hang on the order.
        StaffWindow other(tracker);
        other.show();
        QTimer::singleShot(0, &app, [&] { sigterm ? void(::kill(::getpid(), SIGTERM)) : row(u"Quit"_s)->trigger(); });
        QTimer::singleShot(60000, &app, [] { QCoreApplication::exit(1); }); // ends a test that would hang
        QCOMPARE(QApplication::exec(), 0);
        QCOMPARE(rig.stops().size(), 2);
        QVERIFY(!tracker->active() && tracker->status().startsWith(QuitRequest::kReason));
    }
    // A login start (--hidden) with no tray shows the window, else nothing would show the agent; with a tray it
    // shows only the tray icon, and a second login start leaves the running agent be.  A later launch by hand
    // hands over to the running agent, which shows its window, and leaves without starting one of its own.
    // Clocked out, SIGTERM and SIGINT quit at once.
    void oneAgentPerUserStartingHiddenOnlyWithATray() {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs the session's X server (scripts/test starts one)");
        QProcess* trayless = launch({u"--hidden"_s});
        QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(trayless).size(), 1, 30000);
        QProcess* second = launch();
        QVERIFY(second->waitForFinished(60000) && second->exitStatus() == QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        QCOMPARE(trayless->state(), QProcess::Running);
        QVERIFY(quitsOrderly(trayless, SIGINT));

        // Once the first agent has gone, a launch starts a new one.
        QProcess trayer;
        trayer.start(u"trayer"_s, {});
        QTRY_VERIFY_WITH_TIMEOUT(trayPresent(), 30000);
        QProcess* hidden = launch({u"--hidden"_s});
        QTRY_VERIFY_WITH_TIMEOUT(!visibleWindows(hidden, true).isEmpty(), 30000);
        QVERIFY(visibleWindows(hidden).isEmpty());
        QProcess* secondLogin = launch({u"--hidden"_s});
        QVERIFY(secondLogin->waitForFinished(60000) && secondLogin->exitCode() == 0);
        QVERIFY2(visibleWindows(hidden).isEmpty(), "a second login start opened the running agent's window");
        QVERIFY(launch()->waitForFinished(60000));
        QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(hidden).size(), 1, 30000);
        QVERIFY(quitsOrderly(hidden, SIGTERM));
    } // the tray host goes with its QProcess

    // At login the panel often starts a moment after the agent: a tray host that comes within the agent's wait
    // gets the tray item, and the window stays closed.
    void trayHostStartingAfterTheAgentKeepsTheWindowClosed_data() {
        QTest::addColumn<bool>("statusNotifier");
        QTest::newRow("X11 system tray") << false;
        QTest::newRow("StatusNotifier host") << true;
    }
    void trayHostStartingAfterTheAgentKeepsTheWindowClosed() {
        QFETCH(bool, statusNotifier);
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs the session's X server (scripts/test starts one)");
        QVERIFY(!trayPresent());
        QProcess* agent = launch({u"--hidden"_s});
        // Its socket shows that it has started and holds the lock; the tray comes after that.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(m_home.filePath(u"vantrel.socket"_s)), 30000);
        QProcess host;
        if (statusNotifier) {
            QVERIFY(startStatusNotifierHost(host));
            // The item registers with the host that came late: Qt was not asked about the tray before.
            QByteArray calls;
            QTRY_VERIFY_WITH_TIMEOUT((calls += host.readAllStandardOutput()).contains("RegisterStatusNotifierItem"),
                                     30000);
        } else {
            host.start(u"trayer"_s, {});
            QTRY_VERIFY_WITH_TIMEOUT(!visibleWindows(agent, true).isEmpty(), 30000); // the docked icon
        }
        QVERIFY2(visibleWindows(agent).isEmpty(), "the window opened although a tray host came");
        QVERIFY(quitsOrderly(agent, SIGTERM));
    }

    // Answered before the toolkit starts, where Qt cannot name the program itself.
    void helpShowsExecutablePlaceholder() {
        QProcess* help = launch({u"--help"_s});
        QVERIFY(help->waitForFinished(60000));
        QVERIFY2(help->readAllStandardOutput().startsWith("Usage: vantrel [options]\n"), "usage line");
    }
};

QTEST_MAIN(ShellTest)
#include "ShellTest.moc"
