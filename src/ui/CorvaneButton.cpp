#include "ui/CorvaneButton.h"

#include "ui/ContinuousCorners.h"
#include "ui/Theme.h"

#include <QPainter>

namespace {

constexpr int kVerticalPadding = 14;
constexpr qreal kCornerRadius = 12;

QFont labelFont(QFont base)
{
    base.setPixelSize(16);
    base.setWeight(QFont::DemiBold);
    return base;
}

} // namespace

CorvaneButton::CorvaneButton(const QString& text, QWidget* parent)
    : QAbstractButton(parent)
{
    setText(text);
    setFont(labelFont(font()));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_Hover, false);
}

QSize CorvaneButton::sizeHint() const
{
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text()) + 2 * kVerticalPadding, metrics.height() + 2 * kVerticalPadding};
}

QSize CorvaneButton::minimumSizeHint() const
{
    return sizeHint();
}

qreal CorvaneButton::backgroundOpacity(bool enabled, bool pressed)
{
    if (!enabled)
        return 0.3;
    return pressed ? 0.75 : 1.0;
}

qreal CorvaneButton::textOpacity(bool enabled)
{
    return enabled ? 1.0 : 0.5;
}

void CorvaneButton::paintEvent(QPaintEvent*)
{
    const bool enabled = isEnabled();
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPainterPath shape = continuousRoundedRect(QRectF(rect()), kCornerRadius);
    painter.setClipPath(shape);

    QColor background = Theme::kButtonRed;
    background.setAlphaF(float(backgroundOpacity(enabled, isDown())));
    painter.fillRect(rect(), background);

    QColor label = Qt::white;
    label.setAlphaF(float(textOpacity(enabled)));
    painter.setPen(label);
    painter.setFont(font());
    painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine, text());

    if (hasFocus()) {
        // Keyboard users need to see where they are; a thin inner ring in the label's colour.
        QPen ring(QColor(255, 255, 255, 150), 2);
        painter.setPen(ring);
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(continuousRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), kCornerRadius - 1));
    }
}
