// ViewerCanvas: paints one row's pictures in the viewer: the cutout over the chosen background, or
// the source alone when there is no cutout, or both split by a divider the mouse drags (source on
// the left, cutout on the right). It fits the picture to the view or shows it pixel for pixel; the
// wheel zooms about the cursor and dragging pans once the picture is larger than the view.
// GUI thread only.
#pragma once

#include <QColor>
#include <QImage>
#include <QPointF>
#include <QRectF>
#include <QWidget>

namespace pelorin {

class ViewerCanvas final : public QWidget {
    Q_OBJECT
public:
    enum class Background { checkerboard, white, black, custom };

    static constexpr double maxZoom = 32.0;

    explicit ViewerCanvas(QWidget* parent = nullptr);

    // Either may be null. A cutout has its source's size; the view keeps its zoom when the size
    // stays the same (the next row of a batch of one camera's photos) and fits otherwise.
    void setPictures(QImage source, QImage cutout);
    const QImage& source() const { return source_; }
    const QImage& cutout() const { return cutout_; }

    void setBackground(Background background);
    Background background() const { return background_; }
    // Selects the custom background in `color`.
    void setCustomColor(const QColor& color);
    QColor customColor() const { return customColor_; }

    // The split shows only while there are both pictures.
    void setSplit(bool split);
    bool isSplit() const { return split_; }
    bool showsSplit() const { return split_ && !source_.isNull() && !cutout_.isNull(); }
    // The divider as a fraction of the picture's width, 0…1.
    double dividerPosition() const { return divider_; }
    void setDividerPosition(double position);

    void fitToWindow();
    void showActualSize();
    bool isFitting() const { return fitting_; }
    // Screen (device) pixels per picture pixel: 1 is 100 %.
    double zoom() const { return zoom_; }
    // Multiplies the zoom, keeping the picture point under `anchor` (widget coordinates) in place.
    void zoomBy(double factor, QPointF anchor);
    void zoomBy(double factor) { zoomBy(factor, QRectF(rect()).center()); }
    // Where the picture lies, in widget coordinates.
    QRectF pictureRect() const;

signals:
    // Zoom, pan, split, divider or background changed.
    void viewChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    enum class Drag { none, divider, pan };

    QSize pictureSize() const;
    double scale() const { return zoom_ / devicePixelRatioF(); }
    double fitZoom() const;
    void clampCentre();
    bool nearDivider(QPointF position) const;
    bool canPan() const;
    void drawPicture(QPainter& painter, const QImage& picture, QImage& scaled, const QRectF& clip) const;
    void fillBackground(QPainter& painter, const QRectF& area) const;
    void updateCursor(QPointF position);
    void changed();

    QImage source_;
    QImage cutout_;
    // Pictures scaled once to the current zoom when it shrinks them: scaling 24 megapixels on
    // every paint would make dragging the divider stutter.
    mutable QImage sourceScaled_;
    mutable QImage cutoutScaled_;
    Background background_ = Background::checkerboard;
    QColor customColor_ = QColor(0x3a, 0x7b, 0xd5);
    bool split_ = false;
    double divider_ = 0.5;
    bool fitting_ = true;
    double zoom_ = 1.0;
    QPointF centre_; // picture point at the widget's centre
    Drag drag_ = Drag::none;
    QPointF lastPosition_;
};

} // namespace pelorin
