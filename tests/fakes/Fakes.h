#pragma once

#include "platform/Clock.h"
#include "platform/FrontmostApp.h"
#include "platform/HostInfo.h"
#include "platform/MouseMonitor.h"
#include "platform/RepeatingTimer.h"
#include "platform/ScreenCapture.h"
#include "platform/SystemEvents.h"

#include <QHash>
#include <QRandomGenerator>

#include <qcoro/qcorotimer.h>

// Stand-ins for what no real component can drive on command here: time, the timer, displays, the mouse,
// the application in front, and system events.  The tests steer them through their public state.

struct FakeClock final : Clock {
    double uptime() const override { return up; }
    double wallClock() const override { return wall; }
    // Time passing while the machine is awake: both clocks move.  (During a sleep only `wall` moves.)
    void advance(double seconds) {
        up += seconds;
        wall += seconds;
    }
    double up = 1000.0;
    double wall = 1'700'000'000.0;
};

struct FakeTimerFactory final : TimerFactory {
    struct Timer final : RepeatingTimer {
        ~Timer() override { *live = false; }
        void invalidate() override { *live = false; }
        std::shared_ptr<bool> live = std::make_shared<bool>(true);
    };
    std::unique_ptr<RepeatingTimer> scheduleRepeating(std::chrono::milliseconds interval,
                                                      std::function<void()> fire) override {
        auto timer = std::make_unique<Timer>();
        slots.append({std::move(fire), timer->live});
        lastInterval = interval;
        return timer;
    }
    // Every timer still scheduled, once.  Over a copy: a firing may schedule or invalidate timers.
    void fire() {
        for (const auto& [fire, live] : QList(slots)) {
            if (*live)
                fire();
        }
    }
    int liveTimers() const {
        return int(std::ranges::count_if(slots, [](const auto& slot) { return *slot.second; }));
    }
    std::chrono::milliseconds lastInterval{0};
    // Kept after their timer is gone, so that a firing in progress stays valid.
    QList<std::pair<std::function<void()>, std::shared_ptr<bool>>> slots;
};

// Synthetic screen content of the given size: a gradient, or noise from a fixed seed.
inline QImage syntheticImage(QSize size, bool noise, quint32 seed = 1) {
    QImage image(size, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            line[x] = noise ? (random.generate() | 0xff000000u)
                            : qRgb((x * 255) / std::max(1, size.width()), (y * 255) / std::max(1, size.height()),
                                   (x / 64 + y / 64) % 2 ? 200 : 40);
        }
    }
    return image;
}

struct FakeScreenCapture final : ScreenCapture {
    bool isCaptureAllowed() override { return allowed; }
    void requestCaptureAccess() override {}
    QString accessInstructions() const override { return QStringLiteral("Allow capture."); }
    QCoro::Task<Result<>> beginSession(std::function<void(QString)>) override {
        sessionOpen = true;
        co_return Result<>{};
    }
    void endSession() override { sessionOpen = false; }
    // A copy: QCoro 0.8 moves from an lvalue that is co_returned into a Result.
    QCoro::Task<Result<QList<DisplayInfo>>> displays() override { co_return QList<DisplayInfo>(screens); }
    QCoro::Task<Result<QImage>> capture(DisplayInfo display, QSize size) override {
        sizes.append(size);
        while (held)
            co_await QCoro::sleepFor(std::chrono::milliseconds(10));
        co_return syntheticImage(size, false, display.id);
    }
    QList<DisplayInfo> screens{DisplayInfo{1, 1440, 900}};
    QList<QSize> sizes; // asked for, in order
    bool held = false;  // captures wait while set, as one held up across a sleep would
    bool allowed = true; // the desktop lets the agent capture
    bool sessionOpen = false;
};

struct FakeMouseMonitor final : MouseMonitor {
    std::optional<Token> install(Handler handler) override {
        handlers.insert(next, std::move(handler));
        return next++;
    }
    void remove(Token token) override { handlers.remove(token); }
    // One event of that type to every installed handler.
    void send(int eventType) {
        for (const Handler& handler : handlers.values())
            handler(eventType);
    }
    QHash<Token, Handler> handlers;
    Token next = 1;
};

struct FakeFrontmostApp final : FrontmostApp {
    std::optional<QString> name() override { return app; }
    std::optional<QString> app = QStringLiteral("Editor");
};

struct FakeHostInfo final : HostInfo {
    QString computerName() const override { return name; }
    QString name = QStringLiteral("Suite 4");
};

struct FakeSystemEvents final : SystemEvents {
    Token observe(SystemEvent event, Handler handler) override {
        handlers.append({event, std::move(handler)});
        return static_cast<Token>(handlers.size());
    }
    std::shared_ptr<void> delaySleep() override { return std::make_shared<int>(0); }
    // To its handlers, as the system would.
    void trigger(SystemEvent event) {
        for (const auto& [kind, handler] : std::as_const(handlers)) {
            if (kind == event)
                handler();
        }
    }
    QList<std::pair<SystemEvent, Handler>> handlers;
};
