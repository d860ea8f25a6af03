#include "app/Desktop/OpenPanel.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace pelorin {

OpenPanel::OpenPanel(QWidget* parent) : QFileDialog(parent)
{
    setOption(QFileDialog::DontUseNativeDialog);
    setFileMode(QFileDialog::ExistingFiles);
    setAcceptMode(QFileDialog::AcceptOpen);
    // The seven accepted kinds; folders always show, whatever the filter.
    //: File type filter of the Open… dialog
    //% "Images (*.png *.jpg *.jpeg *.heic *.heif *.webp *.tif *.tiff *.bmp)"
    setNameFilters({qtTrId("openPanel.filter.images")});
    // Qt's default leaves the size and date columns elided.
    resize(820, 520);
}

void OpenPanel::accept()
{
    // QFileDialog enters a selected folder instead of accepting it; here a folder is a choice.
    const QStringList selected = selectedFiles();
    if (selected.isEmpty())
        return;
    std::vector<std::filesystem::path> chosen;
    chosen.reserve(static_cast<size_t>(selected.size()));
    for (const QString& file : selected) {
        if (!QFileInfo::exists(file))
            return; // a mistyped name: stay open, as the stock dialog does
        chosen.emplace_back(QFile::encodeName(file).toStdString());
    }
    chosenPaths_ = std::move(chosen);
    QDialog::accept();
}

std::optional<std::vector<std::filesystem::path>> OpenPanel::run(QWidget* parent)
{
    OpenPanel panel(parent);
    if (panel.exec() != QDialog::Accepted)
        return std::nullopt;
    return panel.chosenPaths();
}

} // namespace pelorin
