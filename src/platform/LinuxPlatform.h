#pragma once

#include "platform/Platform.h"

// The real backends of this desktop: X11 for input, windows and screens, D-Bus for the session's events,
// the Secret Service for tokens, QSettings for the user defaults.  Called once, on the main thread.
Platform makeLinuxPlatform();
