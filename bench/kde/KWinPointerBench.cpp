// KWin's own CPU time while the pointer moves at a steady rate, in three phases: no script of the agent's,
// the agent's script loaded with pointer counting off (clocked out), and counting on (tracking).  Run inside
// a headless KWin session:
//   tests/support/wayland/wayland_session.py --kwin -- build/bench/kde/bench_kwin_pointer [SECONDS] [RATE]
// SECONDS per phase (30), RATE moves a second (250).
#include "wayland/FakePointer.h"

#include "platform/wayland/IdleActivityMonitor.h"
#include "platform/wayland/KWinActivityMonitor.h"
#include "platform/wayland/KWinScript.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <cstdio>
#include <unistd.h>

namespace {

// utime + stime of a process, in seconds.
double cpuSeconds(uint pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

// Moves the pointer `rate` times a second for `seconds`, between two points so that each move changes the
// position; returns KWin's CPU seconds over that time.  `sent` counts the moves.
double movePointer(FakePointer& pointer, uint kwin, int seconds, int rate, qint64* sent = nullptr) {
    const double before = cpuSeconds(kwin);
    QElapsedTimer clock;
    clock.start();
    qint64 i = 0;
    for (; clock.elapsed() < seconds * 1000; ++i) {
        pointer.moveTo(400 + int(i % 2) * 7, 300 + int(i % 3));
        const qint64 due = (i + 1) * 1000 / rate;
        if (const qint64 wait = due - clock.elapsed(); wait > 0)
            QTest::qWait(int(wait));
    }
    if (sent)
        *sent = i;
    return cpuSeconds(kwin) - before;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? atoi(argv[1]) : 30;
    const int rate = argc > 2 ? atoi(argv[2]) : 250;
    FakePointer pointer;
    const uint kwin = QDBusConnection::sessionBus().interface()->servicePid(QStringLiteral("org.kde.KWin"));
    if (!pointer.isValid() || kwin == 0) {
        std::fprintf(stderr, "needs a headless KWin session (tests/support/wayland/wayland_session.py --kwin)\n");
        return 1;
    }
    std::printf("%d s per phase, %d moves a second\n", seconds, rate);
    std::printf("no script:           KWin %.2f %% of one core\n",
                100 * movePointer(pointer, kwin, seconds, rate) / seconds);

    auto script = std::make_shared<KWinScript>();
    if (!QTest::qWaitFor([&] { return script->isRunning(); }, 20000)) {
        std::fprintf(stderr, "the script did not run: %s\n", qPrintable(script->failure()));
        return 1;
    }
    std::printf("script, not counting: KWin %.2f %% of one core\n",
                100 * movePointer(pointer, kwin, seconds, rate) / seconds);

    KWinActivityMonitor monitor(script,
                                std::make_shared<IdleActivityMonitor>(std::vector<IdleActivityMonitor::Source>{}));
    qint64 moves = 0;
    const auto token = monitor.install([&](int type) { moves += type == MouseMonitor::MouseMoved; });
    QTest::qWait(2000); // the script loaded again, counting
    moves = 0;
    qint64 sent = 0;
    const double counting = movePointer(pointer, kwin, seconds, rate, &sent);
    QTest::qWait(2500); // the last batch
    std::printf("script, counting:     KWin %.2f %% of one core (%lld moves sent, %lld counted)\n",
                100 * counting / seconds, static_cast<long long>(sent), static_cast<long long>(moves));
    if (token)
        monitor.remove(*token);
    return 0;
}
