#pragma once

#include "platform/Platform.h"

#include <QProcessEnvironment>

// Whether `environment` describes a Wayland session: XDG_SESSION_TYPE says so, or a Wayland display is named.
bool isWaylandSession(const QProcessEnvironment& environment);

// The real backends of this desktop, for the session `environment` describes: Wayland or X11 for input,
// windows and screens; D-Bus for the session's events, the Secret Service for tokens, QSettings for the user
// defaults in both.  Called once, on the main thread.
Platform makeLinuxPlatform(const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());
