// FileDropTarget: a widget that takes dropped files and folders for the view model's intake and
// knows while a drag hovers over it, so it can draw itself targeted. Both drop zones are one; with
// DropPayloadParser (which local files a payload names) this is all of drag and drop.
// GUI thread only; the view model must outlive the widget.
#pragma once

#include <QWidget>

namespace pelorin {

class ProcessingViewModel;

class FileDropTarget : public QWidget {
    Q_OBJECT
public:
    // True while a drag carrying URLs hovers over the widget.
    bool isTargeted() const { return isTargeted_; }

protected:
    FileDropTarget(ProcessingViewModel* viewModel, QWidget* parent);
    ProcessingViewModel* viewModel() const { return viewModel_; }

    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void setTargeted(bool targeted);

    ProcessingViewModel* viewModel_;
    bool isTargeted_ = false;
};

} // namespace pelorin
