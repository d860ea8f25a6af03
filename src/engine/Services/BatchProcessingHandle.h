// BatchProcessingHandle: what a caller holds for one batch run: the run's event stream (single
// consumer; dropping it cancels the run) and the means to cancel. Move-only because the stream is.
#pragma once

#include "engine/Common/AsyncStream.h"
#include "engine/Services/BatchProcessingEvent.h"

#include <functional>

namespace pelorin {

class BatchProcessingHandle {
public:
    using EventStream = AsyncStream<BatchProcessingEvent>;

    BatchProcessingHandle(EventStream events, std::function<void()> cancel)
        : events(std::move(events)),
          cancelImpl(std::move(cancel))
    {
    }

    // Requests cancellation; returns at once. Any thread, any number of times, also after the end.
    void cancel() const
    {
        if (cancelImpl)
            cancelImpl();
    }

    // The run's events in the order they were produced; finishes after every job's terminal event.
    EventStream events;
    std::function<void()> cancelImpl;
};

} // namespace pelorin
