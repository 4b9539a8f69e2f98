#pragma once

#include <QColor>
#include <QProcess>
#include <QRect>
#include <QString>

#include <memory>

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
    quint32 createWindow(QRect rect, QColor colour, const QByteArray& instance, const QByteArray& className,
                         bool managed);
    void destroyWindow(quint32 window);
    // Starts openbox and waits until it manages the screen.
    bool startWindowManager();
    void stopWindowManager();
    // Runs xdotool with these arguments; true when it succeeded.
    static bool xdotool(const QStringList& arguments);
    // Runs xrandr with these arguments; true when it succeeded.
    static bool xrandr(const QStringList& arguments);

private:
    bool startServer();

    struct State;
    std::unique_ptr<State> m_state;
    QProcess m_server;
    QByteArray m_previousDisplay;
    QProcess m_windowManager;
};
