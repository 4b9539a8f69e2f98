#include "ui/ContinuousCorners.h"

#include <algorithm>
#include <array>

namespace {

// One corner, measured from the corner point in units of the radius: the eased corner leaves the edge
// at 1.52866 radii, runs through three cubic pieces joined by two short straight segments and is
// symmetric about the diagonal.  u runs along the edge the path comes from, v along the edge it turns into.
constexpr qreal kExtent = 1.52866483;

struct Cubic {
    QPointF c1, c2, to;
};

constexpr std::array<Cubic, 3> kCorner{{
    {{1.08849323, 0.0}, {0.86840689, 0.0}, {0.66993427, 0.06549600}},
    {{0.37282392, 0.16905899}, {0.16906013, 0.37282401}, {0.07491176, 0.63149399}},
    {{0.0, 0.86840689}, {0.0, 1.08849323}, {0.0, kExtent}},
}};
constexpr QPointF kFirstJoin{0.63149399, 0.07491100};
constexpr QPointF kSecondJoin{0.06549600, 0.66993427};

// Adds one corner.  `corner` is the corner point; `along` and `across` are unit directions pointing from
// the corner back along the incoming edge and along the outgoing edge.
void addCorner(QPainterPath& path, QPointF corner, QPointF along, QPointF across, qreal r)
{
    const auto at = [&](QPointF p) { return corner + along * (p.x() * r) + across * (p.y() * r); };
    path.lineTo(at({kExtent, 0.0}));
    path.cubicTo(at(kCorner[0].c1), at(kCorner[0].c2), at(kCorner[0].to));
    path.lineTo(at(kFirstJoin));
    path.cubicTo(at(kCorner[1].c1), at(kCorner[1].c2), at(kCorner[1].to));
    path.lineTo(at(kSecondJoin));
    path.cubicTo(at(kCorner[2].c1), at(kCorner[2].c2), at(kCorner[2].to));
}

} // namespace

QPainterPath continuousRoundedRect(const QRectF& rect, qreal radius)
{
    QPainterPath path;
    if (rect.isEmpty())
        return path;
    const qreal r = std::clamp(radius, 0.0, std::min(rect.width(), rect.height()) / 2.0 / kExtent);
    const QPointF right{1, 0}, left{-1, 0}, down{0, 1}, up{0, -1};

    path.moveTo(rect.left() + kExtent * r, rect.top());
    addCorner(path, rect.topRight(), left, down, r);
    addCorner(path, rect.bottomRight(), up, left, r);
    addCorner(path, rect.bottomLeft(), right, up, r);
    addCorner(path, rect.topLeft(), down, right, r);
    path.closeSubpath();
    return path;
}
