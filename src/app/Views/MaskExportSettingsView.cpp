#include "app/Views/MaskExportSettingsView.h"

#include "app/ViewModels/ProcessingViewModel.h"
#include "app/Views/FormSection.h"
#include "app/Views/SecondaryStyle.h"

#include <QCheckBox>
#include <QLabel>
#include <QVBoxLayout>

namespace pelorin {

namespace {

constexpr int formPadding = 16;
constexpr int footerSpacing = 4;
constexpr int footerIndent = 12; // lines up with the text inside the section

QLabel* footerLine(const QString& text, QWidget* parent)
{
    auto* line = new QLabel(text, parent);
    // "<basename>" must show literally, not be taken for markup.
    line->setTextFormat(Qt::PlainText);
    line->setWordWrap(true);
    QFont footnote = line->font();
    footnote.setPointSizeF(footnote.pointSizeF() > 2 ? footnote.pointSizeF() - 1 : footnote.pointSizeF());
    line->setFont(footnote);
    SecondaryStyle::apply(line);
    return line;
}

} // namespace

MaskExportSettingsView::MaskExportSettingsView(ProcessingViewModel* viewModel, QWidget* parent)
    : QWidget(parent),
      viewModel_(viewModel)
{
    auto* form = new QVBoxLayout(this);
    form->setContentsMargins(formPadding, formPadding, formPadding, formPadding);
    form->setSpacing(6);

    auto* section = new FormSection(this);
    //: Switch that also writes each mask as its own PNG file
    //% "Export mask separately"
    toggle_ = new QCheckBox(qtTrId("settings.mask.export.enable"), section);
    toggle_->setObjectName(QStringLiteral("exportMaskToggle"));
    section->contentLayout()->addWidget(toggle_);
    form->addWidget(section);

    auto* footer = new QVBoxLayout;
    footer->setSpacing(footerSpacing);
    footer->setContentsMargins(footerIndent, 0, footerIndent, 0);
    //: First footer line under the mask export switch; <basename> stands for the cutout's name
    //% "Saves <basename>-mask.png alongside the main output."
    footer->addWidget(footerLine(qtTrId("settings.mask.export.suffix"), this));
    //: Second footer line under the mask export switch
    //% "The mask is always written at the source's full resolution, so its 0/255 edges aren't softened by interpolation."
    footer->addWidget(footerLine(qtTrId("settings.mask.export.fullRes"), this));
    form->addLayout(footer);

    form->addSpacing(12);
    auto* refineSection = new FormSection(this);
    //: Switch that refines each mask's edge against the photo
    //% "Refine edges"
    refineToggle_ = new QCheckBox(qtTrId("settings.mask.refine.enable"), refineSection);
    refineToggle_->setObjectName(QStringLiteral("refineEdgesToggle"));
    refineSection->contentLayout()->addWidget(refineToggle_);
    form->addWidget(refineSection);
    auto* refineFooter = new QVBoxLayout;
    refineFooter->setContentsMargins(footerIndent, 0, footerIndent, 0);
    //: Footer line under the edge refinement switch
    //% "Edges follow hair and fine detail in the photo, without the old background's colour."
    refineFooter->addWidget(footerLine(qtTrId("settings.mask.refine.note"), this));
    form->addLayout(refineFooter);
    form->addStretch(1);

    connect(toggle_, &QCheckBox::toggled, viewModel_, &ProcessingViewModel::updateExportMaskSeparately);
    connect(refineToggle_, &QCheckBox::toggled, viewModel_, &ProcessingViewModel::updateRefineEdges);
    connect(viewModel_, &ProcessingViewModel::settingsChanged, this, &MaskExportSettingsView::refresh);
    refresh();
}

void MaskExportSettingsView::refresh()
{
    toggle_->setChecked(viewModel_->settings().exportMaskSeparately);
    refineToggle_->setChecked(viewModel_->settings().refineEdges);
}

} // namespace pelorin
