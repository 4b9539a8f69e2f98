#pragma once

#include "platform/Clock.h"
#include "platform/FrontmostApp.h"
#include "platform/HostInfo.h"
#include "platform/JpegEncoder.h"
#include "platform/MouseMonitor.h"
#include "platform/RepeatingTimer.h"
#include "platform/ScreenCapture.h"
#include "platform/SystemEvents.h"

#include <QHash>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// Stand-ins for what no real component can drive on command here: time, the timer, displays, the mouse,
// the application in front, and system events.  Each is steered by hand from the test.

class FakeClock final : public Clock {
public:
    double uptime() const override { return m_uptime; }
    double wallClock() const override { return m_wall; }
    void set(double uptime, double wall)
    {
        m_uptime = uptime;
        m_wall = wall;
    }
    // Time passing while the machine is awake: both clocks move.
    void advance(double seconds)
    {
        m_uptime += seconds;
        m_wall += seconds;
    }
    // Only the wall clock moves, as during a sleep the uptime clock does not count.
    void shiftWall(double seconds) { m_wall += seconds; }

private:
    double m_uptime = 1000.0;
    double m_wall = 1'700'000'000.0;
};

class FakeTimerFactory final : public TimerFactory {
public:
    std::unique_ptr<RepeatingTimer> scheduleRepeating(std::chrono::milliseconds interval,
                                                      std::function<void()> fire) override;
    // Fires every timer still scheduled, once.
    void fire();
    int liveTimers() const;
    std::chrono::milliseconds lastInterval() const { return m_lastInterval; }

private:
    struct Slot {
        std::function<void()> fire;
        bool live = true;
    };
    QList<std::shared_ptr<Slot>> m_slots;
    std::chrono::milliseconds m_lastInterval{0};
};

class FakeScreenCapture final : public ScreenCapture {
public:
    bool isCaptureAllowed() override { return m_allowed; }
    void requestCaptureAccess() override { ++m_accessRequests; }
    QCoro::Task<Result<QList<DisplayInfo>>> displays() override;
    QCoro::Task<Result<QImage>> capture(DisplayInfo display, QSize size) override;

    void setAllowed(bool allowed) { m_allowed = allowed; }
    void setDisplays(QList<DisplayInfo> displays) { m_displays = std::move(displays); }
    // Pure noise makes the encoder work hardest; otherwise a smooth gradient.
    void setNoise(bool noise) { m_noise = noise; }
    int accessRequests() const { return m_accessRequests; }
    // The sizes asked for, in order.
    const QList<QSize>& requestedSizes() const { return m_sizes; }

private:
    bool m_allowed = true;
    bool m_noise = false;
    int m_accessRequests = 0;
    QList<DisplayInfo> m_displays{DisplayInfo{1, 1440, 900}};
    QList<QSize> m_sizes;
};

// Synthetic screen content of the given size: a gradient, or noise from a fixed seed.
QImage syntheticImage(QSize size, bool noise, quint32 seed = 1);

class FakeMouseMonitor final : public MouseMonitor {
public:
    std::optional<Token> install(Handler handler) override;
    void remove(Token token) override;
    // Delivers one event of that type to every installed handler.
    void send(int eventType);
    int installed() const { return static_cast<int>(m_handlers.size()); }

private:
    QHash<Token, Handler> m_handlers;
    Token m_next = 1;
};

class FakeFrontmostApp final : public FrontmostApp {
public:
    std::optional<QString> name() override { return m_name; }
    void set(std::optional<QString> name) { m_name = std::move(name); }

private:
    std::optional<QString> m_name = QStringLiteral("Editor");
};

class FakeHostInfo final : public HostInfo {
public:
    QString computerName() const override { return m_name; }
    void set(QString name) { m_name = std::move(name); }

private:
    QString m_name = QStringLiteral("Suite 4");
};

class FakeSystemEvents final : public SystemEvents {
public:
    Token observe(SystemEvent event, Handler handler) override;
    std::shared_ptr<void> delaySleep() override;
    // Delivers the event to its handlers, as the system would.
    void trigger(SystemEvent event);
    int observerCount() const { return static_cast<int>(m_handlers.size()); }
    // How many sleep delays are held right now.
    long heldDelays() const { return m_delay.use_count() - 1; }

private:
    QList<std::pair<SystemEvent, Handler>> m_handlers;
    std::shared_ptr<int> m_delay = std::make_shared<int>(0);
};
