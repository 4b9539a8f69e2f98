#include "platform/x11/XcbMouseMonitor.h"

#include <QSocketNotifier>

#include <xcb/xcb.h>
#include <xcb/xinput.h>

#include <vector>

namespace {

// Raw events carry a bit mask of the valuators they report; on pointers axes 0 and 1 are x and y, the
// others are scroll axes (a touchpad's two-finger scroll arrives as motion on those alone).
bool movesPointer(const xcb_input_raw_button_press_event_t* event) {
    if (event->valuators_len == 0)
        return false;
    return (xcb_input_raw_button_press_valuator_mask(event)[0] & 0x3u) != 0;
}

bool hasValuators(const xcb_input_raw_button_press_event_t* event) {
    const uint32_t* mask = xcb_input_raw_button_press_valuator_mask(event);
    for (uint16_t i = 0; i < event->valuators_len; ++i) {
        if (mask[i] != 0)
            return true;
    }
    return false;
}

int classifyButton(uint32_t button) {
    switch (button) {
    case 1:
        return MouseMonitor::LeftMouseDown;
    case 3:
        return MouseMonitor::RightMouseDown;
    case 4:
    case 5:
    case 6:
    case 7:
        return MouseMonitor::ScrollWheel;
    case 0:
        return 0;
    default:
        return MouseMonitor::OtherMouseDown;
    }
}

} // namespace

int classifyRawPointerEvent(const void* event) {
    const auto* generic = static_cast<const xcb_ge_generic_event_t*>(event);
    const auto* raw = static_cast<const xcb_input_raw_button_press_event_t*>(event);
    // The server doubles every scroll: wheel clicks as smooth motion and smooth motion as wheel clicks.
    // The copy is flagged as emulated; counting only the original counts each scroll once.
    if (raw->flags & XCB_INPUT_POINTER_EVENT_FLAGS_POINTER_EMULATED)
        return 0;
    if (generic->event_type == XCB_INPUT_RAW_BUTTON_PRESS)
        return classifyButton(raw->detail);
    if (generic->event_type == XCB_INPUT_RAW_MOTION) {
        if (movesPointer(raw))
            return MouseMonitor::MouseMoved;
        if (hasValuators(raw))
            return MouseMonitor::ScrollWheel;
    }
    return 0;
}

XcbMouseMonitor::XcbMouseMonitor(QObject* parent)
    : QObject(parent) {}

XcbMouseMonitor::~XcbMouseMonitor() {
    close();
}

std::optional<MouseMonitor::Token> XcbMouseMonitor::install(Handler handler) {
    if (!handler || (!m_connection && !open()))
        return std::nullopt;
    return m_handlers.add(std::move(handler));
}

void XcbMouseMonitor::remove(Token token) {
    m_handlers.remove(token);
    if (m_handlers.isEmpty())
        close();
}

bool XcbMouseMonitor::open() {
    int screenNumber = 0;
    xcb::Connection connection = xcb::connect(&screenNumber);
    if (!connection)
        return false;
    xcb_connection_t* c = connection.get();
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(c, &xcb_input_id);
    if (!extension || !extension->present)
        return false;
    // 2.2 so that the server reports smooth scrolling and flags its emulated wheel copies.
    xcb::Owned<xcb_input_xi_query_version_reply_t> version(
        xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr));
    if (!version || version->major_version < 2)
        return false;

    const xcb_screen_t* screen = xcb::screenOf(c, screenNumber);
    if (!screen)
        return false;
    struct {
        xcb_input_event_mask_t head;
        uint32_t bits;
    } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1},
           XCB_INPUT_XI_EVENT_MASK_RAW_MOTION | XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS};
    xcb::Owned<xcb_generic_error_t> error(
        xcb_request_check(c, xcb_input_xi_select_events_checked(c, screen->root, 1, &mask.head)));
    if (error)
        return false;

    m_xinputOpcode = extension->major_opcode;
    m_connection = std::move(connection);
    m_notifier = new QSocketNotifier(xcb_get_file_descriptor(c), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &XcbMouseMonitor::readEvents);
    // Events that arrived while the replies above were awaited sit in xcb's queue, not on the socket.
    readEvents();
    return true;
}

void XcbMouseMonitor::close() {
    delete m_notifier;
    m_notifier = nullptr;
    m_connection.reset();
}

void XcbMouseMonitor::readEvents() {
    // Classify the whole batch first: a handler may remove itself, which closes the connection.
    std::vector<int> types;
    while (m_connection) {
        xcb::Owned<xcb_generic_event_t> event(xcb_poll_for_event(m_connection.get()));
        if (!event)
            break;
        if ((event->response_type & 0x7f) != XCB_GE_GENERIC)
            continue;
        const auto* generic = reinterpret_cast<const xcb_ge_generic_event_t*>(event.get());
        if (generic->extension != m_xinputOpcode)
            continue;
        if (const int type = classifyRawPointerEvent(event.get()))
            types.push_back(type);
    }
    if (m_connection && xcb_connection_has_error(m_connection.get()))
        close(); // the X server went away: the source falls silent rather than spinning on a dead socket
    for (int type : types)
        m_handlers.deliver(type);
}
