#pragma once

// Qt's Wayland plugin loads EGL, Mesa and LLVM (about 50 MiB resident, even on machines without a GPU) the
// first time any window is shown, only to learn whether it may draw window decorations itself.  The
// agent's widget windows need nothing but shared memory, so the plugin is told to load no GPU buffer
// integration.  Where the compositor draws decorations (it offers xdg-decoration: sway, KWin and most
// wlroots desktops) nothing else changes; where it draws none (GNOME), Qt 6.4 then draws none either and
// the agent's windows bring their own title bars.
enum class WindowDecorations {
    Qt,         // not a Wayland session, or the user set QT_WAYLAND_* themselves: left alone
    Compositor, // shared memory; the compositor draws them
    Application // shared memory; the application must draw its own
};

// Call before the QApplication exists.
WindowDecorations useSharedMemoryWaylandWindows();
