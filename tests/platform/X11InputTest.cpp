#include "X11TestSupport.h"

#include "platform/linux/X11FrontmostApp.h"
#include "platform/linux/XcbMouseMonitor.h"

#include <xcb/xinput.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// Mouse events and the frontmost application on a real X server (Xvfb), driven by xdotool through XTest,
// with openbox as the window manager.
class X11InputTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void mouseEventsAreClassifiedAndCountedOnce();
    void removedHandlerHearsNothing();
    void scrollsThatXvfbCannotSendAreCountedOnce_data();
    void scrollsThatXvfbCannotSendAreCountedOnce();
    void frontmostFollowsTheFocusedWindow();
    void frontmostIndexFollowsNewEntries();

private:
    void writeEntry(const QString& directory, const QString& fileName, const QByteArray& body);

    std::unique_ptr<X11TestDisplay> m_display;
    QTemporaryDir m_data;
};

void X11InputTest::initTestCase() {
    m_display = std::make_unique<X11TestDisplay>();
    QVERIFY(m_display->isOpen());
    QVERIFY(m_display->startWindowManager());
    QVERIFY(X11TestDisplay::xdotool({QStringLiteral("mousemove"), QStringLiteral("400"), QStringLiteral("400")}));
}

void X11InputTest::cleanupTestCase() {
    m_display.reset();
}

namespace {

// Waits for a last right click that marks the end of a sequence: the events before it were delivered first.
bool waitForMarker(const QList<int>& seen, qsizetype count) {
    return QTest::qWaitFor([&] { return seen.size() >= count && seen.last() == MouseMonitor::RightMouseDown; }, 30000);
}

} // namespace

void X11InputTest::mouseEventsAreClassifiedAndCountedOnce() {
    XcbMouseMonitor monitor;
    QList<int> seen;
    const auto token = monitor.install([&](int type) { seen << type; });
    QVERIFY(token);

    const QStringList moves{QStringLiteral("mousemove_relative"), QStringLiteral("--"), QStringLiteral("7"),
                            QStringLiteral("3")};
    QVERIFY(X11TestDisplay::xdotool(moves));
    QVERIFY(X11TestDisplay::xdotool(moves));
    for (const char* button : {"1", "3", "2", "4", "5", "6", "7", "8", "9"})
        QVERIFY(X11TestDisplay::xdotool({QStringLiteral("click"), QString::fromLatin1(button)}));
    // A drag: press, move, release.  The move counts as a move, the press as a click, the release not at all.
    QVERIFY(X11TestDisplay::xdotool({QStringLiteral("mousedown"), QStringLiteral("1")}));
    QVERIFY(X11TestDisplay::xdotool(moves));
    QVERIFY(X11TestDisplay::xdotool({QStringLiteral("mouseup"), QStringLiteral("1")}));
    QVERIFY(X11TestDisplay::xdotool({QStringLiteral("click"), QStringLiteral("3")}));

    const QList<int> expected{MouseMonitor::MouseMoved,     MouseMonitor::MouseMoved,     MouseMonitor::LeftMouseDown,
                              MouseMonitor::RightMouseDown, MouseMonitor::OtherMouseDown, MouseMonitor::ScrollWheel,
                              MouseMonitor::ScrollWheel,    MouseMonitor::ScrollWheel,    MouseMonitor::ScrollWheel,
                              MouseMonitor::OtherMouseDown, MouseMonitor::OtherMouseDown, MouseMonitor::LeftMouseDown,
                              MouseMonitor::MouseMoved,     MouseMonitor::RightMouseDown};
    QVERIFY(waitForMarker(seen, expected.size()));
    QCOMPARE(seen, expected);
    monitor.remove(*token);
}

