// DropZoneCompact: the slim drop target above the file list, the only place that takes drops
// once the queue has rows. A thin dashed rounded strip with "Add images (drag & drop)" that turns
// accent-coloured while a drag hovers; drops go to the view model's intake unchanged.
// GUI thread only; the view model must outlive the view.
#pragma once

#include <QWidget>

namespace pelorin {

class ProcessingViewModel;

class DropZoneCompact final : public QWidget {
    Q_OBJECT
public:
    explicit DropZoneCompact(ProcessingViewModel* viewModel, QWidget* parent = nullptr);

    // True while a drag carrying URLs hovers over the strip.
    bool isTargeted() const { return isTargeted_; }

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void setTargeted(bool targeted);

    ProcessingViewModel* viewModel_;
    bool isTargeted_ = false;
};

} // namespace pelorin
