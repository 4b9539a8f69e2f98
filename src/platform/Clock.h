#pragma once

// The two clocks the tracker reads.  Tests replace them to control time.
class Clock {
public:
    virtual ~Clock() = default;
    // Seconds the system has been awake since boot: monotonic, standing still during suspend.
    virtual double uptime() const = 0;
    // Seconds since 1970-01-01 00:00:00 UTC.
    virtual double wallClock() const = 0;
};
