// Runs the real agent under the session's X server: one agent per user, signals quit.
#include "StatusNotifierHost.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <xcb/xcb.h>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

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

// Agents still running when the suite ends are killed with their QProcess.
class AppTest final : public QObject {
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

QTEST_GUILESS_MAIN(AppTest)
#include "AppTest.moc"
