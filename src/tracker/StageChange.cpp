#include "tracker/Tracker.h"

#include "tracker/Texts.h"

QCoro::Task<> Tracker::changeStage(QString requested)
{
    if (!m_editingStages.contains(requested) || requested == m_stage)
        co_return;
    if (m_busy || m_starting)
        co_return;
    if (!m_active) {
        setStage(requested);
        co_return;
    }
    // Each stage is a work segment of its own: close this one, then open the next.
    m_switchingStage = true;
    co_await stop(texts::kSwitchingStage);
    m_switchingStage = false;
    if (const std::optional<QString> endedBy = std::exchange(m_switchEndedBy, std::nullopt)) {
        // A lock, sleep or clock-out came while the old segment was closing: no clock-in behind it.  The user
        // reads why, followed by what the clock-out appended to its own reason.
        const QString notice =
            m_status.startsWith(texts::kSwitchingStage) ? m_status.mid(texts::kSwitchingStage.size()) : QString();
        setStatus(*endedBy + notice);
        if (!ownQueued())
            setStage(requested);
        co_return;
    }
    if (ownQueued()) {
        setStatus(texts::kStageChangePaused);
        co_return;
    }
    setStage(requested);
    co_await start();
}
