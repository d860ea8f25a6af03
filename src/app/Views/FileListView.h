// FileListView: the queue as a table with the columns File, Output, Size and Status, a Delete
// item in each row's context menu, and no drops of its own (files are added through the compact
// drop zone above it). It shows the view model's rows through FileListModel and keeps nothing else;
// the spinner in the status column turns only while some row is being processed.
// GUI thread only; the view model must outlive the view.
#pragma once

#include <QTreeView>

class QMenu;

namespace pelorin {

class FileListDelegate;
class FileListModel;
class ProcessingViewModel;
class SpinnerIcon;

class FileListView final : public QTreeView {
    Q_OBJECT
public:
    static constexpr int outputColumnWidth = 70;
    static constexpr int sizeColumnWidth = 100;
    static constexpr int statusColumnWidth = 70;

    explicit FileListView(ProcessingViewModel* viewModel, QWidget* parent = nullptr);

    FileListModel* fileListModel() const { return model_; }
    bool isSpinnerTurning() const;
    // The row's file name as currently drawn (shortened to its cell).
    QString shownFileName(int row) const;
    // Pops up the context menu of the row at `position` (viewport coordinates) without blocking;
    // returns it (it deletes itself when closed), or null when no row is there.
    QMenu* showContextMenu(const QPoint& position);

private:
    void updateSpinner();
    void repaintStatusColumn();

    ProcessingViewModel* viewModel_;
    FileListModel* model_;
    SpinnerIcon* spinner_;
    FileListDelegate* delegate_;
};

} // namespace pelorin
