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

// Sends a signal to one agent; never to pid 0, which would reach this whole process group.
bool signalAgent(const QProcess& agent, int signal)
{
    const qint64 pid = agent.processId();
    return pid > 0 && ::kill(pid_t(pid), signal) == 0;
}

// The agent's mapped "Vantrel" windows, as the X server sees them.
QStringList visibleWindows(qint64 pid)
{
    if (pid <= 0)
        return {};
    QProcess search;
    search.start(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                             QStringLiteral("--pid"), QString::number(pid), QStringLiteral("--name"),
                                             QStringLiteral("^Vantrel$")});
    search.waitForFinished(30000);
    return QString::fromLatin1(search.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// Asks a window to close, as a window manager does when its close button is pressed.
void requestClose(const QString& window)
{
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
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(c, 0, event.window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
    xcb_flush(c);
    xcb_disconnect(c);
}

} // namespace

class AppTest final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void secondLaunchBringsTheFirstForward();
    void signalQuitsAtOnceWhenClockedOut_data();
    void signalQuitsAtOnceWhenClockedOut();

private:
    QProcess* launch();

    std::unique_ptr<QTemporaryDir> m_home;
    std::vector<std::unique_ptr<QProcess>> m_started;
    // Held open for the whole suite: an X server resets when its last client leaves, and refuses
    // connections while it does, which would fail the next agent's start.
    xcb_connection_t* m_holdServer = nullptr;
};

void AppTest::initTestCase()
{
    // The server may be resetting right now, after the previous suite's last client left.
    for (int attempt = 0; attempt < 100 && !qEnvironmentVariableIsEmpty("DISPLAY"); ++attempt) {
        m_holdServer = xcb_connect(nullptr, nullptr);
        if (!xcb_connection_has_error(m_holdServer))
            break;
        xcb_disconnect(m_holdServer);
        m_holdServer = nullptr;
        QTest::qSleep(100);
    }
}

void AppTest::cleanupTestCase()
{
    if (m_holdServer)
        xcb_disconnect(m_holdServer);
}

void AppTest::init()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs the session's X server (scripts/test starts one)");
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
}

void AppTest::cleanup()
{
    for (const auto& p : m_started) {
        if (p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished(30000);
        }
    }
    m_started.clear();
    m_home.reset();
}

QProcess* AppTest::launch()
{
    // Own runtime and settings folders: the agent's lock and address stay inside this test.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString runtime = m_home->filePath(QStringLiteral("runtime"));
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home->filePath(QStringLiteral("config")));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(QStringLiteral(VANTREL_BINARY), {});
    m_started.push_back(std::move(process));
    return m_started.back().get();
}

void AppTest::secondLaunchBringsTheFirstForward()
{
    QProcess* first = launch();
    QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(first->processId()).size(), 1, 30000);

    // Closing the window only hides it; the agent stays.  A request that reaches the agent while it is still
    // showing its window for the first time can be overtaken by that show, so it is repeated until it holds.
    const QString window = visibleWindows(first->processId()).value(0);
    QTRY_VERIFY_WITH_TIMEOUT((requestClose(window), visibleWindows(first->processId()).isEmpty()), 30000);
    QCOMPARE(first->state(), QProcess::Running);

    // A second launch shows the first agent's window and leaves without starting an agent of its own.
    QProcess* second = launch();
    QVERIFY(second->waitForFinished(60000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(first->processId()).size(), 1, 30000);
    QCOMPARE(first->state(), QProcess::Running);

    // Once the first has gone, a launch starts a new agent.
    QVERIFY(signalAgent(*first, SIGTERM));
    QVERIFY(first->waitForFinished(30000));
    QProcess* third = launch();
    QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(third->processId()).size(), 1, 30000);
}

void AppTest::signalQuitsAtOnceWhenClockedOut_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void AppTest::signalQuitsAtOnceWhenClockedOut()
{
    QFETCH(int, signal);
    QProcess* agent = launch();
    QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(agent->processId()).size(), 1, 30000);
    QVERIFY(signalAgent(*agent, signal));
    QVERIFY(agent->waitForFinished(30000));
    // An orderly exit through the event loop, not death by the signal.
    QCOMPARE(agent->exitStatus(), QProcess::NormalExit);
    QCOMPARE(agent->exitCode(), 0);
}

QTEST_GUILESS_MAIN(AppTest)
#include "AppTest.moc"
