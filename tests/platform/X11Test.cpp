#include "Await.h"

#include "platform/x11/X11FrontmostApp.h"
#include "platform/x11/X11ScreenCapture.h"
#include "platform/x11/XcbMouseMonitor.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <xcb/xcb.h>
#include <xcb/xinput.h>

#include <sys/prctl.h>

#include <csignal>
#include <cstdlib>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

// Runs a tool on the current server, its arguments separated by spaces; whether it succeeded.
bool run(const QString& commandLine) {
    const QStringList words = QProcess::splitCommand(commandLine);
    return QProcess::execute(words.first(), words.mid(1)) == 0;
}

// An X server of the suite's own (tests/support/x-server: Xvfb, 4320 × 1800, RandR) with real windows and a real
// window manager (openbox).  Its own server keeps the suite's pointer, focus and monitor layout away from other
// suites running at the same time.  $DISPLAY names it while this object lives, and the previous one afterwards.
class X11TestDisplay final {
public:
    X11TestDisplay() {
        // Ends with this process even when a crash or a timeout skips the destructor.
        m_server.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_server.start(QStringLiteral(VANTREL_X_SERVER), {u"--wm"_s});
        // The display, once the window manager manages the screen.
        if (!m_server.waitForReadyRead(120000))
            return;
        qputenv("DISPLAY", m_server.readLine().trimmed());
        m_connection = xcb_connect(nullptr, nullptr);
        if (!xcb_connection_has_error(m_connection))
            m_screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
    }

    ~X11TestDisplay() {
        m_server.terminate();
        m_server.waitForFinished(30000);
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

private:
    QByteArray m_previousDisplay = qgetenv("DISPLAY");
    QProcess m_server;
    xcb_connection_t* m_connection = nullptr;
    xcb_screen_t* m_screen = nullptr;
};

constexpr int kMove = MouseMonitor::MouseMoved, kLeft = MouseMonitor::LeftMouseDown,
              kRight = MouseMonitor::RightMouseDown, kOther = MouseMonitor::OtherMouseDown,
              kScroll = MouseMonitor::ScrollWheel;

// Waits for a last right click that marks the end of a sequence: the events before it were delivered first.
bool waitForMarker(const QList<int>& seen, qsizetype count) {
    return QTest::qWaitFor([&] { return seen.size() >= count && seen.last() == kRight; }, 30000);
}

// A raw pointer event with one word of valuator mask, exactly as xcb hands it over.
QByteArray rawEvent(uint32_t button, uint32_t flags, uint32_t valuatorMask, uint16_t type = XCB_INPUT_RAW_MOTION) {
    struct {
        xcb_input_raw_button_press_event_t head;
        uint32_t mask;
    } event{};
    event.head.response_type = XCB_GE_GENERIC, event.head.event_type = type, event.head.detail = button;
    event.head.flags = flags, event.head.valuators_len = 1, event.mask = valuatorMask;
    return QByteArray(reinterpret_cast<const char*>(&event), sizeof event);
}

// How many pixels of `area` are not `colour` (a plain window's pixels come back exactly).
int strayPixels(const QImage& image, QRect area, QColor colour) {
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            count += image.pixel(x, y) != colour.rgb();
    return count;
}

} // namespace

// Mouse events, the frontmost application and screen capture on a real X server (Xvfb), driven by xdotool
// through XTest, with openbox as the window manager.
class X11Test final : public QObject {
    Q_OBJECT

