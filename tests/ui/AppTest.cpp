// Runs the real agent under the session's X server: one agent per user, signals quit.
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <xcb/xcb.h>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <vector>

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
        run.start(QStringLiteral("xdotool"), arguments.split(u' '));
        run.waitForFinished(30000);
        return QString::fromLatin1(run.readAllStandardOutput());
    };
    QStringList windows =
        xdotool(QStringLiteral("search --onlyvisible --pid %1 --name ^Vantrel").arg(agent->processId()))
            .split(u'\n', Qt::SkipEmptyParts);
    if (!any)
        windows.removeIf([&](const QString& window) {
            return xdotool(u"getwindowgeometry --shell "_qs + window).section(u"WIDTH="_qs, 1).section(u'\n', 0, 0).toInt() < 100;
        });
    return windows;
}

// Whether a system tray holds the screen's tray selection, as an agent starting now would find it.
bool trayPresent() {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    const char name[] = "_NET_SYSTEM_TRAY_S0";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof name - 1, name), nullptr);
    xcb_get_selection_owner_reply_t* owner =
        atom ? xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr) : nullptr;
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
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.path()); // owner-only, as a runtime folder must be
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.filePath(QStringLiteral("config")));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        auto& process = m_started.emplace_back(std::make_unique<QProcess>());
        process->setProcessEnvironment(env);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(QStringLiteral(VANTREL_BINARY), arguments);
        return process.get();
    }

private Q_SLOTS:
    void oneAgentPerUser() {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs the session's X server (scripts/test starts one)");
        QProcess* first = launch();
        QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(first).size(), 1, 30000);

        // A second launch hands over to the first (which shows its window; the shell suite covers that
        // showing) and leaves without starting an agent of its own.
        QProcess* second = launch();
        QVERIFY(second->waitForFinished(60000) && second->exitStatus() == QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        QCOMPARE(first->state(), QProcess::Running);

        // Clocked out, SIGTERM and SIGINT quit at once.  Once the first agent has gone, a launch starts a new one.
        QVERIFY(quitsOrderly(first, SIGTERM));
        QProcess* third = launch();
        QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(third).size(), 1, 30000);
        QVERIFY(quitsOrderly(third, SIGINT));
    }
    // The login start: in the tray without the window, or with it where no tray would show the agent.
    void startsHiddenOnlyWithATray() {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs the session's X server (scripts/test starts one)");
        QProcess* trayless = launch({QStringLiteral("--hidden")});
        QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(trayless).size(), 1, 30000);
        QVERIFY(quitsOrderly(trayless, SIGTERM));

        QProcess trayer;
        trayer.start(QStringLiteral("trayer"), {});
        QTRY_VERIFY_WITH_TIMEOUT(trayPresent(), 30000);
        QProcess* hidden = launch({QStringLiteral("--hidden")});
        // Its tray icon is on screen; its window is not, until a later launch asks for it.
        QTRY_VERIFY_WITH_TIMEOUT(!visibleWindows(hidden, true).isEmpty(), 30000);
        QVERIFY(visibleWindows(hidden).isEmpty());
        QProcess* second = launch();
        QVERIFY(second->waitForFinished(60000));
        QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(hidden).size(), 1, 30000);
        QVERIFY(quitsOrderly(hidden, SIGTERM));
        trayer.kill();
        trayer.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(AppTest)
#include "AppTest.moc"
