// CliSession: one pelorin-cli run driven through the view model, as the window would drive it.
// It starts the run, turns the rows' status changes into row events for the reporter (the view
// model's signals are the only source: the tool keeps no parallel book of the processor's events),
// cancels on the first interrupt, and when the run has wound down reports the tally from the rows
// and emits `finished` with the exit status.
//
// GUI thread only. The view model and the reporter must outlive the session.
#pragma once

#include "app/Cli/CliReporter.h"
#include "app/ViewModels/ProcessingViewModel.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <unordered_map>

namespace pelorin::cli {

class CliSession final : public QObject {
    Q_OBJECT
public:
    CliSession(ProcessingViewModel& viewModel, CliReporter& reporter, QObject* parent = nullptr);

    // Starts the run over every queued row. `finished` is always emitted later, from the event
    // loop, even when no job could be started.
    void start();
    // Cancels like the Cancel button; further calls only repeat the request.
    void interrupt();

signals:
    void finished(int exitStatus);

private:
    void itemChanged(ImageItem* item);
    void processingFinished();
    RunProgress progress() const;

    ProcessingViewModel& viewModel_;
    CliReporter& reporter_;
    QElapsedTimer clock_;
    QTimer ticker_;
    std::unordered_map<const ImageItem*, ProcessingStatus::Kind> lastKinds_;
    QSet<const ImageItem*> finishedRows_;
    // Rows in flight, in the order they started; the last one is shown as the current file.
    QList<const ImageItem*> inFlight_;
    int total_ = 0;
    bool running_ = false;
    bool cancelRequested_ = false;
};

} // namespace pelorin::cli
