#include "platform/wayland/WaylandBackends.h"

#include "platform/wayland/GnomeShellActivity.h"
#include "platform/wayland/GnomeTheme.h"
#include "platform/wayland/IdleActivityMonitor.h"
#include "platform/wayland/KWinActivityMonitor.h"
#include "platform/wayland/KWinFrontmostApp.h"
#include "platform/wayland/KWinScript.h"
#include "platform/wayland/MutterIdleWatch.h"
#include "platform/wayland/NoFrontmostApp.h"
#include "platform/wayland/SwayFrontmostApp.h"
#include "platform/wayland/WaylandIdleWatch.h"
#include "platform/wayland/WaylandScreenCapture.h"

namespace {

bool isKdeSession(const QProcessEnvironment& environment) {
    return environment.value(QStringLiteral("XDG_CURRENT_DESKTOP"))
        .split(QLatin1Char(':'))
        .contains(QStringLiteral("KDE"), Qt::CaseInsensitive);
}

} // namespace

void addWaylandBackends(Platform& platform, const QProcessEnvironment& environment) {
    // The compositor's own idle protocols first; GNOME's Mutter offers only its D-Bus monitor.
    auto idle = std::make_shared<IdleActivityMonitor>(std::vector<IdleActivityMonitor::Source>{
        [](IdleWatch::Callback callback, IdleWatch::StatusCallback status) {
            return WaylandIdleWatch::create(std::move(callback), std::move(status));
        },
        [](IdleWatch::Callback callback, IdleWatch::StatusCallback status) {
            return MutterIdleWatch::create(std::move(callback), std::move(status));
        },
    });
    platform.mouse = idle;
    if (isGnomeSession(environment)) {
        // Our shell extension sees focus and the pointer, which GNOME tells no client.
        auto shell = std::make_shared<GnomeShellActivity>();
        platform.frontmost = shell;
        platform.mouse = std::make_shared<GnomeMouseMonitor>(idle, shell);
    } else if (isKdeSession(environment)) {
        // KDE Plasma: the agent's KWin script names the application in front and counts pointer moves.
        auto script = std::make_shared<KWinScript>();
        platform.frontmost = std::make_shared<KWinFrontmostApp>(script);
        platform.mouse = std::make_shared<KWinActivityMonitor>(script, idle);
    } else if (const QString swaySocket = environment.value(QStringLiteral("SWAYSOCK")); !swaySocket.isEmpty()) {
        platform.frontmost = std::make_shared<SwayFrontmostApp>(swaySocket);
    } else {
        platform.frontmost = std::make_shared<NoFrontmostApp>();
    }
    platform.capture = std::make_shared<WaylandScreenCapture>(platform.defaults);
}
