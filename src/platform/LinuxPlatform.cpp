#include "platform/LinuxPlatform.h"

#include "platform/common/DBusSystemEvents.h"
#include "platform/common/HostnameInfo.h"
#include "platform/common/QtTimerFactory.h"
#include "platform/common/SecretServiceStore.h"
#include "platform/common/SettingsDefaults.h"
#include "platform/common/SystemClock.h"
#include "platform/common/TurboJpegEncoder.h"
#include "platform/x11/X11FrontmostApp.h"
#include "platform/x11/X11ScreenCapture.h"
#include "platform/x11/XcbMouseMonitor.h"

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
