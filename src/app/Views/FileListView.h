// FileListView: the queue as a table with the columns File, Output, Size and Status, a Delete
// item in each row's context menu, and no drops of its own (files are added through the compact
// drop zone above it). It shows the view model's rows through FileListModel and keeps nothing else;
// the spinner in the status column turns only while some row is being processed. Each row shows
// thumbnails of its source and cutout; Space or a double-click opens the viewer on the current
// row, and the context menu opens a finished row's cutout or mask or shows it in the file manager.
// GUI thread only; the view model must outlive the view.
#pragma once

#include <QTreeView>
#include <QUrl>

#include <functional>

class QMenu;

namespace pelorin {

class FileListDelegate;
class FileListModel;
class ImageViewer;
class ProcessingViewModel;
class SpinnerIcon;
class ThumbnailCache;

class FileListView final : public QTreeView {
    Q_OBJECT
public:
    static constexpr int outputColumnWidth = 70;
    static constexpr int sizeColumnWidth = 100;
    static constexpr int statusColumnWidth = 70;

    // Opens a file or folder in the desktop's default application.
    using OpenUrl = std::function<void(const QUrl&)>;

    // `openUrl` empty → QDesktopServices::openUrl.
    explicit FileListView(ProcessingViewModel* viewModel, QWidget* parent = nullptr, OpenUrl openUrl = {});

    FileListModel* fileListModel() const { return model_; }
    ThumbnailCache* thumbnails() const { return thumbnails_; }
    // The viewer once it has been opened; it stays (hidden) after closing.
    ImageViewer* viewer() const { return viewer_; }
    // Opens the viewer on `row`; nothing for a row outside the list.
    void openViewer(int row);
    bool isSpinnerTurning() const;
    // The row's file name as currently drawn (shortened to its cell).
    QString shownFileName(int row) const;
    // Pops up the context menu of the row at `position` (viewport coordinates) without blocking;
    // returns it (it deletes itself when closed), or null when no row is there.
    QMenu* showContextMenu(const QPoint& position);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void updateSpinner();
    void repaintStatusColumn();

    ProcessingViewModel* viewModel_;
    OpenUrl openUrl_;
    ThumbnailCache* thumbnails_;
    FileListModel* model_;
    ImageViewer* viewer_ = nullptr;
    SpinnerIcon* spinner_;
    FileListDelegate* delegate_;
};

} // namespace pelorin
