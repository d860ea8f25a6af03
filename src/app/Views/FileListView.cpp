#include "app/Views/FileListView.h"

#include "app/Models/ImageItem.h"
#include "app/ViewModels/ProcessingViewModel.h"
#include "app/Views/FileListDelegate.h"
#include "app/Views/FileListModel.h"
#include "app/Views/SpinnerIcon.h"
#include "app/Views/TextStyles.h"

#include <QHeaderView>
#include <QMenu>
#include <QPointer>

namespace pelorin {

namespace {

constexpr int headerPadding = 6;

} // namespace

FileListView::FileListView(ProcessingViewModel* viewModel, QWidget* parent)
    : QTreeView(parent),
      viewModel_(viewModel),
      model_(new FileListModel(viewModel, this)),
      spinner_(new SpinnerIcon(TextStyles::secondaryColor(palette()), this)),
      delegate_(new FileListDelegate(spinner_, this))
{
    setModel(model_);
    setItemDelegate(delegate_);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTextElideMode(Qt::ElideMiddle);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setFrameShape(QFrame::NoFrame);
    // Files are added through the compact drop zone only.
    setAcceptDrops(false);
    viewport()->setAcceptDrops(false);
    setDragDropMode(QAbstractItemView::NoDragDrop);

    QHeaderView* columns = header();
    // 6 px above and below the caption-sized titles.
    columns->setMinimumHeight(QFontMetrics(TextStyles::captionFont(font())).height() + 2 * headerPadding);
    columns->setStretchLastSection(false);
    columns->setSectionsMovable(false);
    columns->setSectionResizeMode(FileListModel::fileColumn, QHeaderView::Stretch);
    for (auto [column, width] : {std::pair{FileListModel::outputColumn, outputColumnWidth},
                                 std::pair{FileListModel::sizeColumn, sizeColumnWidth},
                                 std::pair{FileListModel::statusColumn, statusColumnWidth}}) {
        columns->setSectionResizeMode(column, QHeaderView::Fixed);
        columns->resizeSection(column, width);
    }

    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this, &FileListView::showContextMenu);

    connect(spinner_, &SpinnerIcon::frameChanged, this, &FileListView::repaintStatusColumn);
    connect(model_, &QAbstractItemModel::dataChanged, this, &FileListView::updateSpinner);
    connect(model_, &QAbstractItemModel::rowsInserted, this, &FileListView::updateSpinner);
    connect(model_, &QAbstractItemModel::rowsRemoved, this, &FileListView::updateSpinner);
    connect(model_, &QAbstractItemModel::modelReset, this, &FileListView::updateSpinner);
    updateSpinner();
}

bool FileListView::isSpinnerTurning() const
{
    return spinner_->isSpinning();
}

QString FileListView::shownFileName(int row) const
{
    const QModelIndex index = model_->index(row, FileListModel::fileColumn);
    return FileListDelegate::elidedFileName(index.data().toString(), fontMetrics(), visualRect(index).width());
}

QMenu* FileListView::showContextMenu(const QPoint& position)
{
    const QModelIndex index = indexAt(position);
    QPointer<ImageItem> item = index.isValid() ? model_->itemAt(index.row()) : nullptr;
    if (!item)
        return nullptr;
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    //: Context-menu item that removes a row from the list
    //% "Delete"
    menu->addAction(qtTrId("filelist.action.delete"), this, [this, item] {
        if (item)
            viewModel_->removeItem(item);
    });
    menu->popup(viewport()->mapToGlobal(position));
    return menu;
}

void FileListView::updateSpinner()
{
    // Rows that are cancelling show a still hourglass; only live processing needs frames.
    if (!viewModel_->isCancelling() && model_->hasProcessingRow())
        spinner_->start();
    else
        spinner_->stop();
}

void FileListView::repaintStatusColumn()
{
    const int x = columnViewportPosition(FileListModel::statusColumn);
    viewport()->update(QRect(x, 0, columnWidth(FileListModel::statusColumn), viewport()->height()));
}

} // namespace pelorin