void X11InputTest::removedHandlerHearsNothing() {
    XcbMouseMonitor monitor;
    QList<int> first;
    QList<int> second;
    const auto firstToken = monitor.install([&](int type) { first << type; });
    // The second handler removes the first as soon as it hears anything: the same event must not reach it.
    const auto secondToken = monitor.install([&](int type) {
        second << type;
        monitor.remove(*firstToken);
    });
    QVERIFY(firstToken && secondToken);
    QVERIFY(X11TestDisplay::xdotool({QStringLiteral("click"), QStringLiteral("3")}));
    QVERIFY(waitForMarker(second, 1));
    QCOMPARE(first, QList<int>{MouseMonitor::RightMouseDown}); // delivered before the second, in token order

    XcbMouseMonitor marker; // an independent listener to know when later events have been delivered
    QList<int> markerSeen;
    QVERIFY(marker.install([&](int type) { markerSeen << type; }));
    monitor.remove(*secondToken);
    QVERIFY(X11TestDisplay::xdotool({QStringLiteral("click"), QStringLiteral("1")}));
    QVERIFY(X11TestDisplay::xdotool({QStringLiteral("click"), QStringLiteral("3")}));
    QVERIFY(waitForMarker(markerSeen, 2));
    QCOMPARE(first, QList<int>{MouseMonitor::RightMouseDown});
    QCOMPARE(second, QList<int>{MouseMonitor::RightMouseDown});

    // A monitor whose every handler was removed can be installed again.
    QList<int> again;
    QVERIFY(monitor.install([&](int type) { again << type; }));
    QVERIFY(X11TestDisplay::xdotool({QStringLiteral("click"), QStringLiteral("3")}));
    QVERIFY(waitForMarker(again, 1));
}

// Xvfb's XTest pointer has no scroll axes, so smooth scrolling and the server's emulated copies of it
// never occur there; these rows build the raw events exactly as xcb hands them over.
void X11InputTest::scrollsThatXvfbCannotSendAreCountedOnce_data() {
    QTest::addColumn<int>("eventType");
    QTest::addColumn<quint32>("button");
    QTest::addColumn<quint32>("flags");
    QTest::addColumn<quint32>("valuatorMask");
    QTest::addColumn<int>("expected");
    const quint32 emulated = XCB_INPUT_POINTER_EVENT_FLAGS_POINTER_EMULATED;
    QTest::newRow("touchpad scroll: scroll axis only")
        << int(XCB_INPUT_RAW_MOTION) << 0u << 0u << 0x8u << int(MouseMonitor::ScrollWheel);
    QTest::newRow("wheel copy of a smooth scroll") << int(XCB_INPUT_RAW_BUTTON_PRESS) << 5u << emulated << 0u << 0;
    QTest::newRow("smooth copy of a wheel click") << int(XCB_INPUT_RAW_MOTION) << 0u << emulated << 0x4u << 0;
    QTest::newRow("motion with a scroll axis too")
        << int(XCB_INPUT_RAW_MOTION) << 0u << 0u << 0x9u << int(MouseMonitor::MouseMoved);
    QTest::newRow("motion without any axis") << int(XCB_INPUT_RAW_MOTION) << 0u << 0u << 0u << 0;
    QTest::newRow("button 12") << int(XCB_INPUT_RAW_BUTTON_PRESS) << 12u << 0u << 0u
                               << int(MouseMonitor::OtherMouseDown);
}

void X11InputTest::scrollsThatXvfbCannotSendAreCountedOnce() {
    QFETCH(int, eventType);
    QFETCH(quint32, button);
    QFETCH(quint32, flags);
    QFETCH(quint32, valuatorMask);
    QFETCH(int, expected);
    struct {
        xcb_input_raw_button_press_event_t head;
        uint32_t mask;
    } event{};
    event.head.response_type = XCB_GE_GENERIC;
    event.head.event_type = uint16_t(eventType);
    event.head.detail = button;
    event.head.flags = flags;
    event.head.valuators_len = 1;
    event.mask = valuatorMask;
    QCOMPARE(classifyRawPointerEvent(&event), expected);
}

