#pragma once

#include "platform/Clock.h"

// The kernel's clocks: CLOCK_MONOTONIC, which stands still while the machine sleeps, and CLOCK_REALTIME.
class SystemClock final : public Clock {
public:
    double uptime() const override;
    double wallClock() const override;
};
