#include "app/Views/ContentView.h"

#include "app/ViewModels/ProcessingViewModel.h"
#include "app/Views/DropZoneView.h"
#include "app/Views/FileListView.h"
#include "app/Views/Icons.h"
#include "app/Views/ProminentButton.h"
#include "app/Views/SettingsBar.h"
#include "app/Views/SpinnerIcon.h"
#include "app/Views/SummaryView.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace pelorin {

namespace {

constexpr QSize minimumContentSize(640, 520);
constexpr int barPadding = 12;
constexpr int topBarTopPadding = 8;
constexpr int primaryMinimumWidth = 110;
constexpr QSize gearIconSize(18, 18);
const QColor cancelTint(0xd9, 0x3b, 0x30);

QFrame* divider(QWidget* parent)
{
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setFixedHeight(1);
    line->setForegroundRole(QPalette::Mid);
    return line;
}

} // namespace

ContentView::ContentView(ProcessingViewModel* viewModel, QWidget* parent) : QWidget(parent), viewModel_(viewModel)
{
    setMinimumSize(minimumContentSize);
    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    pages_ = new QStackedWidget(this);
    auto* dropZone = new DropZoneView(viewModel_, pages_);
    emptyPage_ = dropZone;
    connect(dropZone, &DropZoneView::settingsRequested, this, &ContentView::settingsRequested);
    pages_->addWidget(emptyPage_);
    queuePage_ = makeQueueLayout();
    pages_->addWidget(queuePage_);
    root->addWidget(pages_);

    for (auto changed : {&ProcessingViewModel::itemsChanged, &ProcessingViewModel::settingsChanged,
                         &ProcessingViewModel::isProcessingChanged, &ProcessingViewModel::isCancellingChanged,
                         &ProcessingViewModel::processingFinished})
        connect(viewModel_, changed, this, &ContentView::refresh);
    connect(viewModel_, &ProcessingViewModel::itemChanged, this, &ContentView::refresh);
    refresh();
}

QWidget* ContentView::makeQueueLayout()
{
    auto* page = new QWidget(pages_);
    auto* stack = new QVBoxLayout(page);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);

    auto* topBar = new QHBoxLayout;
    topBar->setContentsMargins(barPadding, topBarTopPadding, barPadding, 0);
    topBar->addStretch(1);
    gearButton_ = new QToolButton(page);
    gearButton_->setObjectName(QStringLiteral("gearButton"));
    gearButton_->setAutoRaise(true);
    gearButton_->setIcon(Icons::named(QStringLiteral("gear")));
    gearButton_->setIconSize(gearIconSize);
    //: Tooltip of the gear button above the file list
    //% "Settings"
    gearButton_->setToolTip(qtTrId("contentview.settings.help"));
    //: Accessibility label of the gear button above the file list
    //% "Settings"
    gearButton_->setAccessibleName(qtTrId("contentview.settings.a11y"));
    connect(gearButton_, &QToolButton::clicked, this, &ContentView::settingsRequested);
    topBar->addWidget(gearButton_);
    stack->addLayout(topBar);

    stack->addWidget(new SettingsBar(viewModel_, page));
    stack->addWidget(divider(page));
    stack->addWidget(new FileListView(viewModel_, page), 1);

    summaryArea_ = new QWidget(page);
    summaryArea_->setObjectName(QStringLiteral("summaryArea"));
    auto* summaryStack = new QVBoxLayout(summaryArea_);
    summaryStack->setContentsMargins(0, 0, 0, 0);
    summaryStack->setSpacing(0);
    summaryStack->addWidget(divider(summaryArea_));
    summaryStack->addWidget(new SummaryView(viewModel_, summaryArea_));
    stack->addWidget(summaryArea_);
    stack->addWidget(divider(page));

    auto* bottomBar = new QHBoxLayout;
    bottomBar->setContentsMargins(barPadding, barPadding, barPadding, barPadding);
    //: Button that shows the output folder in the desktop's file manager
    //% "Open in File Manager"
    openButton_ = new QPushButton(qtTrId("contentview.openInFinder"), page);
    openButton_->setObjectName(QStringLiteral("openInFileManagerButton"));
    connect(openButton_, &QPushButton::clicked, viewModel_, &ProcessingViewModel::openOutputFolder);
    bottomBar->addWidget(openButton_);
    bottomBar->addStretch(1);
    //: Button that removes every row from the list
    //% "Clear"
    clearButton_ = new QPushButton(qtTrId("contentview.clear"), page);
    clearButton_->setObjectName(QStringLiteral("clearButton"));
    connect(clearButton_, &QPushButton::clicked, this, &ContentView::clearClicked);
    bottomBar->addWidget(clearButton_);
    primaryButton_ = new ProminentButton(QString(), page);
    primaryButton_->setObjectName(QStringLiteral("primaryButton"));
    primaryButton_->setMinimumWidth(primaryMinimumWidth);
    connect(primaryButton_, &QPushButton::clicked, this, &ContentView::primaryClicked);
    bottomBar->addWidget(primaryButton_);
    stack->addLayout(bottomBar);

    // Window-wide keys. Each shortcut belongs to its button, so a disabled or hidden button keeps
    // its key from firing; the key of the form not shown is switched off as well.
    const auto clickIfEnabled = [](QPushButton* button) {
        return [button] {
            if (button->isEnabled() && button->isVisible())
                button->click();
        };
    };
    auto* openShortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O), openButton_);
    connect(openShortcut, &QShortcut::activated, this, clickIfEnabled(openButton_));
    startReturn_ = new QShortcut(QKeySequence(Qt::Key_Return), primaryButton_);
    startEnter_ = new QShortcut(QKeySequence(Qt::Key_Enter), primaryButton_);
    cancelEscape_ = new QShortcut(QKeySequence(Qt::Key_Escape), primaryButton_);
    for (QShortcut* shortcut : {startReturn_, startEnter_, cancelEscape_})
        connect(shortcut, &QShortcut::activated, this, clickIfEnabled(primaryButton_));

    spinner_ = new SpinnerIcon(Qt::white, this);
    connect(spinner_, &SpinnerIcon::frameChanged, this, [this] { primaryButton_->setIcon(spinner_->frame()); });
    return page;
}

