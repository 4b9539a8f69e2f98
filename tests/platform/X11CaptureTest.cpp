#include "Await.h"
#include "X11TestSupport.h"

#include "platform/linux/X11ScreenCapture.h"

#include <QTest>

#include <qcoro/qcorotask.h>

// Screen capture on a real X server: Xvfb split into two RandR monitors of different sizes, a window
// manager running, a coloured window covering each monitor.
class X11CaptureTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void eachMonitorIsCapturedOnItsOwn();
    void cursorIsDrawnWhereItIs();
    void idsSurviveARestartOfTheServer();
    void captureIsRefusedUnderWayland_data();
    void captureIsRefusedUnderWayland();
    void vanishedDisplayIsAnError();

private:
    static QStringList monitorLayout();
    QList<DisplayInfo> listDisplays();
    QImage captureAt(const DisplayInfo& display, QSize size);

    std::unique_ptr<X11TestDisplay> m_display;
    X11ScreenCapture m_capture;
};

namespace {

// The capture size the tracker asks for: at most 1440 wide, the height in proportion.
QSize captureSize(const DisplayInfo& display) {
    const int width = std::min(display.width, 1440);
    const int height = std::max(1, int(double(display.height) * width / display.width));
    return {width, height};
}

bool near(QColor actual, QColor wanted) {
    return qAbs(actual.red() - wanted.red()) < 16 && qAbs(actual.green() - wanted.green()) < 16 &&
           qAbs(actual.blue() - wanted.blue()) < 16;
}

// How many pixels of `area` are not `colour`.
int strayPixels(const QImage& image, QRect area, QColor colour) {
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            count += near(image.pixelColor(x, y), colour) ? 0 : 1;
    return count;
}

const QColor kRed(220, 20, 30);
const QColor kBlue(20, 40, 230);

} // namespace

QStringList X11CaptureTest::monitorLayout() {
    // A wide HiDPI monitor on the server's only output, then a smaller 5:4 one beside it made up without one.
    return {QStringLiteral("--setmonitor"),
            QStringLiteral("VantrelWide"),
            QStringLiteral("2880/600x1800/340+0+0"),
            QStringLiteral("screen"),
            QStringLiteral("--setmonitor"),
            QStringLiteral("VantrelSmall"),
            QStringLiteral("1280/340x1024/270+2880+0"),
            QStringLiteral("none")};
}

void X11CaptureTest::initTestCase() {
    m_display = std::make_unique<X11TestDisplay>();
    QVERIFY(m_display->isOpen());
    QVERIFY(m_display->startWindowManager());
    QVERIFY(X11TestDisplay::xrandr(monitorLayout()));
    m_display->createWindow(QRect(0, 0, 2880, 1800), kRed, "red", "Red", false);
    m_display->createWindow(QRect(2880, 0, 1280, 1024), kBlue, "blue", "Blue", false);
}

void X11CaptureTest::cleanupTestCase() {
    m_display.reset();
}

QList<DisplayInfo> X11CaptureTest::listDisplays() {
    const Result<QList<DisplayInfo>> displays = awaitTask(m_capture.displays());
    if (!displays) {
        qWarning("%s", qPrintable(displays.error().description()));
        return {};
    }
    return *displays;
}

QImage X11CaptureTest::captureAt(const DisplayInfo& display, QSize size) {
    const Result<QImage> image = awaitTask(m_capture.capture(display, size));
    if (!image) {
        qWarning("%s", qPrintable(image.error().description()));
        return {};
    }
    return *image;
}

void X11CaptureTest::eachMonitorIsCapturedOnItsOwn() {
    QVERIFY(X11TestDisplay::xdotool({QStringLiteral("mousemove"), QStringLiteral("4300"), QStringLiteral("1700")}));
    const QList<DisplayInfo> displays = listDisplays();
    QCOMPARE(displays.size(), 2);
    QCOMPARE(QSize(displays[0].width, displays[0].height), QSize(2880, 1800));
    QCOMPARE(QSize(displays[1].width, displays[1].height), QSize(1280, 1024));
    QVERIFY(displays[0].id != displays[1].id);
    QCOMPARE(listDisplays(), displays);

    const QImage wide = captureAt(displays[0], captureSize(displays[0]));
    QCOMPARE(wide.size(), QSize(1440, 900));
    QCOMPARE(wide.format(), QImage::Format_RGB32);
    QCOMPARE(strayPixels(wide, wide.rect(), kRed), 0); // all of it, nothing of the neighbour

    const QImage small = captureAt(displays[1], captureSize(displays[1]));
    QCOMPARE(small.size(), QSize(1280, 1024));
    QCOMPARE(strayPixels(small, small.rect(), kBlue), 0);

    // Any size the caller asks for, including a different aspect ratio.
    QCOMPARE(captureAt(displays[1], QSize(160, 100)).size(), QSize(160, 100));
}

