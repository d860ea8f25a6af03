// SummaryView: the footer under the file list: "N of M processed" beside a document symbol, and
// while a run goes a spinner with "Processing…" (or "Cancelling…" after Cancel). Reads the view
// model only. GUI thread only; the view model must outlive the view.
#pragma once

#include <QWidget>

class QLabel;

namespace pelorin {

class ProcessingViewModel;
class SpinnerIcon;

class SummaryView final : public QWidget {
    Q_OBJECT
public:
    explicit SummaryView(ProcessingViewModel* viewModel, QWidget* parent = nullptr);

    QString progressText() const;
    // Empty while no run goes.
    QString processingLabel() const;
    bool isSpinnerTurning() const;

private:
    void refresh();
    void refreshSpinnerFrame();

    ProcessingViewModel* viewModel_;
    QLabel* progress_;
    QLabel* spinnerLabel_;
    QLabel* processing_;
    SpinnerIcon* spinner_;
};

} // namespace pelorin
