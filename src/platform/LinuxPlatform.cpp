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

#ifdef VANTREL_WAYLAND_MODULE
#include "platform/wayland/WaylandModule.h"

#include <QDir>
#include <QFileInfo>

#include <dlfcn.h>
#else
#include "platform/wayland/WaylandBackends.h"
#endif

bool isWaylandSession(const QProcessEnvironment& environment) {
    return environment.value(QStringLiteral("XDG_SESSION_TYPE")) == u"wayland" ||
           !environment.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty();
}

namespace {

#ifdef VANTREL_WAYLAND_MODULE
struct LoadedModule {
    const WaylandModule* module = nullptr;
    QString error;
};

// Loaded once and kept: the module installs Qt message handlers and owns the backends' code.
const LoadedModule& waylandModule() {
    static const LoadedModule loaded = [] {
        LoadedModule result;
        // Found beside the agent's own binary (the package installs both; the build tree mirrors it), never
        // through a search path that another user could put a library in.
        const QString binary = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
        const QString path = QDir::cleanPath(QFileInfo(binary).absolutePath() + u'/' +
                                             QStringLiteral(VANTREL_WAYLAND_MODULE "/libvantrel-wayland.so"));
        void* handle = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
        const auto entry =
            handle ? reinterpret_cast<decltype(&vantrelWaylandModule)>(dlsym(handle, kWaylandModuleEntry)) : nullptr;
        if (entry)
            result.module = entry();
        else if (const char* why = dlerror())
            result.error = QString::fromLocal8Bit(why);
        else
            result.error = path;
        return result;
    }();
    return loaded;
}

void addWaylandBackends(Platform& platform, const QProcessEnvironment& environment) {
    if (const WaylandModule* module = waylandModule().module)
        module->addBackends(platform, environment);
}
#endif

void addX11Backends(Platform& platform) {
    platform.mouse = std::make_shared<XcbMouseMonitor>();
    platform.frontmost = std::make_shared<X11FrontmostApp>();
    platform.capture = std::make_shared<X11ScreenCapture>();
}

} // namespace

Platform makeLinuxPlatform(const QProcessEnvironment& environment) {
    Platform platform;
    platform.clock = std::make_shared<SystemClock>();
    platform.defaults = std::make_shared<SettingsDefaults>();
    platform.secrets = std::make_shared<SecretServiceStore>();
    platform.host = std::make_shared<HostnameInfo>();
    platform.jpeg = std::make_shared<TurboJpegEncoder>();
    platform.timers = std::make_shared<QtTimerFactory>();
    platform.systemEvents = std::make_shared<DBusSystemEvents>();
    if (isWaylandSession(environment))
        addWaylandBackends(platform, environment);
    else
        addX11Backends(platform);
    return platform;
}

WindowDecorations prepareWaylandWindows(const QProcessEnvironment& environment) {
    if (!isWaylandSession(environment))
        return WindowDecorations::Qt;
#ifdef VANTREL_WAYLAND_MODULE
    const WaylandModule* module = waylandModule().module;
    return module ? module->useSharedMemoryWindows() : WindowDecorations::Qt;
#else
    return useSharedMemoryWaylandWindows();
#endif
}

QString waylandSupportError() {
#ifdef VANTREL_WAYLAND_MODULE
    if (isWaylandSession(QProcessEnvironment::systemEnvironment()))
        return waylandModule().error;
#endif
    return {};
}
