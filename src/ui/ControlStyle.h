#pragma once

#include <QProxyStyle>

// The staff window's fields and push buttons: rounded panels with a faint border that turns to the accent on
// focus, over Fusion for everything else.  Set on those controls alone, so menus, lists and message boxes keep
// the plain dark Fusion look.
class ControlStyle final : public QProxyStyle {
    Q_OBJECT
public:
    ControlStyle();
    Q_DISABLE_COPY_MOVE(ControlStyle)

    void polish(QWidget* widget) override;
    void unpolish(QWidget* widget) override;
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override;
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override;
    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override;
    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& contents,
                           const QWidget* widget) const override;
    QRect subElementRect(SubElement element, const QStyleOption* option, const QWidget* widget) const override;
};
