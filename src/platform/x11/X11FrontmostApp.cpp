#include "platform/x11/X11FrontmostApp.h"

#include <xcb/xcb.h>

namespace {

xcb::Owned<xcb_get_property_reply_t> readProperty(xcb_connection_t* c, xcb_window_t window, xcb_atom_t name,
                                                  xcb_atom_t type, uint32_t longs) {
    return xcb::Owned<xcb_get_property_reply_t>(
        xcb_get_property_reply(c, xcb_get_property(c, 0, window, name, type, 0, longs), nullptr));
}

} // namespace

X11FrontmostApp::X11FrontmostApp(QObject* parent)
    : QObject(parent) {
    connectToDisplay();
}

X11FrontmostApp::~X11FrontmostApp() = default;

bool X11FrontmostApp::connectToDisplay() {
    int screenNumber = 0;
    xcb::Connection connection = xcb::connect(&screenNumber);
    if (!connection)
        return false;
    xcb_connection_t* c = connection.get();
    const xcb_screen_t* screen = xcb::screenOf(c, screenNumber);
    if (!screen)
        return false;
    const xcb_atom_t activeWindow = xcb::atom(c, "_NET_ACTIVE_WINDOW", false);
    if (activeWindow == XCB_ATOM_NONE)
        return false;
    m_root = screen->root;
    m_activeWindowAtom = activeWindow;
    m_connection = std::move(connection);
    return true;
}

std::optional<QString> X11FrontmostApp::name() {
    if (m_connection && xcb_connection_has_error(m_connection.get()))
        m_connection.reset();
    if (!m_connection && !connectToDisplay())
        return std::nullopt;
    xcb_connection_t* c = m_connection.get();

    const auto active = readProperty(c, m_root, m_activeWindowAtom, XCB_ATOM_WINDOW, 1);
    if (!active || active->type != XCB_ATOM_WINDOW || active->format != 32 ||
        xcb_get_property_value_length(active.get()) < 4)
        return std::nullopt;
    const xcb_window_t window = *static_cast<const xcb_window_t*>(xcb_get_property_value(active.get()));
    if (window == XCB_WINDOW_NONE)
        return std::nullopt;

    // WM_CLASS is "instance\0class\0"; a window that is gone answers with an error and no reply.
    const auto wmClass = readProperty(c, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 256);
    if (!wmClass || wmClass->format != 8)
        return std::nullopt;
    const QByteArray bytes(static_cast<const char*>(xcb_get_property_value(wmClass.get())),
                           xcb_get_property_value_length(wmClass.get()));
    const QList<QByteArray> parts = bytes.split('\0');
    const QString instance = QString::fromLocal8Bit(parts.value(0)).trimmed();
    const QString className = QString::fromLocal8Bit(parts.value(1)).trimmed();
    for (const QString& key : {className, instance}) {
        if (key.isEmpty())
            continue;
        if (auto entryName = m_applications.nameFor(key))
            return entryName;
    }
    if (className.isEmpty())
        return std::nullopt;
    return className;
}
