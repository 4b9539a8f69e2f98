// One capture run over eight 1920 × 1080 displays, as the tracker does it: every display captured and scaled
// to 1440 × 810, then compressed on a worker thread to a JPEG of at most 200 000 bytes, one display after
// another; wall time from the display listing to the last JPEG, the upload left out.  Needs an X server of
// at least 7680 × 2160 with RandR, split here into eight monitors:
//   Xvfb :77 -screen 0 7680x2160x24 -nolisten tcp +extension RANDR &
//   DISPLAY=:77 bench_eight_displays --benchmark_repetitions=20 --benchmark_enable_random_interleaving=true
//       --benchmark_report_aggregates_only=true          (one command line)
#include "Await.h"
#include "EditingContent.h"
#include "platform/common/TurboJpegEncoder.h"
#include "platform/x11/X11ScreenCapture.h"
#include "tracker/Compression.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QProcess>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

constexpr int kDisplays = 8;

QCoro::Task<Result<int>> captureRun(ScreenCapture& capture, std::shared_ptr<JpegEncoder> encoder) {
    const Result<QList<DisplayInfo>> displays = co_await capture.displays();
    if (!displays)
        co_return displays.error();
    int bytes = 0;
    for (const DisplayInfo& display : *displays) {
        const QSize size(1440, display.height * 1440 / display.width);
        const Result<QImage> image = co_await capture.capture(display, size);
        if (!image)
            co_return image.error();
        QFuture<Result<QByteArray>> compressing =
            QtConcurrent::run([picture = *image, encoder] { return compressScreenshot(picture, 200'000, *encoder); });
        const Result<QByteArray> jpeg = co_await compressing;
        if (!jpeg)
            co_return jpeg.error();
        bytes += int(jpeg->size());
    }
    co_return bytes;
}

// Argument 1: the next display read ahead while this one is compressed; 0: one after another.
void BM_EightDisplayRun(benchmark::State& state) {
    X11ScreenCapture capture(state.range(0) != 0);
    const auto encoder = std::make_shared<TurboJpegEncoder>();
    int bytes = 0;
    for (auto _ : state) {
        const Result<int> run = awaitTask(captureRun(capture, encoder));
        if (!run) {
            state.SkipWithError(qPrintable(run.error().description()));
            return;
        }
        bytes = *run;
    }
    state.SetLabel(QStringLiteral("%1 displays, %2 bytes of JPEG").arg(kDisplays).arg(bytes).toStdString());
}

// Each run on a fresh connection and segment, as every 30 s in the tracker.
void BM_EightDisplayRunCold(benchmark::State& state) {
    const auto encoder = std::make_shared<TurboJpegEncoder>();
    for (auto _ : state) {
        X11ScreenCapture capture(state.range(0) != 0);
        const Result<int> run = awaitTask(captureRun(capture, encoder));
        if (!run) {
            state.SkipWithError(qPrintable(run.error().description()));
            return;
        }
    }
}

BENCHMARK(BM_EightDisplayRun)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EightDisplayRunCold)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

QStringList monitorArguments(const char* verb) {
    QStringList arguments;
    for (int i = 0; i < kDisplays; ++i) {
        arguments << QString::fromLatin1(verb) << QStringLiteral("Bench%1").arg(i);
        if (qstrcmp(verb, "--setmonitor") == 0)
            arguments << QStringLiteral("1920/500x1080/280+%1+%2").arg(i % 4 * 1920).arg(i / 4 * 1080)
                      << (i == 0 ? QStringLiteral("screen") : QStringLiteral("none"));
    }
    return arguments;
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    QProcess::execute(QStringLiteral("xrandr"), monitorArguments("--setmonitor"));
    std::vector<std::unique_ptr<ContentWindow>> windows;
    for (int i = 0; i < kDisplays; ++i) {
        windows.push_back(std::make_unique<ContentWindow>(QRect(i % 4 * 1920, i / 4 * 1080, 1920, 1080), i));
        windows.back()->show();
    }
    QEventLoop settle;
    QTimer::singleShot(1500, &settle, &QEventLoop::quit);
    settle.exec();

    X11ScreenCapture capture;
    const Result<QList<DisplayInfo>> displays = awaitTask(capture.displays());
    int status = 0;
    if (!displays || displays->size() != kDisplays) {
        fprintf(stderr, "expected %d monitors of 1920x1080 on $DISPLAY (a screen of 7680x2160)\n", kDisplays);
        status = 1;
    } else {
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    QProcess::execute(QStringLiteral("xrandr"), monitorArguments("--delmonitor"));
    return status;
}
