#pragma once

#include "platform/Clock.h"
#include "platform/Defaults.h"
#include "platform/FrontmostApp.h"
#include "platform/HostInfo.h"
#include "platform/JpegEncoder.h"
#include "platform/MouseMonitor.h"
#include "platform/RepeatingTimer.h"
#include "platform/ScreenCapture.h"
#include "platform/SecretStore.h"
#include "platform/SystemEvents.h"

#include <memory>

// Everything the tracker needs from the operating system.  The application picks the real backends;
// tests pick real ones where this machine has them and fakes for clocks and the rest.
struct Platform {
    std::shared_ptr<Clock> clock;
    std::shared_ptr<Defaults> defaults;
    std::shared_ptr<SecretStore> secrets;
    std::shared_ptr<HostInfo> host;
    std::shared_ptr<MouseMonitor> mouse;
    std::shared_ptr<FrontmostApp> frontmost;
    std::shared_ptr<ScreenCapture> capture;
    std::shared_ptr<JpegEncoder> jpeg;
    std::shared_ptr<TimerFactory> timers;
    std::shared_ptr<SystemEvents> systemEvents;
};
