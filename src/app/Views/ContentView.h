// ContentView: everything inside the main window. With an empty queue it is the large drop zone;
// with rows it stacks the gear bar, the settings bar, the file list, the progress footer (once a
// row is done or while a run goes) and the bottom bar with Open in File Manager, Clear and
// Start/Cancel. Apart from asking before clearing five or more rows, every control only reads
// the view model and calls its operations. Hiding the view (the window closing) cancels a run.
// GUI thread only; the view model must outlive the view.
#pragma once

#include <QPointer>
#include <QWidget>

class QMessageBox;
class QPushButton;
class QShortcut;
class QStackedWidget;
class QToolButton;

namespace pelorin {

class ProcessingViewModel;
class ProminentButton;
class SpinnerIcon;

class ContentView final : public QWidget {
    Q_OBJECT
public:
    // Lists of at least this many rows are cleared only after the user confirms.
    static constexpr int clearConfirmationThreshold = 5;

    explicit ContentView(ProcessingViewModel* viewModel, QWidget* parent = nullptr);

    // True while the queue layout (not the empty drop zone) is shown.
    bool isShowingQueue() const;
    // The Clear confirmation while it is shown.
    QMessageBox* clearConfirmation() const;

signals:
    // A gear button was pressed: the window should show the settings sheet.
    void settingsRequested();

protected:
    // A window closing hides its content without the event being spontaneous; minimising sends a
    // spontaneous one, which must not stop the run.
    void hideEvent(QHideEvent* event) override;

private:
    QWidget* makeQueueLayout();
    void refresh();
    void refreshPrimaryButton();
    void primaryClicked();
    void clearClicked();
    void showClearConfirmation();

    ProcessingViewModel* viewModel_;
    QStackedWidget* pages_;
    QWidget* emptyPage_;
    QWidget* queuePage_ = nullptr;
    QToolButton* gearButton_ = nullptr;
    QWidget* summaryArea_ = nullptr;
    QPushButton* openButton_ = nullptr;
    QPushButton* clearButton_ = nullptr;
    ProminentButton* primaryButton_ = nullptr;
    QShortcut* startReturn_ = nullptr;
    QShortcut* startEnter_ = nullptr;
    QShortcut* cancelEscape_ = nullptr;
    SpinnerIcon* spinner_ = nullptr;
    QPointer<QMessageBox> clearConfirmation_;
};

} // namespace pelorin
