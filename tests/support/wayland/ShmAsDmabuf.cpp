// Preloaded into xdg-desktop-portal-wlr only, in the test session.  A compositor without a GPU (sway on the
// pixman renderer) offers screen copies in shared memory alone, and the portal backend gives up on a
// screencopy v3 frame that announces no GPU buffer format.  This library announces the shared-memory
// format in that place too; the backend then finds no GPU to allocate for and negotiates shared memory
// with its PipeWire consumers, which is all the agent accepts anyway.
#include <dlfcn.h>
#include <wayland-client-core.h>

#include <cstdint>
#include <cstring>

namespace {

// zwlr_screencopy_frame_v1 events, in protocol order.
enum Event { Buffer, Flags, Ready, Failed, Damage, LinuxDmabuf, BufferDone, EventCount };
using Handler = void (*)(void);
using BufferHandler = void (*)(void*, wl_proxy*, uint32_t format, uint32_t width, uint32_t height, uint32_t stride);
using DmabufHandler = void (*)(void*, wl_proxy*, uint32_t format, uint32_t width, uint32_t height);

Handler original[EventCount];
Handler wrapped[EventCount];

// wl_shm names its two oldest formats 0 and 1; every other value already is the DRM fourcc.
constexpr uint32_t drmFormat(uint32_t shm) {
    constexpr auto fourcc = [](char a, char b, char c, char d) {
        return uint32_t(a) | uint32_t(b) << 8 | uint32_t(c) << 16 | uint32_t(d) << 24;
    };
    return shm == 0 ? fourcc('A', 'R', '2', '4') : shm == 1 ? fourcc('X', 'R', '2', '4') : shm;
}

void onBuffer(void* data, wl_proxy* frame, uint32_t format, uint32_t width, uint32_t height, uint32_t stride) {
    reinterpret_cast<BufferHandler>(original[Buffer])(data, frame, format, width, height, stride);
    if (original[LinuxDmabuf] && wl_proxy_get_version(frame) >= 3)
        reinterpret_cast<DmabufHandler>(original[LinuxDmabuf])(data, frame, drmFormat(format), width, height);
}

} // namespace

extern "C" int wl_proxy_add_listener(wl_proxy* proxy, void (**implementation)(void), void* data) {
    static const auto next =
        reinterpret_cast<int (*)(wl_proxy*, void (**)(void), void*)>(dlsym(RTLD_NEXT, "wl_proxy_add_listener"));
    if (std::strcmp(wl_proxy_get_class(proxy), "zwlr_screencopy_frame_v1") != 0 || !implementation[Buffer])
        return next(proxy, implementation, data);
    // The backend uses one listener table for every frame: remember it, answer with a copy.
    std::memcpy(original, implementation, sizeof original);
    std::memcpy(wrapped, implementation, sizeof wrapped);
    wrapped[Buffer] = reinterpret_cast<Handler>(onBuffer);
    return next(proxy, wrapped, data);
}
