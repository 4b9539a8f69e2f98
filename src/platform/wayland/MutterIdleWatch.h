#pragma once

#include "platform/wayland/IdleWatch.h"

#include <QDBusConnection>
#include <QObject>

#include <memory>

// GNOME's idle notification over the session bus (org.gnome.Mutter.IdleMonitor): a lasting watch for one
// second without input, and after it fired a one-shot watch for the next input.
class MutterIdleWatch final : public QObject, public IdleWatch {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MutterIdleWatch)

public:
    // Nothing when no Mutter answers on the bus.
    static std::unique_ptr<IdleWatch> create(Callback callback, QDBusConnection bus = QDBusConnection::sessionBus());
    ~MutterIdleWatch() override;

private Q_SLOTS:
    void onWatchFired(uint id);

private:
    MutterIdleWatch(QDBusConnection bus, Callback callback);
    bool start();
    void watchForInput();

    QDBusConnection m_bus;
    Callback m_callback;
    uint m_idleWatch = 0;
    uint m_activeWatch = 0;
    bool m_idle = false;
};
