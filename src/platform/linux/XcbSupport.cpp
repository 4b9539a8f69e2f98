#include "platform/linux/XcbSupport.h"

#include <xcb/xcb.h>

namespace xcb {

void ConnectionDeleter::operator()(xcb_connection_t* connection) const
{
    xcb_disconnect(connection);
}

Connection connect(int* screenNumber)
{
    int screen = 0;
    // xcb returns an object in an error state rather than null when it cannot connect; it must still be freed.
    Connection connection(xcb_connect(nullptr, &screen));
    if (!connection || xcb_connection_has_error(connection.get()))
        return nullptr;
    if (screenNumber)
        *screenNumber = screen;
    return connection;
}

} // namespace xcb
