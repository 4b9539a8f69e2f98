#pragma once

#include "platform/Platform.h"
#include "platform/wayland/SharedMemoryWindows.h"

#include <QProcessEnvironment>

// Whether `environment` describes a Wayland session: XDG_SESSION_TYPE says so, or a Wayland display is named.
bool isWaylandSession(const QProcessEnvironment& environment);

// The real backends of this desktop, for the session `environment` describes: Wayland or X11 for input,
// windows and screens; D-Bus for the session's events, the Secret Service for tokens, QSettings for the user
// defaults in both.  Called once, on the main thread.
Platform makeLinuxPlatform(const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());

// In a Wayland session, sets Qt's Wayland windows up (see SharedMemoryWindows.h); call before the QApplication
// exists.  Elsewhere nothing is loaded and the answer is WindowDecorations::Qt.
WindowDecorations
prepareWaylandWindows(const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());

// Why the agent's Wayland support could not be loaded in this Wayland session; empty when it was, or was not
// needed.  makeLinuxPlatform() needs it for a Wayland session.
QString waylandSupportError();
