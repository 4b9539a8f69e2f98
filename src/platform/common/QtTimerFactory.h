#pragma once

#include "platform/RepeatingTimer.h"

// Repeating timers on the calling thread's event loop (the main thread for the tracker).  Each firing is
// queued as a job of its own, so the callback never runs inside the timer's dispatch and can stop its timer.
class QtTimerFactory final : public TimerFactory {
public:
    std::unique_ptr<RepeatingTimer> scheduleRepeating(std::chrono::milliseconds interval,
                                                      std::function<void()> fire) override;
};
