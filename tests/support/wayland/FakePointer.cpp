#include "FakePointer.h"

#include <algorithm>
#include <cstring>

#include "fake-input-client-protocol.h"
#include <wayland-client.h>

FakePointer::FakePointer() {
    m_display = wl_display_connect(nullptr);
    if (!m_display)
        return;
    m_registry = wl_display_get_registry(m_display);
    static const wl_registry_listener listener{
        [](void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
            if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0)
                static_cast<FakePointer*>(data)->m_input = static_cast<org_kde_kwin_fake_input*>(
                    wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, std::min(version, 4u)));
        },
        [](void*, wl_registry*, uint32_t) {}};
    wl_registry_add_listener(m_registry, &listener, this);
    wl_display_roundtrip(m_display);
    if (m_input)
        org_kde_kwin_fake_input_authenticate(m_input, "Vantrel tests", "moves the pointer");
}

FakePointer::~FakePointer() {
    if (m_input)
        org_kde_kwin_fake_input_destroy(m_input);
    if (m_registry)
        wl_registry_destroy(m_registry);
    if (m_display)
        wl_display_disconnect(m_display);
}

void FakePointer::moveTo(int x, int y) {
    org_kde_kwin_fake_input_pointer_motion_absolute(m_input, wl_fixed_from_int(x), wl_fixed_from_int(y));
    wl_display_roundtrip(m_display);
}

void FakePointer::click(int x, int y) {
    constexpr uint32_t kLeftButton = 0x110; // BTN_LEFT of linux/input-event-codes.h
    moveTo(x, y);
    org_kde_kwin_fake_input_button(m_input, kLeftButton, WL_POINTER_BUTTON_STATE_PRESSED);
    org_kde_kwin_fake_input_button(m_input, kLeftButton, WL_POINTER_BUTTON_STATE_RELEASED);
    wl_display_roundtrip(m_display);
}
