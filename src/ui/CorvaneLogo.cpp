#include "ui/CorvaneLogo.h"

#include "ui/ContinuousCorners.h"
#include "ui/Theme.h"

#include <QPainter>
#include <QPainterPath>

namespace {

// The glyph in its 256 × 256 design grid, y growing downward.
QPainterPath glyph()
{
    QPainterPath path;
    path.setFillRule(Qt::WindingFill);
    // Upper bar: rounded top-left corner, lower right end cut on a slant.
    path.moveTo(66, 78);
    path.lineTo(202, 78);
    path.lineTo(202, 104);
    path.lineTo(138, 126);
    path.lineTo(54, 126);
    path.lineTo(54, 90);
    path.quadTo(54, 78, 66, 78);
    path.closeSubpath();
    // Lower bar: rounded top-right corner, upper left end cut on a slant.
    path.moveTo(118, 142);
    path.lineTo(190, 142);
    path.quadTo(202, 142, 202, 154);
    path.lineTo(202, 190);
    path.lineTo(54, 190);
    path.lineTo(54, 166);
    path.closeSubpath();
    return path;
}

QPainterPath stripe()
{
    QPainterPath path;
    path.moveTo(166, 78);
    path.lineTo(174, 78);
    path.lineTo(174, 114);
    path.lineTo(166, 117);
    path.closeSubpath();
    return path;
}

} // namespace

CorvaneLogo::CorvaneLogo(QWidget* parent)
    : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFocusPolicy(Qt::NoFocus);
}

void CorvaneLogo::paint(QPainter& painter, const QRectF& frame)
{
    if (frame.isEmpty())
        return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);

    // The tile's corners follow the width alone; the glyph stretches with both sides.
    painter.setBrush(Theme::kTile);
    painter.drawPath(continuousRoundedRect(frame, 0.22 * frame.width()));

    QTransform grid;
    grid.translate(frame.left(), frame.top());
    grid.scale(frame.width() / 256.0, frame.height() / 256.0);
    static const QPainterPath kGlyph = glyph();
    static const QPainterPath kStripe = stripe();
    painter.setBrush(Qt::white);
    painter.drawPath(grid.map(kGlyph));
    painter.setBrush(Theme::kAccent);
    painter.drawPath(grid.map(kStripe));
    painter.restore();
}

void CorvaneLogo::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    paint(painter, QRectF(rect()));
}