    X11TestDisplay m_display;

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_display.isOpen()); }

    void mouseEventsAreClassifiedAndCountedOnce() {
        XcbMouseMonitor monitor, marker; // the marker, a listener of its own, tells when later events have come
        QList<int> seen, removed, later;
        // The first handler is removed by the second while the first event is delivered: it hears that one
        // (before the second, in token order) and no other.
        const auto first = monitor.install([&](int type) { removed << type; });
        const auto second = monitor.install([&](int type) { seen << type, monitor.remove(*first); });
        QVERIFY(first && second);
        // One xdotool run, its commands chained.  Last a drag: press, move, release; the move counts as a move,
        // the press as a click, the release not at all.
        QVERIFY(
            run(u"xdotool mousemove_relative -- 7 3 mousemove_relative -- 7 3 click 1 click 3 click 2 click 4 "
                u"click 5 click 6 click 7 click 8 click 9 mousedown 1 mousemove_relative -- 7 3 mouseup 1 click 3"_s));
        const QList<int> expected{kMove,   kMove,   kLeft,  kRight, kOther, kScroll, kScroll,
                                  kScroll, kScroll, kOther, kOther, kLeft,  kMove,   kRight};
        QVERIFY(waitForMarker(seen, expected.size()));
        QCOMPARE(seen, expected);
        QCOMPARE(removed, QList<int>{kMove});

        // With no handler left the monitor hears nothing.
        monitor.remove(*second);
        QVERIFY(marker.install([&](int type) { later << type; }) && run(u"xdotool click 1 click 3"_s));
        QVERIFY(waitForMarker(later, 2));
        QCOMPARE(seen.size(), expected.size());
    }

    // Xvfb's XTest pointer has no scroll axes, so smooth scrolling and the server's emulated copies of it
    // never occur there; these cases build the raw events exactly as xcb hands them over.
    void scrollsThatXvfbCannotSendAreCountedOnce() {
        const quint32 emulated = XCB_INPUT_POINTER_EVENT_FLAGS_POINTER_EMULATED;
        // A touchpad scroll (scroll axis only); the wheel copy of a smooth scroll; the smooth copy of a wheel
        // click; motion with a scroll axis too; motion without any axis.
        const std::pair<QByteArray, int> cases[] = {{rawEvent(0, 0, 0x8), kScroll},
                                                    {rawEvent(5, emulated, 0, XCB_INPUT_RAW_BUTTON_PRESS), 0},
                                                    {rawEvent(0, emulated, 0x4), 0},
                                                    {rawEvent(0, 0, 0x9), kMove},
                                                    {rawEvent(0, 0, 0), 0}};
        for (const auto& [event, expected] : cases)
            QCOMPARE(classifyRawPointerEvent(event.constData()), expected);
    }

    // Reading the entries themselves is the platform_basics suite's.
    void frontmostFollowsTheFocusedWindow() {
        QTemporaryDir data;
        qputenv("XDG_DATA_HOME", data.filePath(u"home"_s).toUtf8());
        qputenv("XDG_DATA_DIRS", data.path().toUtf8());
        QFile entry(data.filePath(u"applications/suite.desktop"_s));
        QVERIFY(QDir().mkpath(data.filePath(u"applications"_s)) && entry.open(QIODevice::WriteOnly));
        entry.write("[Desktop Entry]\nName=Edit Suite · 2\nStartupWMClass=EditSuite\n"), entry.close();

        X11FrontmostApp frontmost;
        QList<quint32> windows;
        for (const auto& [className, expected] :
             {std::pair{"EditSuite", u"Edit Suite · 2"_s}, {"PlainTool", u"PlainTool"_s}}) {
            windows << m_display.createWindow(QRect(100, 100, 300, 200), Qt::darkGray, className, true);
            QVERIFY(run(u"xdotool windowactivate --sync %1"_s.arg(windows.last())));
            QTRY_COMPARE_WITH_TIMEOUT(frontmost.name(), std::optional<QString>(expected), 30000);
        }
        // No window left: no active window, no name.
        for (quint32 window : std::as_const(windows))
            m_display.destroyWindow(window);
        QTRY_COMPARE_WITH_TIMEOUT(frontmost.name(), std::nullopt, 30000);
    }

    // The server split into two RandR monitors of different sizes, a coloured window covering each: a wide
    // HiDPI monitor on the server's only output, then a smaller 5:4 one beside it made up without one.
    void eachMonitorIsCapturedOnItsOwnUnderAStableId() {
        const QString layout = u"xrandr --setmonitor VantrelWide 2880/600x1800/340+0+0 screen "
                               u"--setmonitor VantrelSmall 1280/340x1024/270+2880+0 none"_s;
        const QColor red(220, 20, 30), blue(20, 40, 230);
        QVERIFY(run(layout));
        m_display.createWindow(QRect(0, 0, 2880, 1800), red, "Red", false);
        m_display.createWindow(QRect(2880, 0, 1280, 1024), blue, "Blue", false);
        X11ScreenCapture capture;
        // Pointer in the middle of the small monitor: its hot spot is at (640, 512) of that monitor.
        QVERIFY(run(u"xdotool mousemove 3520 512"_s));
        const QList<DisplayInfo> displays = valueOf(capture.displays());
        QCOMPARE(displays.size(), 2);
        QCOMPARE(QSize(displays[0].width, displays[0].height), QSize(2880, 1800));
        QCOMPARE(QSize(displays[1].width, displays[1].height), QSize(1280, 1024));
        QVERIFY(displays[0].id != displays[1].id);

        // The tracker's size: at most 1440 wide, the height in proportion.
        const QImage wide = valueOf(capture.capture(displays[0], QSize(1440, 900)));
        QCOMPARE(wide.size(), QSize(1440, 900));
        QCOMPARE(strayPixels(wide, wide.rect(), red), 0); // all of it, nothing of the neighbour, no cursor

        const QImage small = valueOf(capture.capture(displays[1], QSize(1280, 1024)));
        QCOMPARE(small.size(), QSize(1280, 1024));
        const QRect aroundHotSpot(640 - 40, 512 - 40, 80, 80);
        QVERIFY2(strayPixels(small, aroundHotSpot, blue) > 20, "no cursor drawn at the pointer");
        QCOMPARE(strayPixels(small, small.rect(), blue), strayPixels(small, aroundHotSpot, blue));

        // The small one was read ahead while the wide one was handed over.  A read-ahead serves only its own
        // size, and is not served for long: the screen as it is now shows in a later capture.
        QCOMPARE(valueOf(capture.capture(displays[1], QSize(640, 512))).size(), QSize(640, 512));
        valueOf(capture.capture(displays[0], QSize(1440, 900)));
        m_display.createWindow(QRect(2880, 0, 1280, 1024), Qt::green, "Green", false);
        QTRY_VERIFY_WITH_TIMEOUT(
            valueOf(capture.capture(displays[1], QSize(1280, 1024))).pixelColor(20, 20) == QColor(Qt::green), 30000);

        // The ids survive a restart of the server: a second one with the same layout stands for it.
        X11TestDisplay restarted;
        QVERIFY(restarted.isOpen() && run(layout));
        QCOMPARE(valueOf(capture.displays()), displays);

        // A display that is gone is an error with its reason.
        const Result<QImage> gone = awaitTask(capture.capture(DisplayInfo{12345, 800, 600}, QSize(800, 600)));
        QVERIFY(!gone);
        QCOMPARE(gone.error().description(), u"The display is no longer connected."_s);
    }
};

QTEST_GUILESS_MAIN(X11Test)
#include "X11Test.moc"