void X11CaptureTest::cursorIsDrawnWhereItIs() {
    const QList<DisplayInfo> displays = listDisplays();
    QCOMPARE(displays.size(), 2);
    // Pointer in the middle of the small monitor: its hot spot is at (640, 512) of that monitor.
    QVERIFY(X11TestDisplay::xdotool({QStringLiteral("mousemove"), QStringLiteral("3520"), QStringLiteral("512")}));
    const QImage small = captureAt(displays[1], QSize(1280, 1024));
    QVERIFY(!small.isNull());
    const QRect aroundHotSpot(640 - 40, 512 - 40, 80, 80);
    QVERIFY2(strayPixels(small, aroundHotSpot, kBlue) > 20, "no cursor drawn at the pointer");
    QCOMPARE(strayPixels(small, small.rect(), kBlue), strayPixels(small, aroundHotSpot, kBlue));
    // The other monitor shows no trace of it.
    const QImage wide = captureAt(displays[0], captureSize(displays[0]));
    QCOMPARE(strayPixels(wide, wide.rect(), kRed), 0);
}

void X11CaptureTest::idsSurviveARestartOfTheServer() {
    const QList<DisplayInfo> before = listDisplays();
    QCOMPARE(before.size(), 2);
    // A second X server with the same layout stands for this one after a restart.
    QList<DisplayInfo> after;
    {
        X11TestDisplay restarted;
        QVERIFY(restarted.isOpen());
        QVERIFY(X11TestDisplay::xrandr(monitorLayout()));
        after = listDisplays();
    }
    QCOMPARE(after, before);
}

void X11CaptureTest::captureIsRefusedUnderWayland_data() {
    QTest::addColumn<QByteArray>("sessionType");
    QTest::addColumn<QByteArray>("waylandDisplay");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("x11 session") << QByteArray("x11") << QByteArray() << true;
    QTest::newRow("no session type") << QByteArray() << QByteArray() << true;
    QTest::newRow("wayland session") << QByteArray("wayland") << QByteArray() << false;
    QTest::newRow("wayland display only") << QByteArray() << QByteArray("wayland-0") << false;
}

void X11CaptureTest::captureIsRefusedUnderWayland() {
    QFETCH(QByteArray, sessionType);
    QFETCH(QByteArray, waylandDisplay);
    QFETCH(bool, allowed);
    const QByteArray savedType = qgetenv("XDG_SESSION_TYPE");
    const QByteArray savedWayland = qgetenv("WAYLAND_DISPLAY");
    qputenv("XDG_SESSION_TYPE", sessionType);
    qputenv("WAYLAND_DISPLAY", waylandDisplay);
    const bool result = m_capture.isCaptureAllowed();
    m_capture.requestCaptureAccess(); // nothing to ask on X11; must not change the answer
    const bool again = m_capture.isCaptureAllowed();
    qputenv("XDG_SESSION_TYPE", savedType);
    qputenv("WAYLAND_DISPLAY", savedWayland);
    QCOMPARE(result, allowed);
    QCOMPARE(again, allowed);
}

void X11CaptureTest::vanishedDisplayIsAnError() {
    const Result<QImage> image = awaitTask(m_capture.capture(DisplayInfo{12345, 800, 600}, QSize(800, 600)));
    QVERIFY(!image);
    QCOMPARE(image.error().description(), QStringLiteral("The display is no longer connected."));
    QVERIFY(!awaitTask(m_capture.capture(listDisplays().value(0), QSize(0, 10))));
}

QTEST_GUILESS_MAIN(X11CaptureTest)
#include "X11CaptureTest.moc"
