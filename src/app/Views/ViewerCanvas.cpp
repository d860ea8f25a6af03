#include "app/Views/ViewerCanvas.h"

#include "app/Views/Checkerboard.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace pelorin {

namespace {

constexpr int checkerSquare = 8;
// How close (in logical pixels) a press must be to grab the divider.
constexpr double dividerGrab = 8.0;
constexpr double wheelStep = 1.25;
const QColor surround(0x30, 0x30, 0x30);

} // namespace

ViewerCanvas::ViewerCanvas(QWidget* parent) : QWidget(parent)
{
    setMouseTracking(true);
    setFocusPolicy(Qt::NoFocus);
    setMinimumSize(200, 150);
}

void ViewerCanvas::setPictures(QImage source, QImage cutout)
{
    const QSize before = pictureSize();
    source_ = std::move(source);
    cutout_ = std::move(cutout);
    sourceScaled_ = QImage();
    cutoutScaled_ = QImage();
    if (fitting_ || pictureSize() != before)
        fitToWindow();
    else
        changed();
}

void ViewerCanvas::setBackground(Background background)
{
    background_ = background;
    changed();
}

void ViewerCanvas::setCustomColor(const QColor& color)
{
    customColor_ = color;
    setBackground(Background::custom);
}

void ViewerCanvas::setSplit(bool split)
{
    split_ = split;
    changed();
}

void ViewerCanvas::setDividerPosition(double position)
{
    divider_ = std::clamp(position, 0.0, 1.0);
    changed();
}

QSize ViewerCanvas::pictureSize() const
{
    return !cutout_.isNull() ? cutout_.size() : source_.size();
}

double ViewerCanvas::fitZoom() const
{
    const QSize picture = pictureSize();
    if (picture.isEmpty() || width() <= 0 || height() <= 0)
        return 1.0;
    const double dpr = devicePixelRatioF();
    // Small pictures stay at 100 %: enlarging them would only blur them.
    return std::min({1.0, width() * dpr / picture.width(), height() * dpr / picture.height()});
}

void ViewerCanvas::fitToWindow()
{
    fitting_ = true;
    zoom_ = fitZoom();
    centre_ = QRectF(QPointF(), QSizeF(pictureSize())).center();
    changed();
}

void ViewerCanvas::showActualSize()
{
    zoomBy(1.0 / zoom_);
}

void ViewerCanvas::zoomBy(double factor, QPointF anchor)
{
    if (pictureSize().isEmpty())
        return;
    const QPointF fromCentre = anchor - QRectF(rect()).center();
    const QPointF underAnchor = centre_ + fromCentre / scale();
    zoom_ = std::clamp(zoom_ * factor, std::min(fitZoom(), 1.0) / 4, maxZoom);
    fitting_ = false;
    centre_ = underAnchor - fromCentre / scale();
    clampCentre();
    changed();
}

void ViewerCanvas::clampCentre()
{
    const QSizeF picture = pictureSize();
    const double halfWidth = width() / (2 * scale());
    const double halfHeight = height() / (2 * scale());
    // A picture smaller than the view stays centred; a larger one never shows a gap at its edge.
    centre_.setX(picture.width() <= 2 * halfWidth ? picture.width() / 2
                                                  : std::clamp(centre_.x(), halfWidth, picture.width() - halfWidth));
    centre_.setY(picture.height() <= 2 * halfHeight
                     ? picture.height() / 2
                     : std::clamp(centre_.y(), halfHeight, picture.height() - halfHeight));
}

QRectF ViewerCanvas::pictureRect() const
{
    const QSizeF size = QSizeF(pictureSize()) * scale();
    return {QRectF(rect()).center() - centre_ * scale(), size};
}

bool ViewerCanvas::canPan() const
{
    const QRectF picture = pictureRect();
    return picture.width() > width() + 0.5 || picture.height() > height() + 0.5;
}

bool ViewerCanvas::nearDivider(QPointF position) const
{
    if (!showsSplit())
        return false;
    const QRectF picture = pictureRect();
    const double x = picture.left() + divider_ * picture.width();
    return std::abs(position.x() - x) <= dividerGrab && position.y() >= picture.top()
        && position.y() <= picture.bottom();
}

void ViewerCanvas::changed()
{
    update();
    emit viewChanged();
}

void ViewerCanvas::fillBackground(QPainter& painter, const QRectF& area) const
{
    switch (background_) {
    case Background::checkerboard:
        painter.setBrushOrigin(pictureRect().topLeft());
        painter.fillRect(area, Checkerboard::brush(checkerSquare));
        return;
    case Background::white: painter.fillRect(area, Qt::white); return;
    case Background::black: painter.fillRect(area, Qt::black); return;
    case Background::custom: painter.fillRect(area, customColor_); return;
    }
}

