#include "platform/common/SystemClock.h"

#include <time.h>

namespace {

double seconds(clockid_t id) {
    timespec now{};
    clock_gettime(id, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

} // namespace

double SystemClock::uptime() const {
    return seconds(CLOCK_MONOTONIC);
}

double SystemClock::wallClock() const {
    return seconds(CLOCK_REALTIME);
}
