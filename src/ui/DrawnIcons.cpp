#include "ui/DrawnIcons.h"

#include "ui/CorvaneLogo.h"
#include "ui/Theme.h"

#include <QApplication>
#include <QIconEngine>
#include <QPainter>
#include <QPixmap>
#include <QStyle>
#include <QStyleOption>

namespace {

enum class Shape { Brand, Clock, Record, Checkmark };

constexpr QColor kIconGrey{142, 142, 147};

QPen stroke(const QColor& colour, qreal width) {
    return QPen(colour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

class DrawnIconEngine final : public QIconEngine {
public:
    explicit DrawnIconEngine(Shape shape)
        : m_shape(shape) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
        // A square in the middle of the rectangle, in the shape's design grid.
        const qreal side = std::min(rect.width(), rect.height());
        if (side <= 0)
            return;
        const QRectF square(rect.x() + (rect.width() - side) / 2.0, rect.y() + (rect.height() - side) / 2.0, side,
                            side);
        if (m_shape == Shape::Brand) {
            CorvaneLogo::paint(*painter, square);
            return;
        }
        const qreal grid = m_shape == Shape::Checkmark ? 16.0 : 32.0;
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->translate(square.topLeft());
        painter->scale(side / grid, side / grid);
        painter->setBrush(Qt::NoBrush);
        switch (m_shape) {
        case Shape::Clock: {
            painter->setPen(stroke(kIconGrey, 3));
            painter->drawEllipse(QPointF(16, 16), 13, 13);
            const QPointF hands[] = {{16, 8.5}, {16, 16.5}, {21.5, 20}};
            painter->drawPolyline(hands, 3);
            break;
        }
        case Shape::Record:
            painter->setPen(stroke(Theme::kAccent, 3));
            painter->drawEllipse(QPointF(16, 16), 13, 13);
            painter->setPen(Qt::NoPen);
            painter->setBrush(Theme::kAccent);
            painter->drawEllipse(QPointF(16, 16), 7, 7);
            break;
        case Shape::Checkmark: {
            painter->setPen(stroke(kIconGrey, 2));
            const QPointF tick[] = {{3, 8.5}, {6.5, 12}, {13, 4.5}};
            painter->drawPolyline(tick, 3);
            break;
        }
        case Shape::Brand:
            break;
        }
        painter->restore();
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QPixmap picture(size);
        picture.fill(Qt::transparent);
        {
            QPainter painter(&picture);
            paint(&painter, QRect(QPoint(), size), mode, state);
        }
        // Disabled and selected rows look as the style draws them for any other icon.
        if (mode != QIcon::Normal && QApplication::style()) {
            QStyleOption option;
            option.palette = QApplication::palette();
            return QApplication::style()->generatedIconPixmap(mode, picture, &option);
        }
        return picture;
    }

    QIconEngine* clone() const override { return new DrawnIconEngine(m_shape); }
    QString key() const override { return QStringLiteral("vantrel-drawn"); }

private:
    Shape m_shape;
};

} // namespace

QIcon drawnIcon(const QString& name) {
    static const std::pair<QLatin1StringView, Shape> kNames[] = {
        {QLatin1StringView("vantrel"), Shape::Brand},
        {QLatin1StringView("clock"), Shape::Clock},
        {QLatin1StringView("record.circle"), Shape::Record},
        {QLatin1StringView("checkmark"), Shape::Checkmark},
    };
    for (const auto& [known, shape] : kNames)
        if (name == known)
            return QIcon(new DrawnIconEngine(shape));
    return {};
}