void ViewerCanvas::drawPicture(QPainter& painter, const QImage& picture, QImage& scaled, const QRectF& clip) const
{
    const QRectF target = pictureRect();
    const QRectF visible = target.intersected(clip);
    if (picture.isNull() || visible.isEmpty())
        return;
    if (zoom_ < 1.0) {
        // Smooth reduction once per zoom; then each paint copies pixels 1:1.
        const QSize device(std::max(1, static_cast<int>(std::lround(picture.width() * zoom_))),
                           std::max(1, static_cast<int>(std::lround(picture.height() * zoom_))));
        if (scaled.size() != device) {
            scaled = picture.scaled(device, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            scaled.setDevicePixelRatio(devicePixelRatioF());
        }
        painter.save();
        painter.setClipRect(visible);
        painter.drawImage(target.topLeft(), scaled);
        painter.restore();
        return;
    }
    // 100 % and closer: whole pixels, unsmoothed, so edges can be judged; only the visible part.
    const QRectF from((visible.topLeft() - target.topLeft()) / scale(), visible.size() / scale());
    painter.drawImage(visible, picture, from);
}

void ViewerCanvas::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), surround);
    const QRectF picture = pictureRect();
    if (pictureSize().isEmpty())
        return;
    if (cutout_.isNull()) {
        drawPicture(painter, source_, sourceScaled_, rect());
        return;
    }
    QRectF cutoutArea = picture.intersected(rect());
    if (showsSplit()) {
        const double x = picture.left() + divider_ * picture.width();
        QRectF sourceArea = cutoutArea;
        sourceArea.setRight(std::min(x, sourceArea.right()));
        cutoutArea.setLeft(std::max(x, cutoutArea.left()));
        drawPicture(painter, source_, sourceScaled_, sourceArea);
    }
    if (!cutoutArea.isEmpty()) {
        fillBackground(painter, cutoutArea);
        drawPicture(painter, cutout_, cutoutScaled_, cutoutArea);
    }
    if (showsSplit()) {
        const double x = picture.left() + divider_ * picture.width();
        const QRectF shown = picture.intersected(rect());
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(QColor(0, 0, 0, 120), 3));
        painter.drawLine(QPointF(x, shown.top()), QPointF(x, shown.bottom()));
        painter.setPen(QPen(Qt::white, 1.5));
        painter.drawLine(QPointF(x, shown.top()), QPointF(x, shown.bottom()));
        // A round handle in the middle says the line can be dragged.
        painter.setBrush(Qt::white);
        painter.setPen(QPen(QColor(0, 0, 0, 120), 1));
        painter.drawEllipse(QPointF(x, shown.center().y()), 7, 7);
    }
}

void ViewerCanvas::resizeEvent(QResizeEvent*)
{
    if (fitting_) {
        zoom_ = fitZoom();
        centre_ = QRectF(QPointF(), QSizeF(pictureSize())).center();
    } else {
        clampCentre();
    }
}

void ViewerCanvas::wheelEvent(QWheelEvent* event)
{
    const double steps = event->angleDelta().y() / 120.0;
    if (steps != 0)
        zoomBy(std::pow(wheelStep, steps), event->position());
    event->accept();
}

void ViewerCanvas::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    lastPosition_ = event->position();
    drag_ = nearDivider(lastPosition_) ? Drag::divider : canPan() ? Drag::pan : Drag::none;
    if (drag_ == Drag::divider)
        mouseMoveEvent(event);
    updateCursor(lastPosition_);
}

void ViewerCanvas::mouseMoveEvent(QMouseEvent* event)
{
    const QPointF position = event->position();
    if (drag_ == Drag::divider) {
        const QRectF picture = pictureRect();
        setDividerPosition((position.x() - picture.left()) / picture.width());
    } else if (drag_ == Drag::pan) {
        centre_ -= (position - lastPosition_) / scale();
        clampCentre();
        changed();
    }
    lastPosition_ = position;
    updateCursor(position);
}

void ViewerCanvas::mouseReleaseEvent(QMouseEvent* event)
{
    drag_ = Drag::none;
    updateCursor(event->position());
}

void ViewerCanvas::updateCursor(QPointF position)
{
    if (drag_ == Drag::divider || (drag_ == Drag::none && nearDivider(position)))
        setCursor(Qt::SplitHCursor);
    else if (drag_ == Drag::pan)
        setCursor(Qt::ClosedHandCursor);
    else if (canPan())
        setCursor(Qt::OpenHandCursor);
    else
        unsetCursor();
}

} // namespace pelorin
