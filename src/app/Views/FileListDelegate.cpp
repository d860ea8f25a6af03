#include "app/Views/FileListDelegate.h"

#include "app/Views/FileListModel.h"
#include "app/Views/SpinnerIcon.h"

#include <QApplication>
#include <QPainter>

namespace pelorin {

namespace {

constexpr int verticalPadding = 6;
constexpr int statusSymbolSize = 16;
// Room the style keeps on each side of an item's text.
constexpr int textMargin = 4;

} // namespace

FileListDelegate::FileListDelegate(const SpinnerIcon* spinner, QObject* parent)
    : QStyledItemDelegate(parent),
      spinner_(spinner)
{
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
    const int content = qMax(option.fontMetrics.height(), statusSymbolSize);
    size.setHeight(qMax(size.height(), content + 2 * verticalPadding));
    return size;
}

} // namespace pelorin
