// BatchProcessor: runs a list of jobs through decode → mask → composite → (sidecar) → write, at
// most maxConcurrency jobs at once, and reports every step as events. Every output is written to a
// hidden temporary file in its destination folder, flushed, and renamed over its final name, so a
// final name only ever holds a complete file. Cancellation stops waiting jobs at once and running
// jobs at their next checkpoint; jobs whose cutout is already written complete.
//
// Immutable: one processor may serve any number of runs, one after another or at once. Each run
// owns one scheduling thread and one thread per job in flight.
#pragma once

#include "engine/Services/BackgroundRemoving.h"
#include "engine/Services/BatchProcessing.h"
#include "engine/Services/ImageProcessing.h"

#include <filesystem>
#include <memory>
#include <stop_token>

namespace pelorin {

class BatchProcessor final : public BatchProcessing {
public:
    // The real pipeline (BackgroundRemover, ImageProcessor) on every core.
    BatchProcessor();
    // A value below 1 runs the jobs one at a time.
    BatchProcessor(std::shared_ptr<const BackgroundRemoving> backgroundRemover,
                   std::shared_ptr<const ImageProcessing> imageProcessor, int maxConcurrency);

    BatchProcessingHandle process(std::vector<ProcessingJob> jobs) const override;

    const std::shared_ptr<const BackgroundRemoving>& backgroundRemover() const { return backgroundRemover_; }
    const std::shared_ptr<const ImageProcessing>& imageProcessor() const { return imageProcessor_; }
    int maxConcurrency() const { return maxConcurrency_; }

    // The cores this process may run on, at least 1.
    static int defaultMaxConcurrency();

private:
    std::shared_ptr<const BackgroundRemoving> backgroundRemover_;
    std::shared_ptr<const ImageProcessing> imageProcessor_;
    int maxConcurrency_;
};

} // namespace pelorin
