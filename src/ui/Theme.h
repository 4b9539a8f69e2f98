#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

class QLabel;
class QWidget;

// The brand's colours, text styles and the dark palette the staff window always uses.
namespace Theme {

inline constexpr QColor kBackground{11, 12, 15};
inline constexpr QColor kAccent{230, 57, 70};
inline constexpr QColor kButtonRed{201, 37, 52};
inline constexpr QColor kTile{24, 26, 31};
inline constexpr QColor kPrimaryText{242, 242, 247};
// Dimmed text: the primary text colour at 60 % over the dark background.
inline constexpr QColor kSecondaryText{235, 235, 245, 153};

enum class TextStyle { Body, Callout, Caption };

// The dark scheme, whatever the desktop theme says: window, fields, buttons, selection in the accent.
QPalette darkPalette();

// Rounded, visible borders for a field or push button on the dark background, through a style set on each
// control; the window's own children (lists, scroll bars) keep the application's style.
void styleControl(QWidget* control);

// The platform's body font scaled down for callouts and captions.  Sizes are in pixels throughout: the
// brand's sizes are logical pixels, and points would make text a third larger at 96 dpi.
QFont font(TextStyle style);

// A small capitalised label: 10 px, medium weight, 2 px between letters.
QFont spacedLabelFont();

// A label that shows its text as plain text, wraps, and uses the given style and colour.
QLabel* makeText(const QString& text, TextStyle style, bool secondary, QWidget* parent);

// The same for a label of another class, made by the caller; returns it.
QLabel* styleText(QLabel* label, const QString& text, TextStyle style, bool secondary);

// The secondary colour applied to one label's text.
void makeSecondary(QLabel* label);

} // namespace Theme
