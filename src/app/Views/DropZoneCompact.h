// DropZoneCompact: the slim drop target above the file list, the only place that takes drops
// once the queue has rows. A thin dashed rounded strip with "Add images (drag & drop)" that turns
// accent-coloured while a drag hovers; drops go to the view model's intake unchanged.
// GUI thread only; the view model must outlive the view.
#pragma once

#include "app/Views/FileDropTarget.h"

namespace pelorin {

class ProcessingViewModel;

class DropZoneCompact final : public FileDropTarget {
    Q_OBJECT
public:
    explicit DropZoneCompact(ProcessingViewModel* viewModel, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace pelorin
