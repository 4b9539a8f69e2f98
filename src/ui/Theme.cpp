#include "ui/Theme.h"

#include "ui/ControlStyle.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QPointer>

#include <algorithm>

namespace Theme {

QPalette darkPalette() {
    const QColor field{28, 30, 36};
    const QColor button{44, 46, 54};
    const QColor disabledText{235, 235, 245, 77};

    QPalette p;
    p.setColor(QPalette::Window, kBackground);
    p.setColor(QPalette::WindowText, kPrimaryText);
    p.setColor(QPalette::Base, field);
    p.setColor(QPalette::AlternateBase, button);
    p.setColor(QPalette::Text, kPrimaryText);
    p.setColor(QPalette::PlaceholderText, kSecondaryText);
    p.setColor(QPalette::Button, button);
    p.setColor(QPalette::ButtonText, kPrimaryText);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Highlight, kAccent);
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, kAccent);
    p.setColor(QPalette::ToolTipBase, field);
    p.setColor(QPalette::ToolTipText, kPrimaryText);
    p.setColor(QPalette::Light, QColor{70, 72, 82});
    p.setColor(QPalette::Midlight, QColor{56, 58, 66});
    p.setColor(QPalette::Mid, QColor{36, 38, 44});
    p.setColor(QPalette::Dark, QColor{20, 21, 25});
    p.setColor(QPalette::Shadow, Qt::black);
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, disabledText);
    p.setColor(QPalette::Disabled, QPalette::Button, QColor{30, 32, 38});
    p.setColor(QPalette::Disabled, QPalette::Base, kBackground);
    p.setColor(QPalette::Disabled, QPalette::Highlight, QColor{230, 57, 70, 110});
    return p;
}

void styleControl(QWidget* control) {
    static QPointer<ControlStyle> style;
    if (!style) {
        style = new ControlStyle;
        style->setParent(qApp); // outlives every window, gone with the application
    }
    control->setStyle(style);
    QPalette p = control->palette();
    p.setColor(QPalette::PlaceholderText, kSecondaryText);
    // A disabled field's text is a little brighter than a disabled button's.
    if (!qobject_cast<QAbstractButton*>(control))
        p.setColor(QPalette::Disabled, QPalette::Text, QColor(235, 235, 245, 90));
    control->setPalette(p);
}

QFont font(TextStyle style) {
    // The desktop's own body size, in pixels; callouts and captions are a step and two below it.
    QFont f = QApplication::font();
    const int body = QFontInfo(f).pixelSize() > 0 ? QFontInfo(f).pixelSize() : 13;
    switch (style) {
    case TextStyle::Body:
        break;
    case TextStyle::Callout:
        f.setPixelSize(qRound(body * 0.93));
        break;
    case TextStyle::Caption:
        f.setPixelSize(std::max(10, qRound(body * 0.85)));
        break;
    }
    return f;
}

QFont spacedLabelFont() {
    QFont f = QApplication::font();
    f.setPixelSize(10);
    f.setWeight(QFont::Medium);
    f.setLetterSpacing(QFont::AbsoluteSpacing, 2);
    return f;
}

void makeSecondary(QLabel* label) {
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, kSecondaryText);
    label->setPalette(p);
}

QLabel* makeText(const QString& text, TextStyle style, bool secondary, QWidget* parent) {
    return styleText(new QLabel(parent), text, style, secondary);
}

QLabel* styleText(QLabel* label, const QString& text, TextStyle style, bool secondary) {
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setText(text);
    label->setFont(font(style));
    if (secondary)
        makeSecondary(label);
    return label;
}

} // namespace Theme