void X11InputTest::writeEntry(const QString& directory, const QString& fileName, const QByteArray& body) {
    QVERIFY(QDir().mkpath(directory));
    QFile file(directory + QLatin1Char('/') + fileName);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write("[Desktop Entry]\nType=Application\n" + body) > 0);
}

void X11InputTest::frontmostFollowsTheFocusedWindow() {
    const QString home = m_data.filePath(QStringLiteral("home"));
    const QString system = m_data.filePath(QStringLiteral("system"));
    qputenv("XDG_DATA_HOME", home.toUtf8());
    qputenv("XDG_DATA_DIRS", system.toUtf8());
    writeEntry(system + QStringLiteral("/applications"), QStringLiteral("cutter-pro.desktop"),
               "Name=Cutter Pro\nName[de]=Schnitt Pro\nExec=cutter\n");
    writeEntry(system + QStringLiteral("/applications/vendor"), QStringLiteral("suite.desktop"),
               "Name=Edit Suite · 2\nStartupWMClass=EditSuite\n[Desktop Action new]\nName=New Window\n");
    // The user's own entry overrides the system one of the same name.
    writeEntry(system + QStringLiteral("/applications"), QStringLiteral("grader.desktop"), "Name=System Grader\n");
    writeEntry(home + QStringLiteral("/applications"), QStringLiteral("grader.desktop"), "Name=Colour Grader\n");

    X11FrontmostApp frontmost;
    struct Case {
        QByteArray instance, className;
        QString expected;
    };
    const QList<Case> cases{
        {"cutter", "Cutter-Pro", QStringLiteral("Cutter Pro")}, // file name, case-insensitive
        {"editsuite", "EditSuite", QStringLiteral("Edit Suite · 2")},
        {"grader", "Grader", QStringLiteral("Colour Grader")},
        {"plaintool", "PlainTool", QStringLiteral("PlainTool")}, // no entry: the class itself
    };
    QList<quint32> windows;
    for (const Case& item : cases) {
        const quint32 window =
            m_display->createWindow(QRect(100, 100, 300, 200), Qt::darkGray, item.instance, item.className, true);
        windows << window;
        QVERIFY(X11TestDisplay::xdotool(
            {QStringLiteral("windowactivate"), QStringLiteral("--sync"), QString::number(window)}));
        QTRY_COMPARE_WITH_TIMEOUT(frontmost.name(), std::optional<QString>(item.expected), 30000);
    }
    // Back to an earlier window.
    QVERIFY(X11TestDisplay::xdotool(
        {QStringLiteral("windowactivate"), QStringLiteral("--sync"), QString::number(windows.first())}));
    QTRY_COMPARE_WITH_TIMEOUT(frontmost.name(), std::optional<QString>(QStringLiteral("Cutter Pro")), 30000);
    // No window left: no active window, no name.
    for (quint32 window : std::as_const(windows))
        m_display->destroyWindow(window);
    QTRY_COMPARE_WITH_TIMEOUT(frontmost.name(), std::nullopt, 30000);
}

void X11InputTest::frontmostIndexFollowsNewEntries() {
    X11FrontmostApp frontmost;
    const quint32 window = m_display->createWindow(QRect(50, 50, 200, 200), Qt::darkGray, "newtool", "NewTool", true);
    QVERIFY(
        X11TestDisplay::xdotool({QStringLiteral("windowactivate"), QStringLiteral("--sync"), QString::number(window)}));
    QTRY_COMPARE_WITH_TIMEOUT(frontmost.name(), std::optional<QString>(QStringLiteral("NewTool")), 30000);
    // An application installed while the agent runs, into a directory created only now.
    writeEntry(m_data.filePath(QStringLiteral("system/applications/late")), QStringLiteral("newtool.desktop"),
               "Name=New Tool\n");
    QTRY_COMPARE_WITH_TIMEOUT(frontmost.name(), std::optional<QString>(QStringLiteral("New Tool")), 30000);
    m_display->destroyWindow(window);
}

QTEST_GUILESS_MAIN(X11InputTest)
#include "X11InputTest.moc"
