#include "ui/TrackerState.h"

#include "tracker/Tracker.h"

TrackerState TrackerState::of(const Tracker& tracker)
{
    TrackerState state;
    state.server = tracker.server();
    state.pairingCode = tracker.pairingCode();
    state.profile = tracker.profile();
    state.projectID = tracker.projectID();
    state.stage = tracker.stage();
    state.note = tracker.note();
    state.active = tracker.active();
    state.busy = tracker.busy();
    state.formattedTime = tracker.formattedTime();
    state.status = tracker.status();
    state.captureStatus = tracker.captureStatus();
    state.savedPairing = tracker.savedPairing();
    state.editingStages = tracker.editingStages();
    return state;
}

void onPublishedChange(Tracker* tracker, QObject* context, const std::function<void()>& redraw)
{
    for (const auto signal : {&Tracker::serverChanged, &Tracker::pairingCodeChanged, &Tracker::profileChanged,
                              &Tracker::projectIDChanged, &Tracker::stageChanged, &Tracker::noteChanged,
                              &Tracker::activeChanged, &Tracker::busyChanged, &Tracker::elapsedChanged,
                              &Tracker::statusChanged, &Tracker::captureStatusChanged,
                              &Tracker::savedPairingChanged})
        QObject::connect(tracker, signal, context, redraw);
}
