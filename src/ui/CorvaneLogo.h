#pragma once

#include <QWidget>

class QPainter;

// The brand mark: a dark tile with two white bars and a red stripe, stretched to whatever frame it gets.
// Decorative only, so screen readers skip it.
class CorvaneLogo final : public QWidget {
    Q_OBJECT
public:
    explicit CorvaneLogo(QWidget* parent = nullptr);
    Q_DISABLE_COPY_MOVE(CorvaneLogo)

    // Draws the mark into `frame`; also used for the application icon.
    static void paint(QPainter& painter, const QRectF& frame);

    QSize sizeHint() const override { return {52, 52}; }

protected:
    void paintEvent(QPaintEvent* event) override;
};
