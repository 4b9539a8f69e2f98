#pragma once

#include <QIcon>
#include <QString>

// The agent's own icons, drawn at whatever size the tray, menu or title bar asks for: the brand mark
// ("vantrel"), "clock" (clocked out), "record.circle" (clocked in) and "checkmark" (the current stage).
// Painted with QPainter rather than loaded from SVG files, so that the agent never loads Qt's SVG module and
// icon engine for four plain shapes.  An unknown name gives a null icon.
QIcon drawnIcon(const QString& name);
