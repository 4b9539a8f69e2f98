#include "Await.h"
#include "EditingContent.h"
#include "platform/common/SettingsDefaults.h"
#include "platform/common/TurboJpegEncoder.h"
#include "platform/wayland/WaylandScreenCapture.h"

#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstring>
#include <optional>

// The Wayland capture path for one display: the newest frame of its portal stream scaled to at most 1440
// wide and compressed to a JPEG of at most 200 000 bytes, as one capture run does for each display; and the
// one copy each arriving frame costs on the PipeWire thread.
namespace {

WaylandScreenCapture* g_capture = nullptr;
QList<DisplayInfo> g_displays;

QSize captureSize(const DisplayInfo& display) {
    const int width = std::min(display.width, 1440);
    return {width, std::max(1, int(double(display.height) * width / display.width))};
}

void BM_LatestFrameScaleCompress(benchmark::State& state) {
    const DisplayInfo display = g_displays.value(int(state.range(0)));
    const QSize size = captureSize(display);
    TurboJpegEncoder encoder;
    qint64 bytes = 0;
    for (auto _ : state) {
        const Result<QImage> image = awaitTask(g_capture->capture(display, size));
        if (!image) {
            state.SkipWithError(qPrintable(image.error().description()));
            return;
        }
        const auto jpeg = compress(encoder, *image);
        if (!jpeg) {
            state.SkipWithError("not compressible to 200 000 bytes");
            return;
        }
        bytes = jpeg->size();
    }
    state.SetLabel(captureLabel(display, size, bytes));
}

// The copy out of a shared PipeWire buffer into the stream's spare frame, row by row.
void BM_FrameCopy(benchmark::State& state) {
    const DisplayInfo display = g_displays.value(int(state.range(0)));
    QImage source(display.width, display.height, QImage::Format_RGB32);
    source.fill(Qt::darkCyan);
    QImage spare(source.size(), source.format());
    for (auto _ : state) {
        for (int y = 0; y < source.height(); ++y)
            std::memcpy(spare.scanLine(y), source.constScanLine(y), size_t(source.width()) * 4);
        benchmark::DoNotOptimize(spare.bits());
    }
}

BENCHMARK(BM_LatestFrameScaleCompress)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FrameCopy)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    QTemporaryDir dir;
    auto defaults = std::make_shared<SettingsDefaults>(dir.filePath(QStringLiteral("defaults.ini")));
    WaylandScreenCapture capture(defaults);
    g_capture = &capture;
    // The portal's dialog (the test chooser in the bench session), then the session of a clock-in.
    capture.requestCaptureAccess();
    const QDeadlineTimer deadline(30000);
    while (!defaults->data(QStringLiteral("screenCastTokens")) && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    if (const Result<> opened = awaitTask(capture.beginSession([](QString) {})); !opened) {
        fprintf(stderr, "%s\n", qPrintable(opened.error().description()));
        return 1;
    }
    const Result<QList<DisplayInfo>> displays = awaitTask(capture.displays());
    if (!displays || displays->size() < 2) {
        fprintf(stderr, "expected two displays from the portal\n");
        return 1;
    }
    g_displays = *displays;
    std::sort(g_displays.begin(), g_displays.end(),
              [](const DisplayInfo& a, const DisplayInfo& b) { return a.width > b.width; });
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    capture.endSession();
    return 0;
}
