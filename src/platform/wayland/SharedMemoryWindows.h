#pragma once

// Qt's Wayland plugin loads EGL, Mesa and LLVM (about 50 MiB resident, even on machines without a GPU) the
// first time any window is shown, only to learn whether it may draw window decorations itself.  Where the
// compositor draws decorations (it offers xdg-decoration: sway, KWin and most wlroots desktops), the
// agent's widget windows need nothing but shared memory, so the plugin is told to load no GPU buffer
// integration at all.  Elsewhere (GNOME draws no title bar for its clients) Qt 6.4 needs that integration
// for its own title bar, and nothing changes.
//
// Call before the QApplication exists.  Leaves a user's own QT_WAYLAND_* settings and non-Wayland sessions
// alone.  Returns whether it chose shared memory.
bool useSharedMemoryWindowsWhereDecorated();
