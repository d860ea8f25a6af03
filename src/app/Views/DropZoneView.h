// DropZoneView: the whole window while the queue is empty. A dashed rounded frame that takes
// dropped files and folders, turns accent-coloured while a drag hovers, offers Select Files (a
// chooser of image files, several at once) and a gear that asks for the settings. What is dropped
// or chosen goes to the view model's intake unchanged. GUI thread only; the view model must
// outlive the view.
#pragma once

#include "app/Views/FileDropTarget.h"

#include <QFileDialog>
#include <QPointer>
#include <QStringList>

class QPushButton;
class QToolButton;

namespace pelorin {

class ProcessingViewModel;

class DropZoneView final : public FileDropTarget {
    Q_OBJECT
public:
    explicit DropZoneView(ProcessingViewModel* viewModel, QWidget* parent = nullptr);

    // The file chooser while it is shown.
    QFileDialog* fileChooser() const;
    // "Images (…)" first, then one filter per accepted type (PNG, JPEG, HEIC, HEIF, WebP, TIFF, BMP).
    static QStringList chooserNameFilters();

signals:
    // The gear was pressed: the window should show the settings.
    void settingsRequested();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void showFileChooser();

    QToolButton* gearButton_;
    QPushButton* selectFilesButton_;
    QPointer<QFileDialog> fileChooser_;
};

} // namespace pelorin
