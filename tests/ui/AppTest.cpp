// Runs the real agent under the session's X server: one agent per user, closing hides, signals quit.
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <xcb/xcb.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

// Just enough X to find the agent's window, see whether it is mapped and ask it to close, as a window
// manager would.
class X final {
public:
    X() : m_c(xcb_connect(nullptr, nullptr)) {}
    ~X() { xcb_disconnect(m_c); }
    Q_DISABLE_COPY_MOVE(X)
    bool ok() const { return !xcb_connection_has_error(m_c); }

    xcb_atom_t atom(const char* name)
    {
        Reply<xcb_intern_atom_reply_t> r(
            xcb_intern_atom_reply(m_c, xcb_intern_atom(m_c, 0, uint16_t(std::strlen(name)), name), nullptr));
        return r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
    }

    std::optional<quint32> cardinal(xcb_window_t w, xcb_atom_t property)
    {
        Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(
            m_c, xcb_get_property(m_c, 0, w, property, XCB_ATOM_CARDINAL, 0, 1), nullptr));
        if (!r || xcb_get_property_value_length(r.get()) < 4)
            return std::nullopt;
        return *static_cast<quint32*>(xcb_get_property_value(r.get()));
    }

    QByteArray text(xcb_window_t w, xcb_atom_t property)
    {
        Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(
            m_c, xcb_get_property(m_c, 0, w, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 256), nullptr));
        if (!r)
            return {};
        return QByteArray(static_cast<const char*>(xcb_get_property_value(r.get())),
                          xcb_get_property_value_length(r.get()));
    }

    // Top-level windows titled "Vantrel" of the given process.
    QList<xcb_window_t> windowsOf(qint64 pid)
    {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(m_c)).data->root;
        Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(m_c, xcb_query_tree(m_c, root), nullptr));
        QList<xcb_window_t> found;
        if (!tree)
            return found;
        const xcb_atom_t netPid = atom("_NET_WM_PID");
        const xcb_atom_t netName = atom("_NET_WM_NAME");
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
            if (cardinal(children[i], netPid) == quint32(pid) && text(children[i], netName) == "Vantrel")
                found << children[i];
        }
        return found;
    }

    bool mapped(xcb_window_t w)
    {
        Reply<xcb_get_window_attributes_reply_t> r(
            xcb_get_window_attributes_reply(m_c, xcb_get_window_attributes(m_c, w), nullptr));
        return r && r->map_state == XCB_MAP_STATE_VIEWABLE;
    }

    void requestClose(xcb_window_t w)
    {
        xcb_client_message_event_t event = {};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = w;
        event.type = atom("WM_PROTOCOLS");
        event.data.data32[0] = atom("WM_DELETE_WINDOW");
        event.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(m_c, 0, w, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
        xcb_flush(m_c);
    }

private:
    xcb_connection_t* m_c;
};

} // namespace

class AppTest final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void secondLaunchBringsTheFirstForward();
    void signalQuitsAtOnceWhenClockedOut_data();
    void signalQuitsAtOnceWhenClockedOut();

private:
    QProcess* launch();
    void waitForWindow(X& x, const QProcess& agent, xcb_window_t* found = nullptr);

    std::unique_ptr<QTemporaryDir> m_home;
    std::vector<std::unique_ptr<QProcess>> m_started;
};

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

void AppTest::waitForWindow(X& x, const QProcess& agent, xcb_window_t* found)
{
    xcb_window_t window = 0;
    QTRY_VERIFY2_WITH_TIMEOUT(
        [&] {
            const auto windows = x.windowsOf(agent.processId());
            window = windows.isEmpty() ? 0 : windows.first();
            return window && x.mapped(window);
        }(),
        "the agent's window did not appear", 30000);
    if (found)
        *found = window;
}

void AppTest::secondLaunchBringsTheFirstForward()
{
    X x;
    QVERIFY(x.ok());
    auto first = launch();
    QVERIFY(first->waitForStarted(30000));
    xcb_window_t window = 0;
    waitForWindow(x, *first, &window);
    if (QTest::currentTestFailed())
        return;

    // Closing the window only hides it; the agent stays.
    x.requestClose(window);
    QTRY_VERIFY_WITH_TIMEOUT(!x.mapped(window), 30000);
    QCOMPARE(first->state(), QProcess::Running);

    // A second launch shows the first agent's window and leaves without a window of its own.
    auto second = launch();
    QVERIFY(second->waitForFinished(60000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(x.mapped(window), 30000);
    QCOMPARE(x.windowsOf(first->processId()).size(), 1);
    QCOMPARE(first->state(), QProcess::Running);

    // Once the first has gone, a launch starts a new agent.
    ::kill(pid_t(first->processId()), SIGTERM);
    QVERIFY(first->waitForFinished(30000));
    auto third = launch();
    QVERIFY(third->waitForStarted(30000));
    waitForWindow(x, *third);
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
    X x;
    QVERIFY(x.ok());
    auto agent = launch();
    QVERIFY(agent->waitForStarted(30000));
    waitForWindow(x, *agent);
    if (QTest::currentTestFailed())
        return;
    ::kill(pid_t(agent->processId()), signal);
    QVERIFY(agent->waitForFinished(30000));
    // An orderly exit through the event loop, not death by the signal.
    QCOMPARE(agent->exitStatus(), QProcess::NormalExit);
    QCOMPARE(agent->exitCode(), 0);
}

QTEST_GUILESS_MAIN(AppTest)
#include "AppTest.moc"
