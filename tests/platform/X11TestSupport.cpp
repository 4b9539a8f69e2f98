#include "X11TestSupport.h"

#include <QDeadlineTimer>
#include <QThread>

#include <xcb/xcb.h>

#include <csignal>
#include <cstdlib>

#include <sys/prctl.h>

struct X11TestDisplay::State {
    xcb_connection_t* connection = nullptr;
    xcb_screen_t* screen = nullptr;

    // A round trip: every request sent before it has been handled by the server.
    void sync() const { free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr)); }
};

namespace {
// Ends with this process even when a crash or a timeout skips the destructors.
void endWithParent() {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
}
} // namespace

X11TestDisplay::X11TestDisplay()
    : m_state(std::make_unique<State>()) {
    if (!startServer())
        return;
    m_state->connection = xcb_connect(nullptr, nullptr);
    if (!xcb_connection_has_error(m_state->connection))
        m_state->screen = xcb_setup_roots_iterator(xcb_get_setup(m_state->connection)).data;
}

X11TestDisplay::~X11TestDisplay() {
    m_windowManager.terminate();
    m_windowManager.waitForFinished(10000);
    if (m_state->connection)
        xcb_disconnect(m_state->connection);
    m_server.terminate();
    m_server.waitForFinished(30000);
    qputenv("DISPLAY", m_previousDisplay);
}

bool X11TestDisplay::startServer() {
    // The server picks a free display number and writes it to the descriptor given (here its output).
    m_server.setChildProcessModifier(endWithParent);
    m_server.start(u"Xvfb"_s,
                   u"-displayfd 1 -screen 0 4320x1800x24 -nolisten tcp -noreset +extension RANDR"_s.split(u' '));
    QByteArray number;
    const QDeadlineTimer deadline(60000);
    while (!number.endsWith('\n') && !deadline.hasExpired() && m_server.waitForReadyRead(1000))
        number += m_server.readAllStandardOutput();
    if (number.trimmed().isEmpty())
        return false;
    qputenv("DISPLAY", ":" + number.trimmed());
    return true;
}

bool X11TestDisplay::isOpen() const {
    return m_state->screen != nullptr;
}

quint32 X11TestDisplay::createWindow(QRect rect, QColor colour, const QByteArray& className, bool managed) {
    xcb_connection_t* c = m_state->connection;
    const xcb_window_t window = xcb_generate_id(c);
    const uint32_t values[] = {colour.rgb() & 0xffffffu, managed ? 0u : 1u};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, m_state->screen->root, int16_t(rect.x()), int16_t(rect.y()),
                      uint16_t(rect.width()), uint16_t(rect.height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      m_state->screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    // WM_CLASS is "instance\0class\0"; one instance for all, so names can only come from the class.
    const QByteArray wmClass = QByteArray("test-window") + '\0' + className + '\0';
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                        uint32_t(wmClass.size()), wmClass.constData());
    xcb_map_window(c, window);
    m_state->sync();
    return window;
}

void X11TestDisplay::destroyWindow(quint32 window) {
    xcb_destroy_window(m_state->connection, window);
    m_state->sync();
}

bool X11TestDisplay::startWindowManager() {
    m_windowManager.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_windowManager.setChildProcessModifier(endWithParent);
    m_windowManager.start(u"openbox"_s, {u"--sm-disable"_s});
    // Managing once it names its check window on the root.
    xcb_connection_t* c = m_state->connection;
    static constexpr char kCheck[] = "_NET_SUPPORTING_WM_CHECK";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof kCheck - 1, kCheck), nullptr);
    const xcb_atom_t check = atom ? atom->atom : xcb_atom_t(XCB_ATOM_NONE);
    free(atom);
    for (const QDeadlineTimer deadline(60000); !deadline.hasExpired(); QThread::msleep(50)) {
        xcb_get_property_reply_t* reply = xcb_get_property_reply(
            c, xcb_get_property(c, 0, m_state->screen->root, check, XCB_ATOM_WINDOW, 0, 1), nullptr);
        const bool managed = reply && xcb_get_property_value_length(reply) == 4;
        free(reply);
        if (managed)
            return true;
    }
    return false;
}

bool X11TestDisplay::run(const QString& program, const QString& arguments) {
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments.split(u' '));
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}
