#include "Await.h"
#include "X11TestSupport.h"

#include "platform/x11/X11ScreenCapture.h"

#include <QTest>

namespace {

// A wide HiDPI monitor on the server's only output, then a smaller 5:4 one beside it made up without one.
const QString kLayout = u"--setmonitor VantrelWide 2880/600x1800/340+0+0 screen "
                        u"--setmonitor VantrelSmall 1280/340x1024/270+2880+0 none"_s;
const QColor kRed(220, 20, 30);
const QColor kBlue(20, 40, 230);

// How many pixels of `area` are not `colour`.
int strayPixels(const QImage& image, QRect area, QColor colour) {
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            count += image.pixel(x, y) != colour.rgb(); // a plain window's pixels come back exactly
    return count;
}

// The value, or an empty one with the error in the log.
template <typename T> T valueOf(QCoro::Task<Result<T>> task) {
    const Result<T> result = awaitTask(std::move(task));
    if (!result)
        qWarning("%s", qPrintable(result.error().description()));
    return result ? *result : T();
}

} // namespace

// Screen capture on a real X server: Xvfb split into two RandR monitors of different sizes, a window
// manager running, a coloured window covering each monitor.
class X11CaptureTest final : public QObject {
    Q_OBJECT

    X11TestDisplay m_display;
    X11ScreenCapture m_capture;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_display.isOpen());
        QVERIFY(X11TestDisplay::run(u"xrandr "_s + kLayout));
        m_display.createWindow(QRect(0, 0, 2880, 1800), kRed, "Red", false);
        m_display.createWindow(QRect(2880, 0, 1280, 1024), kBlue, "Blue", false);
    }

    void eachMonitorIsCapturedOnItsOwnUnderAStableId() {
        // Pointer in the middle of the small monitor: its hot spot is at (640, 512) of that monitor.
        QVERIFY(X11TestDisplay::run(u"xdotool mousemove 3520 512"_s));
        const QList<DisplayInfo> displays = valueOf(m_capture.displays());
        QCOMPARE(displays.size(), 2);
        QCOMPARE(QSize(displays[0].width, displays[0].height), QSize(2880, 1800));
        QCOMPARE(QSize(displays[1].width, displays[1].height), QSize(1280, 1024));
        QVERIFY(displays[0].id != displays[1].id);

        // The tracker's size: at most 1440 wide, the height in proportion.
        const QImage wide = valueOf(m_capture.capture(displays[0], QSize(1440, 900)));
        QCOMPARE(wide.size(), QSize(1440, 900));
        QCOMPARE(strayPixels(wide, wide.rect(), kRed), 0); // all of it, nothing of the neighbour, no cursor

        const QImage small = valueOf(m_capture.capture(displays[1], QSize(1280, 1024)));
        QCOMPARE(small.size(), QSize(1280, 1024));
        const QRect aroundHotSpot(640 - 40, 512 - 40, 80, 80);
        QVERIFY2(strayPixels(small, aroundHotSpot, kBlue) > 20, "no cursor drawn at the pointer");
        QCOMPARE(strayPixels(small, small.rect(), kBlue), strayPixels(small, aroundHotSpot, kBlue));

        // The small one was read ahead while the wide one was handed over.  A read-ahead serves only its own
        // size, and only right after that capture: later, the screen as it is then.
        QCOMPARE(valueOf(m_capture.capture(displays[1], QSize(640, 512))).size(), QSize(640, 512));
        valueOf(m_capture.capture(displays[0], QSize(1440, 900)));
        QTest::qWait(1500);
        const quint32 green = m_display.createWindow(QRect(2880, 0, 1280, 1024), Qt::green, "Green", false);
        const QImage later = valueOf(m_capture.capture(displays[1], QSize(1280, 1024)));
        QCOMPARE(strayPixels(later, later.rect(), Qt::green), strayPixels(later, aroundHotSpot, Qt::green));
        m_display.destroyWindow(green);

        // The ids survive a restart of the server: a second one with the same layout stands for it.
        X11TestDisplay restarted;
        QVERIFY(restarted.isOpen() && X11TestDisplay::run(u"xrandr "_s + kLayout));
        QCOMPARE(valueOf(m_capture.displays()), displays);

        // A display that is gone is an error with its reason.
        const Result<QImage> gone = awaitTask(m_capture.capture(DisplayInfo{12345, 800, 600}, QSize(800, 600)));
        QVERIFY(!gone);
        QCOMPARE(gone.error().description(), u"The display is no longer connected."_s);
    }
};

QTEST_GUILESS_MAIN(X11CaptureTest)
#include "X11CaptureTest.moc"
