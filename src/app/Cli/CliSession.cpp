#include "app/Cli/CliSession.h"

namespace pelorin::cli {

namespace {

constexpr int tickIntervalMs = 1000;

} // namespace

CliSession::CliSession(ProcessingViewModel& viewModel, CliReporter& reporter, QObject* parent)
    : QObject(parent),
      viewModel_(viewModel),
      reporter_(reporter)
{
    ticker_.setInterval(tickIntervalMs);
    connect(&ticker_, &QTimer::timeout, this, [this] { reporter_.tick(progress()); });
}

void CliSession::start()
{
    for (const ImageItem* item : viewModel_.items())
        lastKinds_[item] = item->status().kind();
    total_ = static_cast<int>(viewModel_.items().size());
    connect(&viewModel_, &ProcessingViewModel::itemChanged, this, &CliSession::itemChanged);
    connect(&viewModel_, &ProcessingViewModel::processingFinished, this, &CliSession::processingFinished);

    running_ = true;
    clock_.start();
    reporter_.runStarted(progress());
    viewModel_.startProcessing();
    if (!viewModel_.isProcessing()) {
        // No job was built, so no stream will ever finish: wind down from the event loop.
        QTimer::singleShot(0, this, &CliSession::processingFinished);
        return;
    }
    ticker_.start();
}

void CliSession::interrupt()
{
    if (!running_ || cancelRequested_)
        return;
    cancelRequested_ = true;
    reporter_.cancelling();
    viewModel_.cancelProcessing();
}

void CliSession::itemChanged(ImageItem* item)
{
    const auto found = lastKinds_.find(item);
    if (!running_ || found == lastKinds_.end())
        return;
    const ProcessingStatus::Kind kind = item->status().kind();
    // Output and message change just before the status; the status change carries the event.
    if (found->second == kind)
        return;
    found->second = kind;

    RowEvent event;
    event.source = item->url();
    switch (kind) {
    case ProcessingStatus::Kind::waiting:
        return; // a Start reset of a failed or cancelled row: not an event of this run
    case ProcessingStatus::Kind::processing:
        event.kind = RowEvent::Kind::started;
        inFlight_.removeAll(item);
        inFlight_.append(item);
        break;
    case ProcessingStatus::Kind::completed:
        event.kind = item->errorMessage() ? RowEvent::Kind::completedWithWarning : RowEvent::Kind::completed;
        event.output = item->outputURL();
        event.message = item->errorMessage().value_or(QString());
        break;
    case ProcessingStatus::Kind::error:
        event.kind = RowEvent::Kind::failed;
        event.message = item->status().message();
        break;
    case ProcessingStatus::Kind::cancelled: event.kind = RowEvent::Kind::cancelled; break;
    }
    if (event.isTerminal()) {
        inFlight_.removeAll(item);
        finishedRows_.insert(item);
    }
    reporter_.rowChanged(event, progress());
}

void CliSession::processingFinished()
{
    if (!running_)
        return;
    running_ = false;
    ticker_.stop();
    const RunSummary summary = RunSummary::tally(viewModel_.items(), clock_.elapsed() / 1000.0);
    reporter_.runFinished(summary);
    emit finished(summary.exitStatus());
}

RunProgress CliSession::progress() const
{
    RunProgress progress;
    progress.finished = static_cast<int>(finishedRows_.size());
    progress.total = total_;
    progress.elapsedSeconds = clock_.isValid() ? clock_.elapsed() / 1000.0 : 0;
    if (!inFlight_.isEmpty())
        progress.currentFile = inFlight_.last()->url();
    return progress;
}

} // namespace pelorin::cli
