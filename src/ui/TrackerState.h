#pragma once

#include "records/Records.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QObject;
class Tracker;

// What the window and the tray menu draw: the tracker's published fields, read at one moment.
// Drawing is a function of this alone, so neither view keeps state of its own.
struct TrackerState {
    QString server;
    QString pairingCode;
    std::optional<Profile> profile;
    QString projectID;
    QString stage;
    QString note;
    bool active = false;
    bool busy = false;
    QString formattedTime;
    QString status;
    QString captureStatus;
    bool savedPairing = false;
    QStringList editingStages;

    static TrackerState of(const Tracker& tracker);
};

// Calls `redraw` after every published change of `tracker`, for as long as `context` lives.
void onPublishedChange(Tracker* tracker, QObject* context, const std::function<void()>& redraw);
