#include "platform/common/QtTimerFactory.h"

#include <QMetaObject>
#include <QObject>
#include <QTimer>

namespace {

class QtRepeatingTimer final : public RepeatingTimer {
public:
    QtRepeatingTimer(std::chrono::milliseconds interval, std::function<void()> fire)
        : m_fire(std::make_shared<std::function<void()>>(std::move(fire))) {
        m_timer.setTimerType(Qt::CoarseTimer);
        m_timer.setInterval(interval);
        // The queued job holds the callback weakly: once the timer is invalidated or gone, it does nothing.
        std::weak_ptr<std::function<void()>> weakFire = m_fire;
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [weakFire, this] {
            QMetaObject::invokeMethod(
                &m_context,
                [weakFire] {
                    if (auto callback = weakFire.lock())
                        (*callback)();
                },
                Qt::QueuedConnection);
        });
        m_timer.start();
    }

    ~QtRepeatingTimer() override { invalidate(); }

    void invalidate() override {
        m_timer.stop();
        m_fire.reset();
    }

private:
    std::shared_ptr<std::function<void()>> m_fire;
    QObject m_context; // jobs queued on it are dropped with it
    QTimer m_timer;
};

} // namespace

std::unique_ptr<RepeatingTimer> QtTimerFactory::scheduleRepeating(std::chrono::milliseconds interval,
                                                                  std::function<void()> fire) {
    return std::make_unique<QtRepeatingTimer>(interval, std::move(fire));
}
