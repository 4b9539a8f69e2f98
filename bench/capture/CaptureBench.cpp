#include "Await.h"
#include "EditingContent.h"
#include "platform/common/TurboJpegEncoder.h"
#include "platform/x11/X11ScreenCapture.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QProcess>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <optional>

// One display of typical editing-suite content (timeline, panels, text), captured, scaled to at most 1440
// wide and compressed to a JPEG of at most 200 000 bytes, as one capture run does for each display.
namespace {

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
    state.SetLabel(captureLabel(display, size, bytes));
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
