#pragma once

#include "platform/Platform.h"

#include <QProcessEnvironment>

// Fills in the Wayland backends for the session `environment` describes: activity from the compositor's idle
// notification (or GNOME's monitor), the frontmost application from the desktop's own interfaces, screenshots
// through the ScreenCast portal.
void addWaylandBackends(Platform& platform, const QProcessEnvironment& environment);
