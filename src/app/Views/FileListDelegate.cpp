#include "app/Views/FileListDelegate.h"

#include "app/Models/ImageItem.h"
#include "app/Views/Checkerboard.h"
#include "app/Views/FileListModel.h"
#include "app/Views/SpinnerIcon.h"

#include <QApplication>
#include <QPainter>

#include <algorithm>

namespace pelorin {

namespace {

constexpr int verticalPadding = 6;
constexpr int statusSymbolSize = 16;
// Room the style keeps on each side of an item's text.
constexpr int textMargin = 4;
constexpr int thumbnailGap = 4;
constexpr int checkerSquare = 4;

} // namespace

FileListDelegate::FileListDelegate(const SpinnerIcon* spinner, QObject* parent)
    : QStyledItemDelegate(parent),
      spinner_(spinner)
{
}

int FileListDelegate::thumbnailsWidth() const
{
    return showsThumbnails_ ? 2 * (thumbnailSide + thumbnailGap) + thumbnailGap : 0;
}

QRect FileListDelegate::thumbnailBox(const QRect& cell, int which) const
{
    const int x = cell.left() + thumbnailGap + which * (thumbnailSide + thumbnailGap);
    return {x, cell.center().y() - thumbnailSide / 2 + 1, thumbnailSide, thumbnailSide};
}

void FileListDelegate::paintThumbnails(QPainter* painter, const QRect& cell, const QModelIndex& index) const
{
    const QColor placeholder(128, 128, 128, 40);
    const auto* model = qobject_cast<const FileListModel*>(index.model());
    const ImageItem* item = model ? model->itemAt(index.row()) : nullptr;
    const bool finished = item && FileListModel::finishedCutout(*item);
    for (int which = 0; which < 2; ++which) {
        const QRect box = thumbnailBox(cell, which);
        const bool cutout = which == 1;
        const QImage image =
            index.data(cutout ? FileListModel::cutoutThumbnailRole : FileListModel::sourceThumbnailRole)
                .value<QImage>();
        if (image.isNull()) {
            // A faint frame where a picture is on its way; nothing for a cutout not made yet.
            if (!cutout || finished)
                painter->fillRect(box.adjusted(2, 2, -2, -2), placeholder);
            continue;
        }
        QSizeF size = image.deviceIndependentSize();
        size.scale(box.size(), Qt::KeepAspectRatio);
        QRectF target(QPointF(), size);
        target.moveCenter(QRectF(box).center());
        if (cutout) {
            painter->setBrushOrigin(target.topLeft());
            painter->fillRect(target, Checkerboard::brush(checkerSquare));
        }
        painter->drawImage(target, image);
    }
}

QString FileListDelegate::elidedFileName(const QString& name, const QFontMetrics& metrics, int cellWidth)
{
    return metrics.elidedText(name, Qt::ElideMiddle, qMax(0, cellWidth - 2 * textMargin));
}

void FileListDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const
{
    QStyledItemDelegate::initStyleOption(option, index);
    if (index.column() == FileListModel::fileColumn)
        option->text = elidedFileName(option->text, option->fontMetrics, option->rect.width());
}

void FileListDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    if (index.column() == FileListModel::fileColumn && showsThumbnails_) {
        // Selection background across the whole cell, then the pictures, then the name after them.
        QStyleOptionViewItem background = option;
        initStyleOption(&background, index);
        background.text.clear();
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &background, painter, widget);
        painter->save();
        painter->setRenderHint(QPainter::SmoothPixmapTransform);
        paintThumbnails(painter, option.rect, index);
        painter->restore();
        QStyleOptionViewItem text = option;
        text.rect.setLeft(option.rect.left() + thumbnailsWidth());
        text.state &= ~QStyle::State_HasFocus;
        QStyledItemDelegate::paint(painter, text, index);
        return;
    }
    if (index.column() != FileListModel::statusColumn) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const auto cell = static_cast<FileListModel::StatusCell>(index.data(FileListModel::statusCellRole).toInt());
    QIcon symbol = cell == FileListModel::StatusCell::processing && spinner_
        ? spinner_->frame()
        : index.data(Qt::DecorationRole).value<QIcon>();
    if (symbol.isNull()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    // Background and selection from the style, then the symbol centred (the style would put it leading).
    QStyleOptionViewItem background = option;
    initStyleOption(&background, index);
    background.text.clear();
    background.icon = QIcon();
    background.features &= ~QStyleOptionViewItem::HasDecoration;
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &background, painter, widget);

    QRect target(0, 0, statusSymbolSize, statusSymbolSize);
    target.moveCenter(option.rect.center());
    symbol.paint(painter, target);
}

QSize FileListDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    const int content = std::max({option.fontMetrics.height(), statusSymbolSize, showsThumbnails_ ? thumbnailSide : 0});
    size.setHeight(qMax(size.height(), content + 2 * verticalPadding));
    return size;
}

} // namespace pelorin
