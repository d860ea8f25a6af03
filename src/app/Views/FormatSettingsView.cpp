#include "app/Views/FormatSettingsView.h"

#include "app/ViewModels/ProcessingViewModel.h"
#include "app/Views/FormSection.h"
#include "app/Views/FormatPicker.h"
#include "app/Views/SecondaryStyle.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace pelorin {

namespace {

constexpr int formPadding = 16;
constexpr int pickerMaximumWidth = 200;

} // namespace

FormatSettingsView::FormatSettingsView(ProcessingViewModel* viewModel, QWidget* parent)
    : QWidget(parent),
      viewModel_(viewModel)
{
    auto* form = new QVBoxLayout(this);
    form->setContentsMargins(formPadding, formPadding, formPadding, formPadding);
    form->setSpacing(formPadding);

    auto* pickerSection = new FormSection(this);
    auto* pickerRow = new QHBoxLayout;
    //: Label of the output format picker in the settings sheet
    //% "Output format"
    auto* pickerLabel = new QLabel(qtTrId("settings.format.picker.label"), pickerSection);
    pickerLabel->setTextFormat(Qt::PlainText);
    picker_ = new FormatPicker(viewModel_, pickerSection);
    picker_->setObjectName(QStringLiteral("formatPicker"));
    picker_->setMaximumWidth(pickerMaximumWidth);
    picker_->setAccessibleName(pickerLabel->text());
    pickerLabel->setBuddy(picker_);
    pickerRow->addWidget(pickerLabel);
    pickerRow->addStretch(1);
    pickerRow->addWidget(picker_);
    pickerSection->contentLayout()->addLayout(pickerRow);
    form->addWidget(pickerSection);

    auto* noteSection = new FormSection(this);
    note_ = new QLabel(noteSection);
    note_->setObjectName(QStringLiteral("formatNote"));
    note_->setTextFormat(Qt::PlainText);
    note_->setWordWrap(true);
    QFont callout = note_->font();
    callout.setPointSizeF(callout.pointSizeF() > 2 ? callout.pointSizeF() - 1 : callout.pointSizeF());
    note_->setFont(callout);
    SecondaryStyle::apply(note_);
    noteSection->contentLayout()->addWidget(note_);
    form->addWidget(noteSection);
    form->addStretch(1);

    connect(viewModel_, &ProcessingViewModel::settingsChanged, this, &FormatSettingsView::refresh);
    refresh();
}

void FormatSettingsView::refresh()
{
    if (viewModel_->settings().outputFormat == OutputFormat::tiff) {
        //: Note under the format picker while TIFF is chosen
        //% "Lossless with LZW compression. Preserves 16-bit depth and ICC profiles for print and archival workflows."
        note_->setText(qtTrId("settings.format.tiff.note"));
    } else {
        //: Note under the format picker while PNG is chosen
        //% "Lossless RGB and 16-bit support. Universal compatibility — recommended default."
        note_->setText(qtTrId("settings.format.png.note"));
    }
}

} // namespace pelorin
