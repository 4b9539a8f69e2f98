#pragma once

#include "platform/Platform.h"
#include "platform/wayland/SharedMemoryWindows.h"

#include <QProcessEnvironment>

// What the agent takes from its Wayland module (libvantrel-wayland.so): the Wayland backends and the set-up of
// Qt's Wayland windows, which between them need PipeWire and the Wayland client library.  The agent loads it
// only in a Wayland session, so that under X11 neither library is mapped.  Built and shipped with the agent.
struct WaylandModule {
    WindowDecorations (*useSharedMemoryWindows)();
    void (*addBackends)(Platform& platform, const QProcessEnvironment& environment);
};

// The module's one exported symbol.
extern "C" const WaylandModule* vantrelWaylandModule();
inline constexpr char kWaylandModuleEntry[] = "vantrelWaylandModule";
