#include "app/Views/DropZoneCompact.h"

#include "app/Views/Icons.h"
#include "app/Views/TextStyles.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>

namespace pelorin {

namespace {

constexpr qreal frameRadius = 6;
constexpr qreal frameWidth = 1;
const QList<qreal> frameDashes = {4 / frameWidth, 3 / frameWidth};
constexpr qreal idleFrameOpacity = 0.2;
constexpr qreal targetedFillOpacity = 0.05;
constexpr int verticalPadding = 8;
constexpr int horizontalPadding = 8;

} // namespace

DropZoneCompact::DropZoneCompact(ProcessingViewModel* viewModel, QWidget* parent) : FileDropTarget(viewModel, parent)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    //: Tooltip of the compact drop zone above the file list
    //% "Accepts PNG, JPEG, HEIC, TIFF, WebP, BMP"
    setToolTip(qtTrId("settings.dropzone.compact.tooltip"));
    //: Accessibility label of the compact drop zone above the file list
    //% "Drop image files here to add to the queue"
    setAccessibleName(qtTrId("settings.dropzone.compact.a11y"));

    const QFont caption = TextStyles::captionFont(font());
    QPalette secondary = palette();
    secondary.setColor(QPalette::WindowText, TextStyles::secondaryColor(palette()));

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(horizontalPadding, verticalPadding, horizontalPadding, verticalPadding);
    row->addStretch(1);
    auto* symbol = new QLabel(this);
    const int symbolSize = QFontMetrics(caption).height();
    symbol->setPixmap(Icons::named(QStringLiteral("plus-circle")).pixmap(QSize(symbolSize, symbolSize)));
    row->addWidget(symbol);
    //: Text of the compact drop zone above the file list
    //% "Add images (drag & drop)"
    auto* label = new QLabel(qtTrId("settings.dropzone.compact.label"), this);
    label->setObjectName(QStringLiteral("compactDropZoneLabel"));
    label->setFont(caption);
    label->setPalette(secondary);
    row->addWidget(label);
    row->addStretch(1);
}

void DropZoneCompact::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor accent = TextStyles::accentColor(palette());
    QPainterPath clip;
    clip.addRoundedRect(QRectF(rect()), frameRadius, frameRadius);
    painter.setClipPath(clip);
    if (isTargeted())
        painter.fillRect(rect(), TextStyles::withOpacity(accent, targetedFillOpacity));

    const qreal half = frameWidth / 2;
    QPen pen(isTargeted() ? accent : TextStyles::withOpacity(TextStyles::secondaryColor(palette()), idleFrameOpacity),
             frameWidth);
    pen.setDashPattern(frameDashes);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect()).adjusted(half, half, -half, -half), frameRadius - half, frameRadius - half);
}

} // namespace pelorin
