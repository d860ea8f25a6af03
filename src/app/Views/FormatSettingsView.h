// FormatSettingsView: the Output tab of the settings sheet: the output format picker and a note
// on what the chosen format keeps. Reads and writes the view model's settings only. GUI thread
// only; the view model must outlive the view.
#pragma once

#include <QWidget>

class QLabel;

namespace pelorin {

class FormatPicker;
class ProcessingViewModel;

class FormatSettingsView final : public QWidget {
    Q_OBJECT
public:
    explicit FormatSettingsView(ProcessingViewModel* viewModel, QWidget* parent = nullptr);

private:
    void refresh();

    ProcessingViewModel* viewModel_;
    FormatPicker* picker_;
    QLabel* note_;
};

} // namespace pelorin
