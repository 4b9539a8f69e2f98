#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

struct xcb_connection_t;
struct xcb_screen_t;

// Ownership of xcb's C objects for the X11 backends; the xcb headers stay in their .cpp files.
namespace xcb {

struct FreeDeleter {
    void operator()(void* pointer) const { std::free(pointer); }
};
// A reply or event that xcb allocated and the caller frees.
template <typename T> using Owned = std::unique_ptr<T, FreeDeleter>;

struct ConnectionDeleter {
    void operator()(xcb_connection_t* connection) const;
};
using Connection = std::unique_ptr<xcb_connection_t, ConnectionDeleter>;

// A new connection to $DISPLAY and its default screen number; null when there is no usable X server.
Connection connect(int* screenNumber = nullptr);

// Screen `number` of the connection; null when the server has no such screen.
xcb_screen_t* screenOf(xcb_connection_t* connection, int number);

// The atom named `name` (a round trip to the server); 0 (XCB_ATOM_NONE) when it cannot be had, or when
// `onlyIfExists` is set and no client has made it yet.
std::uint32_t atom(xcb_connection_t* connection, const char* name, bool onlyIfExists);

} // namespace xcb
