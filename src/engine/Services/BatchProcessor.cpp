#include "engine/Services/BatchProcessor.h"

#include "engine/Common/TaskGroup.h"
#include "engine/Common/TemporaryFile.h"
#include "engine/Extensions/ImageAlpha.h"
#include "engine/Extensions/ImageMetadata.h"
#include "engine/Imaging/ImageSource.h"
#include "engine/Matting/EdgeRefiner.h"
#include "engine/Matting/ForegroundEstimator.h"
#include "engine/Services/BackgroundRemover.h"
#include "engine/Services/ImageProcessor.h"

#include <sched.h>

#include <algorithm>
#include <exception>
#include <optional>
#include <thread>

namespace pelorin {

namespace {

using Continuation = AsyncStream<BatchProcessingEvent>::Continuation;

std::filesystem::path folderOf(const std::filesystem::path& url)
{
    std::filesystem::path folder = url.parent_path();
    return folder.empty() ? std::filesystem::path(".") : folder;
}

// What the writer said, plus the system's reason when it gave one: "Failed to finalize image data
// for X." alone would not tell the user that the disk is full.
std::string writeReason(const ImageIOWriteError& error)
{
    std::string reason = error.description();
    if (!error.detail().empty())
        reason += " " + error.detail();
    return reason;
}

// The model's mask refined against the photo, after bringing it to the 8-bit plane of the
// photo's size that the refiner reads.
Result<Image, std::string> refinedMask(const Image& photo, const Image& mask)
{
    auto plane = maskAsLinearGrayImage(mask, photo.width(), photo.height());
    if (!plane)
        return unexpected(plane.error().description());
    return EdgeRefiner().refine(photo, *plane);
}

// One job, start to terminal event. Owns its images and temporary files; shares only the stream.
class JobRun {
public:
    JobRun(const ProcessingJob& job, const BackgroundRemoving& remover, const ImageProcessing& processor,
           const Continuation& events, std::stop_token stop)
        : job_(job),
          remover_(remover),
          processor_(processor),
          events_(events),
          stop_(std::move(stop))
    {
    }

    void run()
    {
        try {
            pipeline();
        } catch (const std::exception& exception) {
            failFromException(exception.what());
        } catch (...) {
            failFromException("unexpected error");
        }
    }

private:
    enum class Step { decode, mask, composite, sidecar, cutout, publish };

    bool cancelled() const { return stop_.stop_requested(); }

    void emit(BatchProcessingEvent event)
    {
        terminalSent_ = terminalSent_ || event.isTerminal();
        events_.yield(std::move(event));
    }
    void fail(BatchProcessingError error) { emit(BatchProcessingEvent::failed(job_.id(), std::move(error))); }
    void cancel() { emit(BatchProcessingEvent::cancelled(job_.id())); }

    void pipeline()
    {
        if (cancelled()) { // C1
            cancel();
            return;
        }
        emit(BatchProcessingEvent::started(job_.id()));

        step_ = Step::decode;
        auto decoded = decode();
        if (!decoded) {
            fail(BatchProcessingError::sourceImageUnreadable(job_.inputURL()));
            return;
        }
        const std::optional<ImageMetadata> metadata = std::move(decoded->metadata);
        const size_t width = decoded->image.width();
        const size_t height = decoded->image.height();

        // The source's and the mask's pixels live only in this scope: the cutout holds its own.
        std::optional<Image> cutout;
        std::optional<TemporaryFile> sidecar;
        {
            step_ = Step::mask;
            auto mask = remover_.generateMask(decoded->image);
            if (!mask) {
                // Once cancelled, any failure of the mask step counts as the cancellation.
                if (cancelled())
                    cancel();
                else
                    fail(BatchProcessingError::maskGenerationFailed(mask.error().description()));
                return;
            }
            if (cancelled()) { // C2
                cancel();
                return;
            }
            if (job_.refineEdges()) {
                auto refined = refinedMask(decoded->image, *mask);
                if (!refined) {
                    fail(BatchProcessingError::maskGenerationFailed(refined.error()));
                    return;
                }
                *mask = std::move(refined).value();
            }

            step_ = Step::composite;
            // The photo's last use: its pages go as the cutout's fill in, so both never sit whole.
            auto composited = processor_.compositeReleasingSource(std::move(decoded->image), *mask);
            decoded.reset();
            if (!composited) {
                fail(BatchProcessingError::compositeFailed(composited.error().description()));
                return;
            }
            cutout.emplace(std::move(composited).value());
            if (job_.refineEdges()) {
                auto estimated = ForegroundEstimator().estimate(*cutout);
                if (!estimated) {
                    fail(BatchProcessingError::compositeFailed(estimated.error()));
                    return;
                }
                cutout.emplace(std::move(estimated).value());
            }

            step_ = Step::sidecar;
            if (const auto& maskURL = job_.maskOutputURL()) {
                sidecar.emplace(TemporaryFile::makePath(folderOf(*maskURL)));
                auto grey = maskAsLinearGrayImage(*mask, width, height);
                if (!grey) {
                    fail(BatchProcessingError::writeFailed(*maskURL, grey.error().description()));
                    return;
                }
                auto saved = processor_.save(*grey, sidecar->path(), OutputFormat::png, std::nullopt);
                if (!saved) {
                    sidecar->remove();
                    fail(BatchProcessingError::writeFailed(*maskURL, writeReason(saved.error())));
                    return;
                }
            }
        }
        if (cancelled()) { // C3
            cancel();
            return;
        }

        step_ = Step::cutout;
        TemporaryFile cutoutFile(TemporaryFile::makePath(folderOf(job_.outputURL())));
        auto written = processor_.save(*cutout, cutoutFile.path(), job_.format(), metadata);
        cutout.reset();
        if (!written) {
            const auto& error = written.error();
            if (error.is<ImageIOWriteError::UnsupportedFormat>()) {
                fail(BatchProcessingError::unsupportedOutputFormat(
                    std::get<ImageIOWriteError::UnsupportedFormat>(error.value()).format));
            } else {
                fail(BatchProcessingError::writeFailed(job_.outputURL(), writeReason(error)));
            }
            return;
        }
        if (cancelled()) { // C4
            cancel();
            return;
        }

        // Past this point the job completes even if the run is cancelled.
        step_ = Step::publish;
        if (const std::error_code moved = cutoutFile.publish(job_.outputURL())) {
            fail(BatchProcessingError::writeFailed(job_.outputURL(), moved.message()));
            return;
        }
        if (sidecar) {
            const auto& maskURL = *job_.maskOutputURL();
            if (const std::error_code moved = sidecar->publish(maskURL)) {
                sidecar->remove();
                emit(BatchProcessingEvent::completedWithWarning(
                    job_.id(), job_.outputURL(), BatchProcessingError::writeFailed(maskURL, moved.message())));
                return;
            }
        }
        emit(BatchProcessingEvent::completed(job_.id(), job_.outputURL()));
    }

