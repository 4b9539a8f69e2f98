#include "platform/linux/LinuxPlatform.h"

#include "platform/linux/DBusSystemEvents.h"
#include "platform/linux/HostnameInfo.h"
#include "platform/linux/QtTimerFactory.h"
#include "platform/linux/SecretServiceStore.h"
#include "platform/linux/SettingsDefaults.h"
#include "platform/linux/SystemClock.h"
#include "platform/linux/TurboJpegEncoder.h"
#include "platform/linux/X11FrontmostApp.h"
#include "platform/linux/X11ScreenCapture.h"
#include "platform/linux/XcbMouseMonitor.h"

Platform makeLinuxPlatform() {
    Platform platform;
    platform.clock = std::make_shared<SystemClock>();
    platform.defaults = std::make_shared<SettingsDefaults>();
    platform.secrets = std::make_shared<SecretServiceStore>();
    platform.host = std::make_shared<HostnameInfo>();
    platform.mouse = std::make_shared<XcbMouseMonitor>();
    platform.frontmost = std::make_shared<X11FrontmostApp>();
    platform.capture = std::make_shared<X11ScreenCapture>();
    platform.jpeg = std::make_shared<TurboJpegEncoder>();
    platform.timers = std::make_shared<QtTimerFactory>();
    platform.systemEvents = std::make_shared<DBusSystemEvents>();
    return platform;
}
