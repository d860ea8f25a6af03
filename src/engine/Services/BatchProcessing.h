// BatchProcessing: how run control starts a batch. An interface, so a test can drive run control
// with a processor of its own; BatchProcessor is the real one.
#pragma once

#include "engine/Models/ProcessingJob.h"
#include "engine/Services/BatchProcessingHandle.h"

#include <vector>

namespace pelorin {

class BatchProcessing {
public:
    virtual ~BatchProcessing() = default;
    // Starts the jobs in the background and returns at once. Never fails: every outcome arrives as
    // events on the handle's stream.
    virtual BatchProcessingHandle process(std::vector<ProcessingJob> jobs) const = 0;
};

} // namespace pelorin
