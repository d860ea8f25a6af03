// MaskExportSettingsView: the Mask tab of the settings sheet: the switch for writing each mask as
// a separate PNG, with two lines on what is written, and the switch for edge refinement with a
// line on what it does. Reads and writes the view model's settings
// only. GUI thread only; the view model must outlive the view.
#pragma once

#include <QWidget>

class QCheckBox;

namespace pelorin {

class ProcessingViewModel;

class MaskExportSettingsView final : public QWidget {
    Q_OBJECT
public:
    explicit MaskExportSettingsView(ProcessingViewModel* viewModel, QWidget* parent = nullptr);

private:
    void refresh();

    ProcessingViewModel* viewModel_;
    QCheckBox* toggle_;
    QCheckBox* refineToggle_;
};

} // namespace pelorin
