#pragma once

#include "platform/wayland/IdleWatch.h"

#include <QDBusConnection>
#include <QObject>
#include <QSet>

#include <memory>

class QDBusMessage;

// GNOME's idle notification over the session bus (org.gnome.Mutter.IdleMonitor): a lasting watch for one
// second without input, and after it fired a one-shot watch for the next input.  Every call is asynchronous.
class MutterIdleWatch final : public QObject, public IdleWatch {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MutterIdleWatch)

public:
    // Nothing without a session bus; a Mutter that does not answer is told through `status`.
    static std::unique_ptr<IdleWatch> create(Callback callback, StatusCallback status,
                                             QDBusConnection bus = QDBusConnection::sessionBus());
    ~MutterIdleWatch() override;

private Q_SLOTS:
    void onWatchFired(uint id);

private:
    MutterIdleWatch(QDBusConnection bus, Callback callback, StatusCallback status);
    void start();
    void onIdleWatchAdded(const QDBusMessage& reply);
    void onIdleTime(const QDBusMessage& reply);
    void watchForInput();
    void setIdle(bool idle);

    QDBusConnection m_bus;
    Callback m_callback;
    StatusCallback m_status;
    uint m_idleWatch = 0;
    uint m_activeWatch = 0;
    bool m_waitingForActiveWatch = false;
    // Watches that fired before the reply that named them arrived: input right after going idle.
    QSet<uint> m_firedEarly;
    bool m_idle = false;
};
