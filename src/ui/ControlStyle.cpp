#include "ui/ControlStyle.h"

#include "ui/Theme.h"

#include <QAbstractScrollArea>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QStyleFactory>
#include <QStyleOption>

namespace {

constexpr qreal kRadius = 6;
constexpr int kBorder = 1;
// Space between the border and the text.
constexpr QMargins kFieldPadding{6, 5, 6, 5};
constexpr QMargins kButtonPadding{14, 6, 14, 6};

constexpr QColor kFieldBorder{235, 235, 245, 40};
constexpr QColor kButtonBorder{235, 235, 245, 30};

QMargins inset(QMargins padding) {
    return padding + QMargins(kBorder, kBorder, kBorder, kBorder);
}

// A rounded panel with a 1 px border inside `rect`.  The fill reaches to the middle of the border, which is
// drawn over it, so the border reads the same on the dark ground as on the panel.
void drawPanel(QPainter* painter, const QRect& rect, const QColor& fill, const QColor& border) {
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const qreal half = kBorder / 2.0;
    const QRectF middle = QRectF(rect).adjusted(half, half, -half, -half);
    QPainterPath panel;
    panel.addRoundedRect(middle, kRadius - half, kRadius - half);
    painter->fillPath(panel, fill);
    painter->strokePath(panel, QPen(border, kBorder));
    painter->restore();
}

void drawField(QPainter* painter, const QStyleOption* option) {
    const bool enabled = option->state & QStyle::State_Enabled;
    const QColor fill = enabled ? QColor(28, 30, 36) : QColor(20, 21, 25);
    drawPanel(painter, option->rect, fill, option->state & QStyle::State_HasFocus ? Theme::kAccent : kFieldBorder);
}

void drawButton(QPainter* painter, const QStyleOption* option) {
    const QStyle::State state = option->state;
    QColor fill(44, 46, 54);
    if (!(state & QStyle::State_Enabled))
        fill = QColor(26, 27, 32);
    else if (state & QStyle::State_Sunken)
        fill = QColor(34, 36, 42);
    else if (state & QStyle::State_MouseOver)
        fill = QColor(54, 56, 64);
    drawPanel(painter, option->rect, fill, state & QStyle::State_HasFocus ? Theme::kAccent : kButtonBorder);
}

bool isNote(const QWidget* widget) {
    return qobject_cast<const QPlainTextEdit*>(widget);
}

} // namespace

ControlStyle::ControlStyle()
    : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}

void ControlStyle::polish(QWidget* widget) {
    QProxyStyle::polish(widget);
    // The text area shows the panel drawn behind it rather than filling its square corners.
    if (auto* area = qobject_cast<QAbstractScrollArea*>(widget))
        area->viewport()->setAutoFillBackground(false);
}

void ControlStyle::unpolish(QWidget* widget) {
    if (auto* area = qobject_cast<QAbstractScrollArea*>(widget))
        area->viewport()->setAutoFillBackground(true);
    QProxyStyle::unpolish(widget);
}

void ControlStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                                 const QWidget* widget) const {
    if (element == PE_PanelLineEdit || (element == PE_Frame && isNote(widget))) {
        drawField(painter, option);
        return;
    }
    if (element == PE_FrameLineEdit)
        return; // part of the panel
    QProxyStyle::drawPrimitive(element, option, painter, widget);
}

void ControlStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                               const QWidget* widget) const {
    if (element == CE_PushButton) {
        if (const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option)) {
            // The border shows focus, so no focus rectangle.
            drawButton(painter, button);
            QStyleOptionButton label = *button;
            label.rect = subElementRect(SE_PushButtonContents, button, widget);
            QProxyStyle::drawControl(CE_PushButtonLabel, &label, painter, widget);
            return;
        }
    }
    QProxyStyle::drawControl(element, option, painter, widget);
}

int ControlStyle::pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const {
    switch (metric) {
    case PM_DefaultFrameWidth:
        return kBorder;
    case PM_ButtonShiftHorizontal:
    case PM_ButtonShiftVertical:
        return 0;
    default:
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
}

QSize ControlStyle::sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& contents,
                                     const QWidget* widget) const {
    switch (type) {
    case CT_LineEdit:
        return contents.grownBy(inset(kFieldPadding));
    case CT_PushButton:
        return contents.grownBy(inset(kButtonPadding));
    default:
        return QProxyStyle::sizeFromContents(type, option, contents, widget);
    }
}

QRect ControlStyle::subElementRect(SubElement element, const QStyleOption* option, const QWidget* widget) const {
    switch (element) {
    case SE_LineEditContents:
        return option->rect.marginsRemoved(inset(kFieldPadding));
    case SE_PushButtonContents:
        return option->rect.marginsRemoved(inset(kButtonPadding));
    default:
        return QProxyStyle::subElementRect(element, option, widget);
    }
}
