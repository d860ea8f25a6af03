// SettingsSheet: the window-modal settings dialog: a title row with Done and the Output and Mask
// tabs. Changes apply at once through the view model; there is nothing to confirm or revert, so
// Done (Return) and Escape both just close it. It opens on the Output tab every time it is shown.
// GUI thread only; the view model must outlive the sheet.
#pragma once

#include <QDialog>

class QPushButton;
class QTabWidget;

namespace pelorin {

class ProcessingViewModel;

class SettingsSheet final : public QDialog {
    Q_OBJECT
public:
    explicit SettingsSheet(ProcessingViewModel* viewModel, QWidget* parent = nullptr);

    QSize sizeHint() const override;

    QTabWidget* tabs() const { return tabs_; }
    QPushButton* doneButton() const { return doneButton_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    QTabWidget* tabs_;
    QPushButton* doneButton_;
};

} // namespace pelorin
