#include "app/Views/FileListView.h"

#include "app/Models/ImageItem.h"
#include "app/Services/ThumbnailCache.h"
#include "app/ViewModels/ProcessingViewModel.h"
#include "app/Views/FileListDelegate.h"
#include "app/Views/FileListModel.h"
#include "app/Views/ImageViewer.h"
#include "app/Views/SpinnerIcon.h"
#include "app/Views/TextStyles.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QPointer>

#include <cmath>
#include <filesystem>

namespace pelorin {

namespace {

constexpr int headerPadding = 6;

QUrl fileUrl(const std::filesystem::path& path)
{
    return QUrl::fromLocalFile(QString::fromStdString(path.string()));
}

bool exists(const std::optional<std::filesystem::path>& path)
{
    std::error_code error;
    return path && std::filesystem::exists(*path, error);
}

} // namespace

FileListView::FileListView(ProcessingViewModel* viewModel, QWidget* parent, OpenUrl openUrl)
    : QTreeView(parent),
      viewModel_(viewModel),
      openUrl_(openUrl ? std::move(openUrl) : [](const QUrl& url) { QDesktopServices::openUrl(url); }),
      // Rendered for the densest screen at start, so a thumbnail is sharp wherever the window goes.
      thumbnails_(
          new ThumbnailCache(static_cast<int>(std::ceil(FileListDelegate::thumbnailSide * qApp->devicePixelRatio())),
                             ThumbnailCache::defaultByteLimit, this)),
      model_(new FileListModel(viewModel, thumbnails_, this)),
      spinner_(new SpinnerIcon(TextStyles::secondaryColor(palette()), this)),
      delegate_(new FileListDelegate(spinner_, this))
{
    setModel(model_);
    delegate_->setShowsThumbnails(true);
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

    connect(this, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& index) { openViewer(index.row()); });

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
    return FileListDelegate::elidedFileName(index.data().toString(), fontMetrics(),
                                            visualRect(index).width() - delegate_->thumbnailsWidth());
}

void FileListView::openViewer(int row)
{
    if (!model_->itemAt(row))
        return;
    if (!viewer_) {
        viewer_ = new ImageViewer(model_, openUrl_, this);
        // The list follows the viewer, so closing it leaves the row last seen selected.
        connect(viewer_, &ImageViewer::currentRowChanged, this, [this](int shown) {
            const QModelIndex index = model_->index(shown, 0);
            setCurrentIndex(index);
            scrollTo(index);
        });
    }
    viewer_->showRow(row);
}

void FileListView::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier && currentIndex().isValid()) {
        openViewer(currentIndex().row());
        event->accept();
        return;
    }
    // Shift+F10 is the menu key of keyboards without one.
    if ((event->key() == Qt::Key_Menu || (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier))
        && currentIndex().isValid()) {
        showContextMenu(visualRect(currentIndex()).center());
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}

QMenu* FileListView::showContextMenu(const QPoint& position)
{
    const QModelIndex index = indexAt(position);
    QPointer<ImageItem> item = index.isValid() ? model_->itemAt(index.row()) : nullptr;
    if (!item)
        return nullptr;
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const int row = index.row();
    //: Context-menu item that opens the viewer on the row
    //% "Preview"
    QAction* preview = menu->addAction(qtTrId("filelist.action.preview"), this, [this, row] { openViewer(row); });
    preview->setShortcut(QKeySequence(Qt::Key_Space));
    const auto cutout = FileListModel::finishedCutout(*item);
    //: Context-menu item that opens a finished row's cutout in the desktop's default application
    //% "Open Cutout"
    QAction* openCutout =
        menu->addAction(qtTrId("filelist.action.openCutout"), this, [this, cutout] { openUrl_(fileUrl(*cutout)); });
    openCutout->setEnabled(exists(cutout));
    const auto mask = cutout ? item->maskURL() : std::nullopt;
    //: Context-menu item that opens the mask file written beside a finished row's cutout
    //% "Open Mask"
    QAction* openMask =
        menu->addAction(qtTrId("filelist.action.openMask"), this, [this, mask] { openUrl_(fileUrl(*mask)); });
    openMask->setEnabled(exists(mask));
    // The cutout's folder once there is one, the source's before.
    const std::filesystem::path shown = exists(cutout) ? *cutout : item->url();
    //: Context-menu item that opens the folder holding the row's cutout (or its source before that)
    //% "Show in File Manager"
    menu->addAction(qtTrId("filelist.action.showInFileManager"), this,
                    [this, shown] { openUrl_(fileUrl(shown.parent_path())); });
    menu->addSeparator();
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
