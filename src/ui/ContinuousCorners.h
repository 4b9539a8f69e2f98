#pragma once

#include <QPainterPath>
#include <QRectF>

// A rounded rectangle whose corners ease into the straight edges (curvature grows smoothly instead of
// jumping from zero to 1/radius), the shape of the brand tile and button.  The radius shrinks when the
// rectangle is too small for the eased corner, so the path never overlaps itself.
QPainterPath continuousRoundedRect(const QRectF& rect, qreal radius);
