#include "Await.h"
#include "platform/common/TurboJpegEncoder.h"
#include "platform/x11/X11ScreenCapture.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QProcess>
#include <QRasterWindow>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <optional>

// One display of typical editing-suite content (timeline, panels, text), captured, scaled to at most 1440
// wide and compressed to a JPEG of at most 200 000 bytes, as one capture run does for each display.
namespace {

class ContentWindow final : public QRasterWindow {
public:
    explicit ContentWindow(QRect rect) {
        setFlags(Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
        setGeometry(rect);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QRect r(QPoint(0, 0), size());
        QLinearGradient sky(r.topLeft(), r.bottomRight());
        sky.setColorAt(0, QColor(30, 34, 40));
        sky.setColorAt(1, QColor(60, 66, 80));
        painter.fillRect(r, sky);
        // A viewer, a timeline of clips and panels of text.
        QLinearGradient viewer(0, 0, r.width(), r.height() / 2);
        viewer.setColorAt(0, QColor(200, 120, 60));
        viewer.setColorAt(1, QColor(40, 90, 160));
        painter.fillRect(QRect(r.width() / 4, 20, r.width() / 2, r.height() / 2), viewer);
        for (int track = 0; track < 8; ++track)
            for (int clip = 0; clip < 24; ++clip)
                painter.fillRect(QRect(clip * r.width() / 24 + 2, r.height() * 6 / 10 + track * r.height() / 22,
                                       r.width() / 24 - 4, r.height() / 26),
                                 QColor::fromHsv((track * 40 + clip * 7) % 360, 120, 200));
        painter.setPen(QColor(220, 220, 220));
        for (int line = 0; line < r.height() / 40; ++line)
            painter.drawText(10, 30 + line * 18,
                             QStringLiteral("Clip %1 · 00:%2:12 · Colour grade").arg(line).arg(line % 60));
    }
};

std::optional<QByteArray> compress(const TurboJpegEncoder& encoder, const QImage& image) {
    for (double factor : {0.75, 0.6, 0.45, 0.3, 0.18, 0.1}) {
        auto bytes = encoder.encode(image, factor);
        if (bytes && bytes->size() <= 200000)
            return bytes;
    }
    return std::nullopt;
}

QList<DisplayInfo> g_displays;

// `cold`: a fresh capture object each time, as for the first display of a run (new connection and segment).
void pipeline(benchmark::State& state, bool withCompression, bool cold = false) {
    const DisplayInfo display = g_displays.value(int(state.range(0)));
    const int width = std::min(display.width, 1440);
    const QSize size(width, std::max(1, int(double(display.height) * width / display.width)));
    auto capture = std::make_unique<X11ScreenCapture>();
    TurboJpegEncoder encoder;
    qint64 bytes = 0;
    for (auto _ : state) {
        if (cold)
            capture = std::make_unique<X11ScreenCapture>();
        Result<QImage> image = awaitTask(capture->capture(display, size));
        if (!image) {
            state.SkipWithError(qPrintable(image.error().description()));
            return;
        }
        if (withCompression) {
            auto jpeg = compress(encoder, *image);
            if (!jpeg) {
                state.SkipWithError("not compressible to 200 000 bytes");
                return;
            }
            bytes = jpeg->size();
        }
        benchmark::DoNotOptimize(image);
    }
    state.SetLabel(QStringLiteral("%1x%2 -> %3x%4, %5 bytes")
                       .arg(display.width)
                       .arg(display.height)
                       .arg(size.width())
                       .arg(size.height())
                       .arg(bytes)
                       .toStdString());
}

void BM_CaptureScaleCompress(benchmark::State& state) {
    pipeline(state, true);
}
void BM_CaptureScale(benchmark::State& state) {
    pipeline(state, false);
}
void BM_CaptureScaleCompressCold(benchmark::State& state) {
    pipeline(state, true, true);
}

BENCHMARK(BM_CaptureScaleCompress)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CaptureScale)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CaptureScaleCompressCold)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    // A native 1440 × 900 display and a 2880 × 1800 HiDPI one, side by side.
    QProcess::execute(QStringLiteral("xrandr"), {QStringLiteral("--setmonitor"), QStringLiteral("BenchNative"),
                                                 QStringLiteral("1440/300x900/190+0+0"), QStringLiteral("none"),
                                                 QStringLiteral("--setmonitor"), QStringLiteral("BenchHiDPI"),
                                                 QStringLiteral("2880/600x1800/340+1440+0"), QStringLiteral("screen")});
    ContentWindow native(QRect(0, 0, 1440, 900));
    ContentWindow hidpi(QRect(1440, 0, 2880, 1800));
    native.show();
    hidpi.show();
    QEventLoop settle;
    QTimer::singleShot(1000, &settle, &QEventLoop::quit);
    settle.exec();

    X11ScreenCapture capture;
    const Result<QList<DisplayInfo>> displays = awaitTask(capture.displays());
    if (!displays || displays->size() != 2) {
        fprintf(stderr, "expected two monitors on $DISPLAY\n");
        return 1;
    }
    g_displays = *displays;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    QProcess::execute(QStringLiteral("xrandr"), {QStringLiteral("--delmonitor"), QStringLiteral("BenchNative"),
                                                 QStringLiteral("--delmonitor"), QStringLiteral("BenchHiDPI")});
    return 0;
}
