#pragma once

#include "platform/wayland/IdleWatch.h"

#include <QObject>

#include <memory>

class QSocketNotifier;
struct WaylandIdleObjects;

// The idle notification of a Wayland compositor over the session's own connection: ext-idle-notify-v1
// where offered, else KDE's org_kde_kwin_idle (KWin, and wlroots compositors before ext-idle-notify).
// Events are read on the main thread through a socket notifier, the compositor's globals included: nothing
// waits for the compositor.
class WaylandIdleWatch final : public QObject, public IdleWatch {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WaylandIdleWatch)

public:
    // Nothing when there is no Wayland display; whether the compositor offers either protocol is told
    // through `status`.
    static std::unique_ptr<IdleWatch> create(Callback callback, StatusCallback status);
    ~WaylandIdleWatch() override;

private:
    WaylandIdleWatch(std::unique_ptr<WaylandIdleObjects> objects, Callback callback, StatusCallback status);
    void watch();
    void readEvents();

    std::unique_ptr<WaylandIdleObjects> m_objects;
    Callback m_callback;
    StatusCallback m_status;
    QSocketNotifier* m_notifier = nullptr;
};
