// OpenPanel: the Open… chooser. A file dialog in which files and folders can be picked together,
// several at once: Open accepts whatever is selected (folders too), double-clicking a folder
// still enters it. Qt's own widgets, because the desktop's native dialogs pick either files or
// folders, never both. GUI thread only.
#pragma once

#include <QFileDialog>

#include <filesystem>
#include <optional>
#include <vector>

namespace pelorin {

class OpenPanel final : public QFileDialog {
    Q_OBJECT

public:
    explicit OpenPanel(QWidget* parent = nullptr);

    // The accepted selection, in the order it was picked; empty until accepted.
    const std::vector<std::filesystem::path>& chosenPaths() const { return chosenPaths_; }

    // Runs a panel modally over `parent`; the chosen paths, or nothing when cancelled.
    static std::optional<std::vector<std::filesystem::path>> run(QWidget* parent);

public slots:
    void accept() override;

private:
    std::vector<std::filesystem::path> chosenPaths_;
};

} // namespace pelorin
