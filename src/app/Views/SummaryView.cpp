#include "app/Views/SummaryView.h"

#include "app/ViewModels/ProcessingViewModel.h"
#include "app/Views/Icons.h"
#include "app/Views/SpinnerIcon.h"
#include "app/Views/TextStyles.h"

#include <QHBoxLayout>
#include <QLabel>

namespace pelorin {

namespace {

constexpr int spacing = 16;
constexpr int horizontalPadding = 16;
constexpr int verticalPadding = 8;
constexpr int symbolGap = 6;

} // namespace

SummaryView::SummaryView(ProcessingViewModel* viewModel, QWidget* parent)
    : QWidget(parent),
      viewModel_(viewModel),
      spinner_(new SpinnerIcon(TextStyles::secondaryColor(palette()), this))
{
    QPalette background = palette();
    background.setColor(QPalette::Window, palette().color(QPalette::Base));
    background.setColor(QPalette::WindowText, TextStyles::secondaryColor(palette()));
    setPalette(background);
    setAutoFillBackground(true);

    const QFont caption = TextStyles::captionFont(font());
    const int symbolSize = QFontMetrics(caption).height();

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(horizontalPadding, verticalPadding, horizontalPadding, verticalPadding);
    row->setSpacing(spacing);

    auto* progressGroup = new QHBoxLayout;
    progressGroup->setSpacing(symbolGap);
    auto* doc = new QLabel(this);
    doc->setPixmap(Icons::named(QStringLiteral("doc")).pixmap(QSize(symbolSize, symbolSize)));
    progressGroup->addWidget(doc);
    progress_ = new QLabel(this);
    progress_->setObjectName(QStringLiteral("summaryProgress"));
    progress_->setFont(caption);
    progressGroup->addWidget(progress_);
    row->addLayout(progressGroup);

    row->addStretch(1);

    auto* runningGroup = new QHBoxLayout;
    runningGroup->setSpacing(symbolGap);
    spinnerLabel_ = new QLabel(this);
    spinnerLabel_->setFixedSize(symbolSize, symbolSize);
    runningGroup->addWidget(spinnerLabel_);
    processing_ = new QLabel(this);
    processing_->setObjectName(QStringLiteral("summaryProcessing"));
    processing_->setFont(caption);
    runningGroup->addWidget(processing_);
    row->addLayout(runningGroup);

    connect(spinner_, &SpinnerIcon::frameChanged, this, &SummaryView::refreshSpinnerFrame);
    for (auto changed : {&ProcessingViewModel::itemsChanged, &ProcessingViewModel::isProcessingChanged,
                         &ProcessingViewModel::isCancellingChanged})
        connect(viewModel_, changed, this, &SummaryView::refresh);
    connect(viewModel_, &ProcessingViewModel::itemChanged, this, &SummaryView::refresh);
    refresh();
}

QString SummaryView::progressText() const
{
    return progress_->text();
}

QString SummaryView::processingLabel() const
{
    return processing_->isVisibleTo(this) ? processing_->text() : QString();
}

bool SummaryView::isSpinnerTurning() const
{
    return spinner_->isSpinning();
}

void SummaryView::refresh()
{
    //: Footer caption under the file list: completed rows of all rows
    //% "%1 of %2 processed"
    progress_->setText(qtTrId("summary.progress").arg(viewModel_->completedCount()).arg(viewModel_->items().size()));

    const bool running = viewModel_->isProcessing();
    spinnerLabel_->setVisible(running);
    processing_->setVisible(running);
    if (!running) {
        spinner_->stop();
        return;
    }
    if (viewModel_->isCancelling()) {
        //: Footer label after Cancel was pressed, until the run has stopped
        //% "Cancelling…"
        processing_->setText(qtTrId("summary.cancelling"));
    } else {
        //: Footer label while a run goes
        //% "Processing…"
        processing_->setText(qtTrId("summary.processing"));
    }
    spinner_->start();
    refreshSpinnerFrame();
}

void SummaryView::refreshSpinnerFrame()
{
    spinnerLabel_->setPixmap(spinner_->frame().pixmap(spinnerLabel_->size()));
}

} // namespace pelorin
