#include "app/Views/SpinnerIcon.h"

#include <QPainter>
#include <QPen>
#include <QPixmap>

namespace pelorin {

namespace {

constexpr int stepsPerTurn = 12;
constexpr int frameIntervalMs = 80;
constexpr int frameSize = 32; // drawn large, scaled down by QIcon

} // namespace

SpinnerIcon::SpinnerIcon(QColor color, QObject* parent) : QObject(parent), color_(color)
{
    timer_.setInterval(frameIntervalMs);
    connect(&timer_, &QTimer::timeout, this, [this] {
        step_ = (step_ + 1) % stepsPerTurn;
        emit frameChanged();
    });
}

void SpinnerIcon::start()
{
    if (!timer_.isActive())
        timer_.start();
}

void SpinnerIcon::stop()
{
    timer_.stop();
}

QIcon SpinnerIcon::frame() const
{
    QPixmap pixmap(frameSize, frameSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal penWidth = frameSize / 8.0;
    const QRectF ring = QRectF(0, 0, frameSize, frameSize).adjusted(penWidth, penWidth, -penWidth, -penWidth);

    QColor track = color_;
    track.setAlphaF(0.3);
    painter.setPen(QPen(track, penWidth));
    painter.drawEllipse(ring);

    QPen arc(color_, penWidth);
    arc.setCapStyle(Qt::RoundCap);
    painter.setPen(arc);
    // Qt angles are in 1/16 degree, counter-clockwise; turn clockwise.
    const int startAngle = (90 - step_ * 360 / stepsPerTurn) * 16;
    painter.drawArc(ring, startAngle, -100 * 16);
    painter.end();

    QIcon icon;
    icon.addPixmap(pixmap, QIcon::Normal);
    icon.addPixmap(pixmap, QIcon::Disabled); // the spinner runs on a disabled button: keep it white
    return icon;
}

} // namespace pelorin
