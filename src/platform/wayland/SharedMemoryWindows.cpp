#include "platform/wayland/SharedMemoryWindows.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstring>

#include <wayland-client.h>

extern char** environ;

namespace {

bool userTunedQtWayland() {
    for (char** variable = environ; *variable; ++variable) {
        if (std::strncmp(*variable, "QT_WAYLAND_", std::strlen("QT_WAYLAND_")) == 0)
            return true;
    }
    return false;
}

bool compositorDrawsDecorations(wl_display* display) {
    bool offered = false;
    static const wl_registry_listener listener{
        [](void* data, wl_registry*, uint32_t, const char* interface, uint32_t) {
            if (std::strcmp(interface, "zxdg_decoration_manager_v1") == 0)
                *static_cast<bool*>(data) = true;
        },
        [](void*, wl_registry*, uint32_t) {},
    };
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &listener, &offered);
    const bool answered = wl_display_roundtrip(display) >= 0;
    wl_registry_destroy(registry);
    return answered && offered;
}

// Qt reports the integration it was told not to load as a failure, with the list of those it could have
// loaded, at every start.  Exactly those two lines are dropped; everything else goes where it went before.
QtMessageHandler previousHandler = nullptr;

void dropNoIntegrationReport(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (qstrcmp(context.category, "qt.qpa.wayland") == 0 &&
        (message == QLatin1String("Failed to load client buffer integration: \"none\"") ||
         message.startsWith(QLatin1String("Available client buffer integrations: "))))
        return;
    previousHandler(type, context, message);
}

} // namespace

WindowDecorations useSharedMemoryWaylandWindows() {
    if (userTunedQtWayland())
        return WindowDecorations::Qt;
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.startsWith("wayland"))
        return WindowDecorations::Qt;
    if (qgetenv("XDG_SESSION_TYPE") != "wayland" && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return WindowDecorations::Qt;
    wl_display* display = wl_display_connect(nullptr);
    if (!display)
        return WindowDecorations::Qt;
    const bool decorated = compositorDrawsDecorations(display);
    wl_display_disconnect(display);
    qputenv("QT_WAYLAND_CLIENT_BUFFER_INTEGRATION", "none");
    previousHandler = qInstallMessageHandler(dropNoIntegrationReport);
    return decorated ? WindowDecorations::Compositor : WindowDecorations::Application;
}
