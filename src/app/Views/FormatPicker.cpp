#include "app/Views/FormatPicker.h"

#include "app/ViewModels/ProcessingViewModel.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QToolButton>

namespace pelorin {

namespace {

// Joined segments: one outer rounded outline, the chosen segment filled with the accent colour.
const char* const segmentStyle = R"(
QToolButton {
    border: 1px solid palette(mid);
    background: palette(button);
    color: palette(button-text);
    padding: 3px 10px;
}
QToolButton:hover:!checked { background: palette(light); }
QToolButton:checked {
    background: palette(highlight);
    border-color: palette(highlight);
    color: palette(highlighted-text);
}
QToolButton#firstSegment { border-top-left-radius: 6px; border-bottom-left-radius: 6px; }
QToolButton#lastSegment {
    border-left: none;
    border-top-right-radius: 6px;
    border-bottom-right-radius: 6px;
}
QToolButton:focus { border-color: palette(highlight); }
)";

} // namespace

FormatPicker::FormatPicker(ProcessingViewModel* viewModel, QWidget* parent)
    : QWidget(parent),
      viewModel_(viewModel),
      group_(new QButtonGroup(this))
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    group_->setExclusive(true);

    const auto& formats = OutputFormats::allCases;
    for (size_t index = 0; index < formats.size(); ++index) {
        auto* button = new QToolButton(this);
        const std::string_view name = OutputFormats::displayName(formats[index]);
        button->setText(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
        button->setCheckable(true);
        button->setFocusPolicy(Qt::TabFocus);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        if (index == 0)
            button->setObjectName(QStringLiteral("firstSegment"));
        else if (index + 1 == formats.size())
            button->setObjectName(QStringLiteral("lastSegment"));
        group_->addButton(button, static_cast<int>(index));
        row->addWidget(button);
    }
    setStyleSheet(QString::fromLatin1(segmentStyle));

    connect(group_, &QButtonGroup::idClicked, this,
            [this](int id) { viewModel_->updateOutputFormat(OutputFormats::allCases.at(static_cast<size_t>(id))); });
    connect(viewModel_, &ProcessingViewModel::settingsChanged, this, &FormatPicker::refresh);
    refresh();
}

QAbstractButton* FormatPicker::segment(OutputFormat format) const
{
    const auto& formats = OutputFormats::allCases;
    for (size_t index = 0; index < formats.size(); ++index)
        if (formats[index] == format)
            return group_->button(static_cast<int>(index));
    return nullptr;
}

void FormatPicker::refresh()
{
    if (QAbstractButton* current = segment(viewModel_->settings().outputFormat))
        current->setChecked(true);
}

} // namespace pelorin
