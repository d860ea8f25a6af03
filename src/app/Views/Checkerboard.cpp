#include "app/Views/Checkerboard.h"

#include <QPainter>
#include <QPixmap>

namespace pelorin::Checkerboard {

QBrush brush(int square)
{
    QPixmap tile(2 * square, 2 * square);
    tile.fill(lightSquare);
    QPainter painter(&tile);
    painter.fillRect(square, 0, square, square, darkSquare);
    painter.fillRect(0, square, square, square, darkSquare);
    return QBrush(tile);
}

} // namespace pelorin::Checkerboard
