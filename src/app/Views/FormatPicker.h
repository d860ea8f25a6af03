// FormatPicker: the segmented PNG/TIFF control shared by the settings bar and the settings sheet.
// It shows the view model's output format and writes a pick through updateOutputFormat, so every
// picker, note and Output cell agree. GUI thread only; the view model must outlive the picker.
#pragma once

#include "engine/Models/OutputFormat.h"

#include <QWidget>

class QAbstractButton;
class QButtonGroup;

namespace pelorin {

class ProcessingViewModel;

class FormatPicker final : public QWidget {
    Q_OBJECT
public:
    explicit FormatPicker(ProcessingViewModel* viewModel, QWidget* parent = nullptr);

    // The segment showing `format`: one per format, in OutputFormats::allCases order.
    QAbstractButton* segment(OutputFormat format) const;

private:
    void refresh();

    ProcessingViewModel* viewModel_;
    QButtonGroup* group_;
};

} // namespace pelorin
