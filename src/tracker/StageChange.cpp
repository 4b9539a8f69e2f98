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
    co_await stop(texts::kSwitchingStage);
    if (!pending().isEmpty()) {
        setStatus(texts::kStageChangePaused);
        co_return;
    }
    setStage(requested);
    co_await start();
}
