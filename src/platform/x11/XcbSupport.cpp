#include "platform/x11/XcbSupport.h"

#include <xcb/xcb.h>

#include <cstring>

namespace xcb {

void ConnectionDeleter::operator()(xcb_connection_t* connection) const {
    xcb_disconnect(connection);
}

Connection connect(int* screenNumber) {
    int screen = 0;
    // xcb returns an object in an error state rather than null when it cannot connect; it must still be freed.
    Connection connection(xcb_connect(nullptr, &screen));
    if (!connection || xcb_connection_has_error(connection.get()))
        return nullptr;
    if (screenNumber)
        *screenNumber = screen;
    return connection;
}

xcb_screen_t* screenOf(xcb_connection_t* connection, int number) {
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < number && screens.rem; ++i)
        xcb_screen_next(&screens);
    return screens.rem ? screens.data : nullptr;
}

std::uint32_t atom(xcb_connection_t* connection, const char* name, bool onlyIfExists) {
    const auto length = static_cast<std::uint16_t>(std::strlen(name));
    Owned<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, onlyIfExists, length, name), nullptr));
    return reply ? reply->atom : std::uint32_t{XCB_ATOM_NONE};
}

} // namespace xcb
