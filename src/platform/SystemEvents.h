#pragma once

#include <QtGlobal>

#include <functional>
#include <memory>

// System events, delivered on the main thread: the first four end tracking.
enum class SystemEvent {
    WillSleep,           // the machine is about to sleep
    ScreensDidSleep,     // the displays went to sleep or were blanked
    SessionResignActive, // the user switched to another session
    ScreenLocked,        // the screen was locked
    NetworkUp,           // a network came up or another took over: the studio may be reachable again
};

class SystemEvents {
public:
    using Token = quint64;
    using Handler = std::function<void()>;

    virtual ~SystemEvents() = default;
    // Registers `handler` for one event; the registration lasts as long as this object.
    virtual Token observe(SystemEvent event, Handler handler) = 0;
    // Holds back sleep while the returned handle lives, so a clock-out reaches the studio first.
    // Empty when the system offers no such delay.
    virtual std::shared_ptr<void> delaySleep() = 0;
};
