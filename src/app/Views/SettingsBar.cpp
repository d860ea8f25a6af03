#include "app/Views/SettingsBar.h"

#include "app/ViewModels/ProcessingViewModel.h"
#include "app/Views/DropZoneCompact.h"
#include "app/Views/FormatPicker.h"
#include "app/Views/MiddleElidedLabel.h"
#include "app/Views/ProminentButton.h"
#include "app/Views/SecondaryStyle.h"

#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace pelorin {

namespace {

constexpr int barSpacing = 12;
constexpr int barPadding = 12;
constexpr int pickerMaximumWidth = 160;

QString pathText(const std::filesystem::path& path)
{
    QString text = QString::fromStdString(path.string());
    while (text.size() > 1 && text.endsWith(QLatin1Char('/')))
        text.chop(1);
    return text;
}

QLabel* secondaryLabel(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    SecondaryStyle::apply(label);
    return label;
}

} // namespace

SettingsBar::SettingsBar(ProcessingViewModel* viewModel, QWidget* parent) : QWidget(parent), viewModel_(viewModel)
{
    auto* stack = new QVBoxLayout(this);
    stack->setSpacing(barSpacing);
    stack->setContentsMargins(barPadding, barPadding, barPadding, barPadding);

    stack->addWidget(new DropZoneCompact(viewModel_, this));

    auto* formatRow = new QHBoxLayout;
    formatRow->setSpacing(barSpacing);
    //: Label before the output format picker of the settings bar
    //% "Format:"
    formatRow->addWidget(secondaryLabel(qtTrId("settings.format.label"), this));
    formatPicker_ = new FormatPicker(viewModel_, this);
    formatPicker_->setObjectName(QStringLiteral("formatPicker"));
    formatPicker_->setMaximumWidth(pickerMaximumWidth);
    //: Accessibility label of the output format picker of the settings bar
    //% "Output format"
    formatPicker_->setAccessibleName(qtTrId("settings.format.a11y"));
    formatRow->addWidget(formatPicker_);
    formatRow->addStretch(1);
    stack->addLayout(formatRow);

    auto* outputRow = new QHBoxLayout;
    //: Label before the output folder of the settings bar
    //% "Output:"
    outputRow->addWidget(secondaryLabel(qtTrId("settings.output.label"), this));
    folderLabel_ = new MiddleElidedLabel(this);
    folderLabel_->setObjectName(QStringLiteral("outputFolderLabel"));
    // Shrinks before the buttons do; the spacer behind it takes what the text does not need.
    folderLabel_->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    outputRow->addWidget(folderLabel_);
    outputRow->addStretch(1);
    //: Button that clears the chosen output folder
    //% "Reset"
    resetButton_ = new QPushButton(qtTrId("settings.output.reset"), this);
    resetButton_->setObjectName(QStringLiteral("resetOutputButton"));
    outputRow->addWidget(resetButton_);
    //: Button that opens the output folder picker
    //% "Change Folder"
    changeButton_ = new ProminentButton(qtTrId("settings.output.change"), this);
    changeButton_->setObjectName(QStringLiteral("changeFolderButton"));
    changeButton_->setCompact(true);
    outputRow->addWidget(changeButton_);
    stack->addLayout(outputRow);

    connect(resetButton_, &QPushButton::clicked, viewModel_, &ProcessingViewModel::resetOutputDirectory);
    connect(changeButton_, &QPushButton::clicked, this, &SettingsBar::showDirectoryPicker);
    connect(viewModel_, &ProcessingViewModel::settingsChanged, this, &SettingsBar::refresh);
    refresh();
}

QString SettingsBar::outputDirectoryDisplayPath(const std::optional<std::filesystem::path>& folder,
                                                const std::filesystem::path& home)
{
    if (!folder) {
        //: Output folder text when every cutout goes next to its source
        //% "(same folder as input)"
        return qtTrId("settings.output.placeholder");
    }
    const QString folderPath = pathText(*folder);
    const QString homePath = pathText(home);
    if (folderPath == homePath)
        return QStringLiteral("~");
    if (folderPath.startsWith(homePath + QLatin1Char('/')))
        return QLatin1Char('~') + folderPath.mid(homePath.size());
    return folderPath;
}

void SettingsBar::handleFolderPick(const std::optional<std::filesystem::path>& folder)
{
    if (!folder || folder->empty())
        return;
    viewModel_->setOutputDirectory(*folder);
}

QFileDialog* SettingsBar::directoryPicker() const
{
    return directoryPicker_;
}

void SettingsBar::refresh()
{
    const auto& folder = viewModel_->settings().outputDirectory;
    folderLabel_->setFullText(outputDirectoryDisplayPath(folder, QDir::homePath().toStdString()));
    folderLabel_->setToolTip(folder ? pathText(*folder) : QString());
    resetButton_->setVisible(folder.has_value());
}

void SettingsBar::showDirectoryPicker()
{
    if (directoryPicker_) {
        directoryPicker_->raise();
        directoryPicker_->activateWindow();
        return;
    }
    const auto& folder = viewModel_->settings().outputDirectory;
    auto* picker = new QFileDialog(this);
    picker->setFileMode(QFileDialog::Directory);
    picker->setOption(QFileDialog::ShowDirsOnly, true);
    picker->setDirectory(folder ? QString::fromStdString(folder->string()) : QDir::homePath());
    picker->setWindowModality(Qt::WindowModal);
    picker->setAttribute(Qt::WA_DeleteOnClose);
    connect(picker, &QFileDialog::fileSelected, this, [this](const QString& chosen) {
        handleFolderPick(chosen.isEmpty() ? std::nullopt : std::optional(std::filesystem::path(chosen.toStdString())));
    });
    directoryPicker_ = picker;
    picker->open();
}

} // namespace pelorin
