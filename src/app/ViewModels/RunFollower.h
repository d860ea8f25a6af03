// ProcessingViewModel::RunFollower: the GUI-thread end of one run's event stream. The processor
// yields events on its worker threads; each arrival posts one queued "drain" call to a receiver
// living on the GUI thread, where the view model takes the buffered events in stream order.
//
// Owned by the view model while the run is followed. Destroying it first cuts the wake-up path
// (under a lock shared with the worker-side callback, so no post can reach a dying receiver), then
// drops the stream, which cancels the run if it had not finished.
#pragma once

#include "engine/Services/BatchProcessingHandle.h"
#include "app/ViewModels/ProcessingViewModel.h"

#include <functional>
#include <memory>
#include <optional>

namespace pelorin {

class ProcessingViewModel::RunFollower {
public:
    // `receiver` lives on the GUI thread and must outlive this object; `drain` is queued on it,
    // at most one call pending at a time.
    RunFollower(BatchProcessingHandle::EventStream events, QObject* receiver, std::function<void()> drain);
    ~RunFollower();
    RunFollower(const RunFollower&) = delete;
    RunFollower& operator=(const RunFollower&) = delete;

    // The next buffered event, without waiting. GUI thread. Call beginDrain() before a round of
    // next() calls so that events arriving meanwhile schedule another round.
    void beginDrain();
    std::optional<BatchProcessingEvent> next();
    // The stream finished and every event was taken.
    bool isDrained() const;

private:
    struct Wakeup;

    std::shared_ptr<Wakeup> wakeup_;
    BatchProcessingHandle::EventStream events_;
};

} // namespace pelorin
