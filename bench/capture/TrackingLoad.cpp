// CPU and memory of the platform side of one minute of tracking: the mouse monitor installed, the one-second
// timer asking for the frontmost application, and a capture run (every display captured and compressed)
// at the start and every 30 seconds.  Run inside scripts/session-env:
//   bench_tracking_load [seconds]
// The X server's own CPU is included when it can be found (by $DISPLAY's lock file).
#include "platform/common/QtTimerFactory.h"
#include "platform/common/TurboJpegEncoder.h"
#include "platform/x11/X11FrontmostApp.h"
#include "platform/x11/X11ScreenCapture.h"
#include "platform/x11/XcbMouseMonitor.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

namespace {

double processSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The X server serving $DISPLAY, from the lock file every server writes its pid to; 0 when not found.
qint64 xServerPid() {
    const QByteArray display = qgetenv("DISPLAY").mid(1).split('.').value(0);
    QFile lock(QStringLiteral("/tmp/.X%1-lock").arg(QString::fromLatin1(display)));
    return lock.open(QIODevice::ReadOnly) ? lock.readAll().trimmed().toLongLong() : 0;
}

double pidSeconds(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid == 0 || !stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    // utime and stime are fields 14 and 15 of the file, 12 and 13 after the command name.
    return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

qint64 statusKiB(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(strlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

QCoro::Task<> captureRun(X11ScreenCapture& capture, const TurboJpegEncoder& encoder, int* runs, qint64* peakKiB) {
    const Result<QList<DisplayInfo>> displays = co_await capture.displays();
    if (!displays)
        co_return;
    for (const DisplayInfo& display : *displays) {
        const int width = std::min(display.width, 1440);
        const QSize size(width, std::max(1, int(double(display.height) * width / display.width)));
        const Result<QImage> image = co_await capture.capture(display, size);
        if (image) {
            for (double factor : {0.75, 0.6, 0.45, 0.3, 0.18, 0.1}) {
                const auto bytes = encoder.encode(*image, factor);
                if (bytes && bytes->size() <= 200000)
                    break;
            }
        }
        *peakKiB = std::max(*peakKiB, statusKiB("VmRSS:"));
    }
    ++*runs;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 60;
    XcbMouseMonitor mouse;
    X11FrontmostApp frontmost;
    X11ScreenCapture capture;
    TurboJpegEncoder encoder;
    QtTimerFactory timers;

    qint64 events = 0;
    mouse.install([&events](int) { ++events; });
    const qint64 xPid = xServerPid();
    const qint64 idleKiB = statusKiB("VmRSS:");
    const double agentStart = processSeconds();
    const double serverStart = pidSeconds(xPid);

    int ticks = 0;
    int runs = 0;
    int names = 0;
    qint64 peakKiB = idleKiB;
    qint64 afterFirstKiB = 0; // once the first run's memory has been given back
    std::vector<QCoro::Task<>> running;
    running.push_back(captureRun(capture, encoder, &runs, &peakKiB));
    auto timer = timers.scheduleRepeating(std::chrono::seconds(1), [&] {
        ++ticks;
        if (ticks == 5)
            afterFirstKiB = statusKiB("VmRSS:");
        names += frontmost.name().has_value() ? 1 : 0;
        if (ticks % 30 == 0)
            running.push_back(captureRun(capture, encoder, &runs, &peakKiB));
        if (ticks == seconds)
            app.quit();
    });
    app.exec();
    timer.reset();
    const double agent = processSeconds() - agentStart;
    const double server = pidSeconds(xPid) - serverStart;
    // "After" is measured once the capture has given its connection and segment back.
    QTimer::singleShot(3000, &app, &QCoreApplication::quit);
    app.exec();
    std::printf("%d s of tracking: %d ticks, %d capture runs, %lld mouse events, %d frontmost names\n", seconds, ticks,
                runs, static_cast<long long>(events), names);
    std::printf("CPU of one core: agent %.3f %%, X server %.3f %%%s\n", 100.0 * agent / seconds,
                100.0 * server / seconds, xPid ? "" : " (X server not found)");
    std::printf("RSS: before the first run %lld KiB, peak during runs %lld KiB, after the first run %lld KiB, "
                "after the last %lld KiB\n",
                static_cast<long long>(idleKiB), static_cast<long long>(peakKiB), static_cast<long long>(afterFirstKiB),
                static_cast<long long>(statusKiB("VmRSS:")));
    return runs > 0 ? 0 : 1;
}
