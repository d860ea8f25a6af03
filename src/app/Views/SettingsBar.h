// SettingsBar: the strip above the file list: the compact drop zone, the PNG/TIFF picker and the
// output folder with Reset and Change Folder. It stores nothing: it shows the view model's
// settings and changes them through the view model. GUI thread only; the view model must outlive
// the bar.
#pragma once

#include <QPointer>
#include <QWidget>

#include <filesystem>
#include <optional>

class QFileDialog;
class QPushButton;

namespace pelorin {

class FormatPicker;
class MiddleElidedLabel;
class ProcessingViewModel;
class ProminentButton;

class SettingsBar final : public QWidget {
    Q_OBJECT
public:
    explicit SettingsBar(ProcessingViewModel* viewModel, QWidget* parent = nullptr);

    // The folder text of the output row: the placeholder when no folder is chosen, "~" for the
    // home folder, "~/…" inside it, otherwise the path unchanged. Trailing slashes are ignored.
    static QString outputDirectoryDisplayPath(const std::optional<std::filesystem::path>& folder,
                                              const std::filesystem::path& home);

    // Result of the folder picker: a chosen folder becomes the output folder; none changes nothing.
    void handleFolderPick(const std::optional<std::filesystem::path>& folder);

    // The folder picker while it is shown (window-modal, deletes itself when closed).
    QFileDialog* directoryPicker() const;

private:
    void refresh();
    void showDirectoryPicker();

    ProcessingViewModel* viewModel_;
    FormatPicker* formatPicker_;
    MiddleElidedLabel* folderLabel_;
    QPushButton* resetButton_;
    ProminentButton* changeButton_;
    QPointer<QFileDialog> directoryPicker_;
};

} // namespace pelorin
