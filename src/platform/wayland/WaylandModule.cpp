#include "platform/wayland/WaylandModule.h"

#include "platform/wayland/WaylandBackends.h"

extern "C" Q_DECL_EXPORT const WaylandModule* vantrelWaylandModule() {
    static const WaylandModule module{&useSharedMemoryWaylandWindows, &addWaylandBackends};
    return &module;
}