    struct Decoded {
        Image image;
        std::optional<ImageMetadata> metadata; // absent when the header cannot be read
    };

    // Pixels and metadata from one read of the file, which is released before the mask step.
    std::optional<Decoded> decode() const
    {
        auto opened = ImageSource::open(job_.inputURL());
        if (!opened)
            return std::nullopt;
        auto image = (*opened)->createImage();
        if (!image)
            return std::nullopt;
        std::optional<ImageMetadata> metadata;
        if (auto properties = (*opened)->properties())
            metadata = ImageMetadata::from(*properties);
        return Decoded{std::move(image).value(), std::move(metadata)};
    }

    // A library threw (out of memory, most likely): the job fails at the step it was in, and
    // every temporary file has already been removed by its owner's destructor.
    void failFromException(const std::string& what)
    {
        if (terminalSent_)
            return;
        switch (step_) {
        case Step::decode: fail(BatchProcessingError::sourceImageUnreadable(job_.inputURL())); break;
        case Step::mask: fail(BatchProcessingError::maskGenerationFailed(what)); break;
        case Step::composite: fail(BatchProcessingError::compositeFailed(what)); break;
        case Step::sidecar: fail(BatchProcessingError::writeFailed(*job_.maskOutputURL(), what)); break;
        case Step::cutout:
        case Step::publish: fail(BatchProcessingError::writeFailed(job_.outputURL(), what)); break;
        }
    }

    const ProcessingJob& job_;
    const BackgroundRemoving& remover_;
    const ImageProcessing& processor_;
    Continuation events_;
    std::stop_token stop_;
    Step step_ = Step::decode;
    bool terminalSent_ = false;
};

void runJobs(const BatchProcessor& processor, const std::vector<ProcessingJob>& jobs, const Continuation& events,
             std::stop_token stop)
{
    const int limit = std::max(1, processor.maxConcurrency());
    TaskGroup group;
    int inFlight = 0;
    const auto cancelFrom = [&](size_t first) {
        for (size_t i = first; i < jobs.size(); ++i)
            events.yield(BatchProcessingEvent::cancelled(jobs[i].id()));
    };
    for (size_t i = 0; i < jobs.size(); ++i) {
        if (stop.stop_requested()) {
            cancelFrom(i);
            break;
        }
        if (inFlight >= limit) {
            // A stop while every slot is busy cancels the waiting jobs now rather than after a
            // running job's (possibly long) step.
            if (!group.waitForAny(stop)) {
                cancelFrom(i);
                break;
            }
            --inFlight;
        }
        const ProcessingJob& job = jobs[i];
        auto task = [&job, &processor, events, stop] {
            JobRun(job, *processor.backgroundRemover(), *processor.imageProcessor(), events, stop).run();
        };
        try {
            group.spawn(task);
            ++inFlight;
        } catch (const std::system_error&) {
            task(); // no thread to be had: run it here rather than drop it
        }
    }
    group.waitAll();
}

} // namespace

BatchProcessor::BatchProcessor()
    : BatchProcessor(std::make_shared<BackgroundRemover>(), std::make_shared<ImageProcessor>(), defaultMaxConcurrency())
{
}

BatchProcessor::BatchProcessor(std::shared_ptr<const BackgroundRemoving> backgroundRemover,
                               std::shared_ptr<const ImageProcessing> imageProcessor, int maxConcurrency)
    : backgroundRemover_(std::move(backgroundRemover)),
      imageProcessor_(std::move(imageProcessor)),
      maxConcurrency_(maxConcurrency)
{
}

BatchProcessingHandle BatchProcessor::process(std::vector<ProcessingJob> jobs) const
{
    auto [events, continuation] = AsyncStream<BatchProcessingEvent>::make();
    std::stop_source stop;
    // Finishing the stream, or its consumer going away, cancels the run.
    continuation.setOnTermination([stop]() mutable { stop.request_stop(); });

    auto run = [processor = *this, jobs = std::move(jobs), continuation, token = stop.get_token()] {
        try {
            runJobs(processor, jobs, continuation, token);
        } catch (...) {
            // Only a failure of the threading runtime itself lands here; the stream still ends.
        }
        continuation.finish();
    };
    try {
        std::thread(std::move(run)).detach();
    } catch (const std::system_error&) {
        continuation.finish(); // unreachable in practice; never leave the consumer waiting
    }
    return BatchProcessingHandle(std::move(events), [stop]() mutable { stop.request_stop(); });
}

int BatchProcessor::defaultMaxConcurrency()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0)
        return std::max(1, CPU_COUNT(&set));
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

} // namespace pelorin
