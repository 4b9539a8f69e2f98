#include "tracker/Tracker.h"

#include "tracker/Texts.h"

#include <QPointer>

namespace {

// Each event clocks out in a job of its own, so the event's delivery is never held up.
SystemEvents::Handler stopHandler(QPointer<Tracker> tracker, QString reason)
{
    return [tracker, reason] {
        if (!tracker)
            return;
        QMetaObject::invokeMethod(
            tracker.data(), [tracker, reason] { if (tracker) tracker->stop(reason); }, Qt::QueuedConnection);
    };
}

} // namespace

void Tracker::registerSystemEvents()
{
    if (!m_platform.systemEvents)
        return;
    SystemEvents& events = *m_platform.systemEvents;
    for (const SystemEvent event : {SystemEvent::WillSleep, SystemEvent::ScreensDidSleep, SystemEvent::SessionResignActive})
        m_observers.append(events.observe(event, stopHandler(this, texts::kSleepOrSwitch)));
    m_distributed = events.observe(SystemEvent::ScreenLocked, stopHandler(this, texts::kLocked));
    // Back on a network: a queued clock-out need not wait out its back-off.
    events.observe(SystemEvent::NetworkUp, [tracker = QPointer<Tracker>(this)] {
        if (tracker)
            tracker->deliverSoon();
    });
}
