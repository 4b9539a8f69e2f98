#include "X11TestSupport.h"

#include "platform/x11/X11FrontmostApp.h"
#include "platform/x11/XcbMouseMonitor.h"

#include <xcb/xinput.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

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

bool activate(quint32 window) {
    return X11TestDisplay::run(u"xdotool windowactivate --sync %1"_s.arg(window)).has_value();
}

} // namespace

// Mouse events and the frontmost application on a real X server (Xvfb), driven by xdotool through XTest,
// with openbox as the window manager.
class X11InputTest final : public QObject {
    Q_OBJECT

    X11TestDisplay m_display;
    QTemporaryDir m_data;

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
        QVERIFY(X11TestDisplay::run(u"xdotool mousemove_relative -- 7 3 mousemove_relative -- 7 3 click 1 click 3 "
                                    u"click 2 click 4 click 5 click 6 click 7 click 8 click 9 "
                                    u"mousedown 1 mousemove_relative -- 7 3 mouseup 1 click 3"_s));
        const QList<int> expected{kMove,   kMove,   kLeft,  kRight, kOther, kScroll, kScroll,
                                  kScroll, kScroll, kOther, kOther, kLeft,  kMove,   kRight};
        QVERIFY(waitForMarker(seen, expected.size()));
        QCOMPARE(seen, expected);
        QCOMPARE(removed, QList<int>{kMove});

        // With no handler left the monitor hears nothing.
        monitor.remove(*second);
        QVERIFY(marker.install([&](int type) { later << type; }) && X11TestDisplay::run(u"xdotool click 1 click 3"_s));
        QVERIFY(waitForMarker(later, 2));
        QCOMPARE(seen.size(), expected.size());
    }

    // Xvfb's XTest pointer has no scroll axes, so smooth scrolling and the server's emulated copies of it
    // never occur there; these rows build the raw events exactly as xcb hands them over.
    void scrollsThatXvfbCannotSendAreCountedOnce_data() {
        QTest::addColumn<QByteArray>("event");
        QTest::addColumn<int>("expected");
        const quint32 emulated = XCB_INPUT_POINTER_EVENT_FLAGS_POINTER_EMULATED;
        QTest::newRow("touchpad scroll: scroll axis only") << rawEvent(0, 0, 0x8) << kScroll;
        QTest::newRow("wheel copy of a smooth scroll") << rawEvent(5, emulated, 0, XCB_INPUT_RAW_BUTTON_PRESS) << 0;
        QTest::newRow("smooth copy of a wheel click") << rawEvent(0, emulated, 0x4) << 0;
        QTest::newRow("motion with a scroll axis too") << rawEvent(0, 0, 0x9) << kMove;
        QTest::newRow("motion without any axis") << rawEvent(0, 0, 0) << 0;
    }

    void scrollsThatXvfbCannotSendAreCountedOnce() {
        QFETCH(QByteArray, event);
        QFETCH(int, expected);
        QCOMPARE(classifyRawPointerEvent(event.constData()), expected);
    }

    // Reading the entries themselves is the platform_basics suite's.
    void frontmostFollowsTheFocusedWindow() {
        qputenv("XDG_DATA_HOME", m_data.filePath(u"home"_s).toUtf8());
        qputenv("XDG_DATA_DIRS", m_data.path().toUtf8());
        QFile entry(m_data.filePath(u"applications/suite.desktop"_s));
        QVERIFY(QDir().mkpath(m_data.filePath(u"applications"_s)) && entry.open(QIODevice::WriteOnly));
        entry.write("[Desktop Entry]\nName=Edit Suite · 2\nStartupWMClass=EditSuite\n"), entry.close();

        X11FrontmostApp frontmost;
        QList<quint32> windows;
        for (const auto& [className, expected] :
             {std::pair{"EditSuite", u"Edit Suite · 2"_s}, {"PlainTool", u"PlainTool"_s}}) {
            windows << m_display.createWindow(QRect(100, 100, 300, 200), Qt::darkGray, className, true);
            QVERIFY(activate(windows.last()));
            QTRY_COMPARE_WITH_TIMEOUT(frontmost.name(), std::optional<QString>(expected), 30000);
        }
        // No window left: no active window, no name.
        for (quint32 window : std::as_const(windows))
            m_display.destroyWindow(window);
        QTRY_COMPARE_WITH_TIMEOUT(frontmost.name(), std::nullopt, 30000);
    }
};

QTEST_GUILESS_MAIN(X11InputTest)
#include "X11InputTest.moc"
