#include "app/Views/SettingsSheet.h"

#include "app/Views/FormatSettingsView.h"
#include "app/Views/Icons.h"
#include "app/Views/MaskExportSettingsView.h"
#include "app/Views/ProminentButton.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QTabWidget>
#include <QVBoxLayout>

// The sheet's own symbols live beside the shared ones (":/icons/…"); a static library registers
// its resources only when asked.
static void ensureSettingsIcons()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(settingsicons);
        return true;
    }();
    (void)registered;
}

namespace pelorin {

namespace {

constexpr QSize minimumSheetSize(560, 420);
constexpr QSize idealSheetSize(600, 460);
constexpr int sheetPadding = 16;
constexpr int sheetSpacing = 12;

} // namespace

SettingsSheet::SettingsSheet(ProcessingViewModel* viewModel, QWidget* parent) : QDialog(parent)
{
    ensureSettingsIcons();
    setWindowModality(Qt::WindowModal);
    setMinimumSize(minimumSheetSize);
    // Opened at its ideal size rather than what fits the contents, which is smaller.
    resize(idealSheetSize);
    //: Title of the settings sheet
    //% "Settings"
    const QString title = qtTrId("settings.sheet.title");
    setWindowTitle(title);

    auto* stack = new QVBoxLayout(this);
    stack->setSpacing(sheetSpacing);
    stack->setContentsMargins(sheetPadding, sheetPadding, sheetPadding, sheetPadding);

    auto* titleRow = new QHBoxLayout;
    titleRow->setContentsMargins(0, 0, 0, 0);
    auto* titleLabel = new QLabel(title, this);
    titleLabel->setTextFormat(Qt::PlainText);
    QFont headline = titleLabel->font();
    headline.setBold(true);
    if (headline.pointSizeF() > 0)
        headline.setPointSizeF(headline.pointSizeF() + 1);
    titleLabel->setFont(headline);
    titleRow->addWidget(titleLabel);
    titleRow->addStretch(1);
    //: Button that closes the settings sheet
    //% "Done"
    doneButton_ = new ProminentButton(qtTrId("settings.sheet.done"), this);
    doneButton_->setObjectName(QStringLiteral("doneButton"));
    doneButton_->setDefault(true);
    titleRow->addWidget(doneButton_);
    stack->addLayout(titleRow);

    tabs_ = new QTabWidget(this);
    tabs_->setStyleSheet(QStringLiteral("QTabWidget::tab-bar { alignment: center; }"));
    //: First tab of the settings sheet: output format
    //% "Output"
    tabs_->addTab(new FormatSettingsView(viewModel, tabs_), Icons::named(QStringLiteral("doc")),
                  qtTrId("settings.tab.output"));
    //: Second tab of the settings sheet: mask export
    //% "Mask"
    tabs_->addTab(new MaskExportSettingsView(viewModel, tabs_), Icons::named(QStringLiteral("rectangle-dashed")),
                  qtTrId("settings.tab.mask"));
    stack->addWidget(tabs_, 1);

    // Settings already took effect, so closing is all Done does; Escape (reject) closes the same way.
    connect(doneButton_, &QPushButton::clicked, this, &QDialog::accept);
}

QSize SettingsSheet::sizeHint() const
{
    return idealSheetSize.expandedTo(minimumSizeHint());
}

void SettingsSheet::showEvent(QShowEvent* event)
{
    tabs_->setCurrentIndex(0);
    doneButton_->setFocus();
    QDialog::showEvent(event);
}

} // namespace pelorin
