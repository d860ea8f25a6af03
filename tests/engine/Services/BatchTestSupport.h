// Shared by the batch tests: doubles for the mask and the image processor that log every call, hold
// it on request or fail it, a consumer that collects a run's events, and checks of the event contract.
//
// Each job's source is a small PNG whose width is kBaseWidth + the job's index, so the doubles
// (which see only images) know which job is calling. Every wait gives up after kWait, so a hung
// run fails its test instead of hanging ctest.
#pragma once

#include "engine/Extensions/ImageAlpha.h"
#include "engine/Extensions/ImageIO.h"
#include "engine/Services/BatchProcessor.h"
#include "engine/Services/ImageProcessor.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace pelorin {

inline void PrintTo(const BatchProcessingEvent& event, std::ostream* out)
{
    static const char* const names[] = {"started", "completed", "failed", "cancelled", "completedWithWarning"};
    *out << names[int(event.kind())] << '(' << event.jobId().toString().substr(0, 8);
    if (event.outputURL())
        *out << ", " << *event.outputURL();
    if (const auto& e = event.error())
        *out << ", error " << int(e->kind()) << ' ' << e->url() << " \"" << e->reason() << '"';
    *out << ')';
}

namespace test {

inline constexpr auto kWait = std::chrono::seconds(20);
inline constexpr size_t kBaseWidth = 40;

using Kind = BatchProcessingEvent::Kind;
using Event = BatchProcessingEvent;
using Events = std::vector<BatchProcessingEvent>;
namespace fs = std::filesystem;

enum class Step { mask, composite, sidecarSave, cutoutSave };

struct Call {
    Step step;
    size_t job;
    fs::path url; // saves only
};

inline size_t jobOf(const Image& image)
{
    return image.width() - kBaseWidth;
}

// Polls until `done` holds; false once `limit` has gone by.
template <typename Done>
bool eventually(Done done, std::chrono::seconds limit = kWait)
{
    for (const auto deadline = std::chrono::steady_clock::now() + limit; !done();
         std::this_thread::sleep_for(std::chrono::milliseconds(2)))
        if (std::chrono::steady_clock::now() > deadline)
            return false;
    return true;
}

// The mask generator and the image processor in one double, scripted before the run: each call is
// logged, held while its step and job are in `held` (until release()), or failed as scripted. The
// mask's left half is subject; the real processor composites and saves, and a sidecar is told from
// a cutout by its 8-bit pixels.
class Doubles final : public BackgroundRemoving, public ImageProcessing {
public:
    std::set<std::pair<Step, size_t>> held;
    std::map<size_t, BackgroundRemoverError> maskFailures;
    std::map<size_t, AlphaCompositionError> compositeFailures;
    std::map<std::pair<Step, size_t>, ImageIOWriteError> saveFailures;

    Result<Image, BackgroundRemoverError> generateMask(const Image& image) const override
    {
        const size_t job = enter(Step::mask, image), width = image.width();
        if (auto it = maskFailures.find(job); it != maskFailures.end())
            return unexpected(it->second);
        std::vector<uint8_t> bytes(width * image.height());
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = i % width < width / 2 ? 255 : 0;
        return makeImage({width, image.height(), 8, 8, width, 0}, std::move(bytes), linearGrayColorSpace());
    }
    Result<Image, AlphaCompositionError> composite(const Image& image, const Image& mask) const override
    {
        if (auto it = compositeFailures.find(enter(Step::composite, image)); it != compositeFailures.end())
            return unexpected(it->second);
        return real_.composite(image, mask);
    }
    Result<void, ImageIOWriteError> save(const Image& image, const fs::path& url, OutputFormat format,
                                         const std::optional<ImageMetadata>& metadata) const override
    {
        const Step step = image.bitsPerPixel() == 8 ? Step::sidecarSave : Step::cutoutSave;
        if (auto it = saveFailures.find({step, enter(step, image, url)}); it != saveFailures.end())
            return unexpected(it->second);
        return real_.save(image, url, format, metadata);
    }

    // True once every held call has arrived.
    bool waitHeld() const
    {
        return eventually([&] {
            std::lock_guard lock(mutex_);
            return heldArrived_ == held.size();
        });
    }
    void release() const { released_ = true; }
    std::vector<Call> calls() const
    {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::vector<Step> stepsOf(size_t job) const
    {
        std::vector<Step> steps;
        for (const auto& call : calls())
            if (call.job == job)
                steps.push_back(call.step);
        return steps;
    }

private:
    size_t enter(Step step, const Image& image, fs::path url = {}) const
    {
        const size_t job = jobOf(image);
        {
            std::lock_guard lock(mutex_);
            calls_.push_back({step, job, std::move(url)});
            heldArrived_ += held.contains({step, job});
        }
        if (held.contains({step, job}))
            eventually([&] { return released_.load(); });
        return job;
    }

    ImageProcessor real_;
    mutable std::mutex mutex_;
    mutable std::vector<Call> calls_;
    mutable size_t heldArrived_ = 0;
    mutable std::atomic<bool> released_ = false;
};

// Collects a run's events by polling its stream; every wait gives up after its limit.
class EventCollector {
public:
    explicit EventCollector(BatchProcessingHandle handle) : handle_(std::move(handle)) {}

    void cancel() const { handle_.cancel(); }

