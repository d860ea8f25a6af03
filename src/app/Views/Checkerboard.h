// Checkerboard: the grey squares drawn behind transparent pixels, so a cutout's edges read the
// same against light and dark surroundings. GUI thread only (QPixmap).
#pragma once

#include <QBrush>
#include <QColor>

namespace pelorin::Checkerboard {

// The two square colours, light first.
inline const QColor lightSquare{0xff, 0xff, 0xff};
inline const QColor darkSquare{0xcc, 0xcc, 0xcc};

// A tiling brush of `square`-pixel squares; set its origin with QPainter::setBrushOrigin.
QBrush brush(int square);

} // namespace pelorin::Checkerboard
