// Runs the real agent under the session's X server: one agent per user, closing hides, signals quit.
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <xcb/xcb.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
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

// The agent's mapped "Vantrel" windows, as the X server sees them.
QStringList visibleWindows(const QProcess* agent) {
    QProcess search;
    search.start(QStringLiteral("xdotool"),
                 QStringLiteral("search --onlyvisible --pid %1 --name ^Vantrel$").arg(agent->processId()).split(u' '));
    search.waitForFinished(30000);
    return QString::fromLatin1(search.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

// Asks a window to close, as a window manager does when its close button is pressed.
void requestClose(const QString& window) {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    const auto atom = [c](const char* name) {
        std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr), &std::free);
        return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    };
    xcb_client_message_event_t event = {};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window.toUInt();
    event.type = atom("WM_PROTOCOLS");
    event.data.data32[0] = atom("WM_DELETE_WINDOW");
    xcb_send_event(c, 0, event.window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
    xcb_flush(c);
    xcb_disconnect(c);
}

} // namespace

// Agents still running when the suite ends are killed with their QProcess.
class AppTest final : public QObject {
    Q_OBJECT
    QTemporaryDir m_home;
    std::vector<std::unique_ptr<QProcess>> m_started;
    QProcess* launch() {
        // Own runtime and settings folders: the agent's lock and address stay inside this test.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.path()); // owner-only, as a runtime folder must be
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.filePath(QStringLiteral("config")));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        auto& process = m_started.emplace_back(std::make_unique<QProcess>());
        process->setProcessEnvironment(env);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(QStringLiteral(VANTREL_BINARY), {});
        return process.get();
    }

private Q_SLOTS:
    void oneAgentPerUser() {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs the session's X server (scripts/test starts one)");
        QVERIFY(m_home.isValid());
        QProcess* first = launch();
        QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(first).size(), 1, 30000);

        // Closing the window only hides it; the agent stays.  A request that reaches the agent while it is still
        // showing its window for the first time can be overtaken by that show, so it is repeated until it holds.
        const QString window = visibleWindows(first).value(0);
        QTRY_VERIFY_WITH_TIMEOUT((requestClose(window), visibleWindows(first).isEmpty()), 30000);
        QCOMPARE(first->state(), QProcess::Running);

        // A second launch shows the first agent's window and leaves without starting an agent of its own.
        QProcess* second = launch();
        QVERIFY(second->waitForFinished(60000));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(first).size(), 1, 30000);

        // Clocked out, SIGTERM and SIGINT quit at once.  Once the first agent has gone, a launch starts a new one.
        QVERIFY(quitsOrderly(first, SIGTERM));
        QProcess* third = launch();
        QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(third).size(), 1, 30000);
        QVERIFY(quitsOrderly(third, SIGINT));
    }
};

QTEST_GUILESS_MAIN(AppTest)
#include "AppTest.moc"