bool ContentView::isShowingQueue() const
{
    return pages_->currentWidget() == queuePage_;
}

QMessageBox* ContentView::clearConfirmation() const
{
    return clearConfirmation_;
}

void ContentView::refresh()
{
    pages_->setCurrentWidget(viewModel_->hasItems() ? queuePage_ : emptyPage_);
    const bool processing = viewModel_->isProcessing();
    summaryArea_->setVisible(processing || viewModel_->completedCount() >= 1);
    openButton_->setEnabled(viewModel_->canOpenOutputFolder());
    clearButton_->setEnabled(!processing);
    refreshPrimaryButton();
}

void ContentView::refreshPrimaryButton()
{
    const bool processing = viewModel_->isProcessing();
    const bool cancelling = processing && viewModel_->isCancelling();
    startReturn_->setEnabled(!processing);
    startEnter_->setEnabled(!processing);
    cancelEscape_->setEnabled(processing && !cancelling);

    QString title;
    if (!processing) {
        //: Primary button while no run is going: starts processing the waiting rows
        //% "Start"
        title = qtTrId("contentview.start");
        primaryButton_->setTint(QColor());
        primaryButton_->setIcon(Icons::tinted(QStringLiteral("play"), Qt::white));
        primaryButton_->setEnabled(viewModel_->canStartProcessing());
        spinner_->stop();
    } else if (!cancelling) {
        //: Primary button during a run: stops it
        //% "Cancel"
        title = qtTrId("contentview.cancel");
        primaryButton_->setTint(cancelTint);
        primaryButton_->setIcon(Icons::tinted(QStringLiteral("stop"), Qt::white));
        primaryButton_->setEnabled(true);
        spinner_->stop();
    } else {
        //: Primary button after Cancel was pressed, until the run has wound down
        //% "Cancelling…"
        title = qtTrId("contentview.cancelling");
        primaryButton_->setTint(cancelTint);
        primaryButton_->setEnabled(false);
        if (!spinner_->isSpinning()) {
            primaryButton_->setIcon(spinner_->frame());
            spinner_->start();
        }
    }
    primaryButton_->setText(title);
    primaryButton_->setAccessibleName(title);
}

void ContentView::primaryClicked()
{
    if (viewModel_->isProcessing())
        viewModel_->cancelProcessing();
    else
        viewModel_->startProcessing();
}

void ContentView::clearClicked()
{
    if (viewModel_->items().size() < clearConfirmationThreshold)
        viewModel_->clearItems();
    else
        showClearConfirmation();
}

void ContentView::showClearConfirmation()
{
    if (clearConfirmation_)
        return;
    auto* box = new QMessageBox(this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setIcon(QMessageBox::Warning);
    box->setTextFormat(Qt::PlainText);
    //: Title of the question asked before clearing a long list
    //% "Clear all images?"
    const QString title = qtTrId("contentview.clear.confirmTitle");
    box->setWindowTitle(title);
    box->setText(title);
    //: Message of the question asked before clearing a long list
    //% "This removes every row from the list. The output files already on disk are not affected."
    box->setInformativeText(qtTrId("contentview.clear.confirmMessage"));
    //: Button that confirms clearing the whole list
    //% "Clear All"
    QAbstractButton* clearAll = box->addButton(qtTrId("contentview.clear.confirmAction"), QMessageBox::DestructiveRole);
    //: Button that keeps the list as it is
    //% "Keep"
    QPushButton* keep = box->addButton(qtTrId("contentview.clear.confirmCancel"), QMessageBox::RejectRole);
    box->setDefaultButton(keep);
    box->setEscapeButton(keep);
    connect(box, &QMessageBox::buttonClicked, this, [this, clearAll](QAbstractButton* clicked) {
        if (clicked == clearAll)
            viewModel_->clearItems();
    });
    clearConfirmation_ = box;
    box->open();
}

void ContentView::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    if (!event->spontaneous())
        viewModel_->cancelProcessing();
}

} // namespace pelorin
