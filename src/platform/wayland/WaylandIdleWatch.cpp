#include "platform/wayland/WaylandIdleWatch.h"

#include <QSocketNotifier>

#include <cstring>
#include <functional>

#include "ext-idle-notify-v1-client-protocol.h"
#include "idle-client-protocol.h"
#include <wayland-client.h>

namespace {

constexpr uint32_t kTimeoutMs = 1000;

} // namespace

// The connection and the protocol objects, in the order they are released.
struct WaylandIdleObjects {
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_seat* seat = nullptr;
    ext_idle_notifier_v1* notifier = nullptr;
    org_kde_kwin_idle* kdeIdle = nullptr;
    ext_idle_notification_v1* notification = nullptr;
    org_kde_kwin_idle_timeout* kdeTimeout = nullptr;
    wl_callback* registryDone = nullptr;
    IdleWatch::Callback* callback = nullptr; // the watch's, while it lives
    std::function<void()> onRegistryDone;    // the watch's, while it lives

    ~WaylandIdleObjects() {
        if (registryDone)
            wl_callback_destroy(registryDone);
        if (notification)
            ext_idle_notification_v1_destroy(notification);
        if (kdeTimeout)
            org_kde_kwin_idle_timeout_release(kdeTimeout);
        if (notifier)
            ext_idle_notifier_v1_destroy(notifier);
        if (kdeIdle)
            org_kde_kwin_idle_destroy(kdeIdle);
        if (seat)
            wl_seat_destroy(seat);
        if (registry)
            wl_registry_destroy(registry);
        if (display)
            wl_display_disconnect(display);
    }

    void tell(bool idle) const {
        if (callback && *callback)
            (*callback)(idle);
    }
};

namespace {

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
    auto* o = static_cast<WaylandIdleObjects*>(data);
    // The first seat is the user's: compositors that run several have the first one as the default.
    if (!o->seat && std::strcmp(interface, wl_seat_interface.name) == 0)
        o->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    else if (!o->notifier && std::strcmp(interface, ext_idle_notifier_v1_interface.name) == 0)
        o->notifier =
            static_cast<ext_idle_notifier_v1*>(wl_registry_bind(registry, name, &ext_idle_notifier_v1_interface, 1));
    else if (!o->kdeIdle && std::strcmp(interface, org_kde_kwin_idle_interface.name) == 0)
        o->kdeIdle = static_cast<org_kde_kwin_idle*>(wl_registry_bind(registry, name, &org_kde_kwin_idle_interface, 1));
}

void onGlobalRemove(void*, wl_registry*, uint32_t) {}

const wl_registry_listener kRegistryListener{onGlobal, onGlobalRemove};

const ext_idle_notification_v1_listener kNotificationListener{
    [](void* data, ext_idle_notification_v1*) { static_cast<WaylandIdleObjects*>(data)->tell(true); },
    [](void* data, ext_idle_notification_v1*) { static_cast<WaylandIdleObjects*>(data)->tell(false); },
};

const wl_callback_listener kRegistryDoneListener{[](void* data, wl_callback* callback, uint32_t) {
    auto* o = static_cast<WaylandIdleObjects*>(data);
    wl_callback_destroy(callback);
    o->registryDone = nullptr;
    if (o->onRegistryDone)
        o->onRegistryDone();
}};

const org_kde_kwin_idle_timeout_listener kKdeTimeoutListener{
    [](void* data, org_kde_kwin_idle_timeout*) { static_cast<WaylandIdleObjects*>(data)->tell(true); },
    [](void* data, org_kde_kwin_idle_timeout*) { static_cast<WaylandIdleObjects*>(data)->tell(false); },
};

} // namespace

std::unique_ptr<IdleWatch> WaylandIdleWatch::create(Callback callback, StatusCallback status) {
    auto objects = std::make_unique<WaylandIdleObjects>();
    // Connecting is local and quick; the globals arrive later, read with the rest of the events.
    objects->display = wl_display_connect(nullptr);
    if (!objects->display)
        return nullptr;
    objects->registry = wl_display_get_registry(objects->display);
    wl_registry_add_listener(objects->registry, &kRegistryListener, objects.get());
    objects->registryDone = wl_display_sync(objects->display);
    wl_callback_add_listener(objects->registryDone, &kRegistryDoneListener, objects.get());
    if (wl_display_flush(objects->display) < 0)
        return nullptr;
    return std::unique_ptr<IdleWatch>(new WaylandIdleWatch(std::move(objects), std::move(callback), std::move(status)));
}

WaylandIdleWatch::WaylandIdleWatch(std::unique_ptr<WaylandIdleObjects> objects, Callback callback,
                                   StatusCallback status)
    : m_objects(std::move(objects))
    , m_callback(std::move(callback))
    , m_status(std::move(status)) {
    m_objects->callback = &m_callback;
    m_objects->onRegistryDone = [this] { watch(); };
    m_notifier = new QSocketNotifier(wl_display_get_fd(m_objects->display), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &WaylandIdleWatch::readEvents);
}

void WaylandIdleWatch::watch() {
    WaylandIdleObjects& o = *m_objects;
    if (o.seat && o.notifier) {
        o.notification = ext_idle_notifier_v1_get_idle_notification(o.notifier, kTimeoutMs, o.seat);
        ext_idle_notification_v1_add_listener(o.notification, &kNotificationListener, &o);
        m_status(Status::Armed);
    } else if (o.seat && o.kdeIdle) {
        o.kdeTimeout = org_kde_kwin_idle_get_idle_timeout(o.kdeIdle, o.seat, kTimeoutMs);
        org_kde_kwin_idle_timeout_add_listener(o.kdeTimeout, &kKdeTimeoutListener, &o);
        m_status(Status::Armed);
    } else {
        m_status(Status::Unavailable);
    }
}

WaylandIdleWatch::~WaylandIdleWatch() {
    m_objects->callback = nullptr;
    m_objects->onRegistryDone = nullptr;
}

void WaylandIdleWatch::readEvents() {
    wl_display* display = m_objects->display;
    // Events may already be queued from the last round trip; then there is nothing to read first.
    if (wl_display_prepare_read(display) == 0)
        wl_display_read_events(display);
    if (wl_display_dispatch_pending(display) < 0 || wl_display_get_error(display) != 0) {
        m_notifier->setEnabled(false);
        if (m_objects->registryDone) {
            m_status(Status::Unavailable); // gone before it told its globals
            return;
        }
        // The compositor is gone: no input will be reported any more.
        m_objects->tell(true);
        return;
    }
    wl_display_flush(display);
}
