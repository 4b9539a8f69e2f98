#pragma once

#include <QProcessEnvironment>

// Qt's GTK theme, which Qt picks in a GNOME session, loads GTK, cairo and pango and starts GTK on a display
// connection of its own (about 12 MiB) to learn the interface font and the icon theme.  The agent draws its
// own dark palette with the Fusion style and shows no GTK dialog, so in a GNOME Wayland session it takes
// Qt's built-in GNOME theme and reads those two settings from the desktop itself.

// Whether the session is GNOME's, or one built on it: XDG_CURRENT_DESKTOP is a list such as "ubuntu:GNOME" or
// "GNOME-Classic:GNOME".  Here rather than beside the backends, so the agent's start-up needs none of them.
bool isGnomeSession(const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());

// Before the QApplication exists: chooses the built-in theme unless the user chose one (QT_QPA_PLATFORMTHEME).
// Returns whether it did.
bool useBuiltInGnomeTheme();

// Once the QApplication exists and before any window is built: takes the desktop's interface font and icon
// theme from its settings portal, waiting for them a second at most; without an answer Qt's defaults stay.
void followGnomeSettings();
