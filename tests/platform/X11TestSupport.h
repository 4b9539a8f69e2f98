#pragma once

#include <QColor>
#include <QProcess>
#include <QRect>
#include <QString>

#include <memory>

using namespace Qt::StringLiterals;

// An X server of the suite's own (Xvfb, 4320 × 1800, RandR) with real windows and a real window manager.
// Its own server keeps the suite's pointer, focus and monitor layout away from other suites running at the
// same time.  $DISPLAY names it while this object lives, and the previous one again afterwards.
class X11TestDisplay final {
public:
    X11TestDisplay();
    ~X11TestDisplay();
    X11TestDisplay(const X11TestDisplay&) = delete;
    X11TestDisplay& operator=(const X11TestDisplay&) = delete;

    bool isOpen() const;
    // A window filled with `colour`.  Unmanaged windows sit exactly at `rect`, above everything; managed
    // ones are placed and focused by the window manager.
    quint32 createWindow(QRect rect, QColor colour, const QByteArray& className, bool managed);
    void destroyWindow(quint32 window);
    // Starts openbox and waits until it manages the screen.
    bool startWindowManager();
    // Runs a tool on this server with space-separated `arguments`; true when it succeeded.
    static bool xdotool(const QString& arguments) { return run(u"xdotool"_s, arguments); }
    static bool xrandr(const QString& arguments) { return run(u"xrandr"_s, arguments); }

private:
    static bool run(const QString& program, const QString& arguments);
    bool startServer();

    struct State;
    std::unique_ptr<State> m_state;
    QProcess m_server;
    QProcess m_windowManager;
    QByteArray m_previousDisplay = qgetenv("DISPLAY");
};