    // True when the stream ended in time.
    bool waitForEnd(std::chrono::seconds limit = kWait)
    {
        return eventually(
            [&] {
                events();
                return handle_.events.isDrained();
            },
            limit);
    }
    const Events& events()
    {
        while (auto event = handle_.events.tryNext())
            events_.push_back(std::move(*event));
        return events_;
    }

private:
    BatchProcessingHandle handle_;
    Events events_;
};

// Runs the jobs and returns every event, failing the test if the stream does not end in time.
inline Events runToEnd(const BatchProcessing& processor, std::vector<ProcessingJob> jobs,
                       std::chrono::seconds limit = kWait)
{
    EventCollector run(processor.process(std::move(jobs)));
    EXPECT_TRUE(run.waitForEnd(limit)) << "the stream did not finish within " << limit.count() << " s";
    return run.events();
}

inline Events eventsOf(const Events& events, const Uuid& id)
{
    Events mine;
    std::copy_if(events.begin(), events.end(), std::back_inserter(mine),
                 [&](const auto& e) { return e.jobId() == id; });
    return mine;
}

inline Event completed(const ProcessingJob& job)
{
    return Event::completed(job.id(), job.outputURL());
}
inline Events startedThen(const Event& terminal)
{
    return {Event::started(terminal.jobId()), terminal};
}

// Every job has exactly one terminal event, after started unless cancelled, and nothing else.
inline ::testing::AssertionResult followsEventContract(const Events& events, const std::vector<ProcessingJob>& jobs)
{
    size_t accounted = 0;
    for (const auto& job : jobs) {
        const auto mine = eventsOf(events, job.id());
        accounted += mine.size();
        const bool ok = (mine.size() == 1 && mine[0].kind() == Kind::cancelled)
            || (mine.size() == 2 && mine[0].kind() == Kind::started && mine[1].isTerminal());
        if (!ok)
            return ::testing::AssertionFailure()
                << "job " << job.inputURL().filename() << " has events " << ::testing::PrintToString(mine);
    }
    if (accounted != events.size())
        return ::testing::AssertionFailure() << events.size() - accounted << " events of unknown jobs";
    return ::testing::AssertionSuccess();
}

// The job ended as `kind` with a write error naming `url` and giving the system's reason.
inline void expectWriteError(const Events& events, const ProcessingJob& job, const fs::path& url,
                             Kind kind = Kind::failed)
{
    const auto mine = eventsOf(events, job.id());
    ASSERT_FALSE(mine.empty());
    const auto& last = mine.back();
    // Only the reason is the system's to choose.
    const auto error = BatchProcessingError::writeFailed(url, last.error() ? last.error()->reason() : "");
    EXPECT_EQ(last,
              kind == Kind::failed ? Event::failed(job.id(), error)
                                   : Event::completedWithWarning(job.id(), job.outputURL(), error));
    EXPECT_FALSE(error.reason().empty());
}

// The names in a folder, sorted; our temporary files are hidden ones.
inline std::vector<std::string> entryNames(const fs::path& folder)
{
    std::vector<std::string> names;
    std::error_code error;
    for (auto it = fs::directory_iterator(folder, error); !error && it != fs::directory_iterator(); it.increment(error))
        names.push_back(it->path().filename().string());
    std::ranges::sort(names);
    return names;
}

// Writes the source of job `index`: random RGB, (kBaseWidth + index) × 12 pixels.
inline fs::path writeSource(const fs::path& folder, size_t index)
{
    const size_t width = kBaseWidth + index, height = 12;
    fs::create_directories(folder);
    const auto path = folder / ("source-" + std::to_string(index) + ".png");
    const auto pixels = randomBytes(width * height * 3, uint32_t(index));
    auto written =
        write(makeImage({width, height, 8, 24, width * 3, 0}, pixels), path, OutputFormat::png, std::nullopt);
    EXPECT_TRUE(written) << written.error().description();
    return path;
}

// A sandbox, the doubles and a processor over them.
class BatchTest : public ::testing::Test {
protected:
    // With `realImageProcessor`, the real one composites and saves (and fails) instead of the doubles.
    BatchProcessor processor(int maxConcurrency, bool realImageProcessor = false) const
    {
        using Processing = std::shared_ptr<const ImageProcessing>;
        return BatchProcessor(doubles, realImageProcessor ? Processing(std::make_shared<ImageProcessor>()) : doubles,
                              maxConcurrency);
    }
    // Job `index` writing cutout-<index>.png (and mask-<index>.png) into `folder`, `out` by default.
    ProcessingJob job(size_t index, bool sidecar = false, fs::path folder = {},
                      OutputFormat format = OutputFormat::png) const
    {
        folder = folder.empty() ? out : folder;
        fs::create_directories(folder);
        const auto name = std::to_string(index) + ".png";
        return job(index, folder / ("cutout-" + name),
                   sidecar ? std::optional(folder / ("mask-" + name)) : std::nullopt, format);
    }
    std::vector<ProcessingJob> jobs(size_t count, const fs::path& folder = {}) const
    {
        std::vector<ProcessingJob> list;
        for (size_t i = 0; i < count; ++i)
            list.push_back(job(i, false, folder));
        return list;
    }
    ProcessingJob job(size_t index, fs::path output, std::optional<fs::path> mask = std::nullopt,
                      OutputFormat format = OutputFormat::png) const
    {
        return ProcessingJob(Uuid::random(), writeSource(sources, index), std::move(output), std::move(mask), format);
    }

    TemporaryDirectory dir;
    fs::path sources = dir / "sources", out = dir / "out";
    std::shared_ptr<Doubles> doubles = std::make_shared<Doubles>();
};

} // namespace test
} // namespace pelorin
