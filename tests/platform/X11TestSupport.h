#pragma once

#include <QColor>
#include <QDeadlineTimer>
#include <QProcess>
#include <QRect>
#include <QThread>

#include <xcb/xcb.h>

#include <sys/prctl.h>

#include <csignal>
#include <cstdlib>
#include <optional>

using namespace Qt::StringLiterals;

// An X server of the suite's own (Xvfb, 4320 × 1800, RandR) with real windows and a real window manager
// (openbox).  Its own server keeps the suite's pointer, focus and monitor layout away from other suites
// running at the same time.  $DISPLAY names it while this object lives, and the previous one afterwards.
class X11TestDisplay final {
public:
    X11TestDisplay() {
        // The server picks a free display number and writes it to the descriptor given (here its output).
        start(m_server, u"Xvfb -displayfd 1 -screen 0 4320x1800x24 -nolisten tcp -noreset +extension RANDR"_s);
        if (!m_server.waitForReadyRead(60000))
            return;
        qputenv("DISPLAY", ":" + m_server.readLine().trimmed());
        m_connection = xcb_connect(nullptr, nullptr);
        start(m_windowManager, u"openbox --sm-disable"_s);
        // Open once the window manager manages the screen, which it shows by naming its check window.
        for (const QDeadlineTimer deadline(60000);
             !xcb_connection_has_error(m_connection) && !deadline.hasExpired() && !isOpen(); QThread::msleep(50))
            if (run(u"xprop -root _NET_SUPPORTING_WM_CHECK"_s).value_or("").contains("window id"))
                m_screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
    }

    ~X11TestDisplay() {
        for (QProcess* process : {&m_windowManager, &m_server})
            process->terminate(), process->waitForFinished(30000);
        xcb_disconnect(m_connection);
        qputenv("DISPLAY", m_previousDisplay);
    }

    bool isOpen() const { return m_screen != nullptr; }

    // A window filled with `colour`.  Unmanaged windows sit exactly at `rect`, above everything; managed
    // ones are placed and focused by the window manager.
    quint32 createWindow(QRect rect, QColor colour, const QByteArray& className, bool managed) {
        const xcb_window_t window = xcb_generate_id(m_connection);
        const uint32_t values[] = {colour.rgb() & 0xffffffu, managed ? 0u : 1u};
        xcb_create_window(m_connection, XCB_COPY_FROM_PARENT, window, m_screen->root, int16_t(rect.x()),
                          int16_t(rect.y()), uint16_t(rect.width()), uint16_t(rect.height()), 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, m_screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        // WM_CLASS is "instance\0class\0"; one instance for all, so names can only come from the class.
        const QByteArray wmClass = QByteArray("test-window") + '\0' + className + '\0';
        xcb_change_property(m_connection, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                            uint32_t(wmClass.size()), wmClass.constData());
        // A checked request is a round trip: the server has handled everything sent before it.
        free(xcb_request_check(m_connection, xcb_map_window_checked(m_connection, window)));
        return window;
    }

    void destroyWindow(quint32 window) {
        free(xcb_request_check(m_connection, xcb_destroy_window_checked(m_connection, window)));
    }

    // Runs a tool on this server, its arguments separated by spaces; the output when it succeeded.
    static std::optional<QByteArray> run(const QString& commandLine) {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.startCommand(commandLine);
        const bool ok = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
        return ok && process.exitCode() == 0 ? std::optional(process.readAllStandardOutput()) : std::nullopt;
    }

private:
    // Ends with this process even when a crash or a timeout skips the destructors.
    static void start(QProcess& process, const QString& commandLine) {
        process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
        process.startCommand(commandLine);
    }

    QByteArray m_previousDisplay = qgetenv("DISPLAY");
    QProcess m_server;
    QProcess m_windowManager;
    xcb_connection_t* m_connection = nullptr;
    xcb_screen_t* m_screen = nullptr;
};
