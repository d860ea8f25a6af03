// Shared by the batch tests: gates that hold a job at one step, test doubles for the mask and the
// image processor that record every call and fail on request, a consumer that collects a run's
// events with bounded waits, and checks of the event contract.
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

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <algorithm>
#include <ostream>
#include <thread>
#include <vector>

namespace pelorin {

inline void PrintTo(const BatchProcessingError& error, std::ostream* out)
{
    *out << "error(" << int(error.kind()) << ", " << error.url() << ", \"" << error.reason() << "\")";
}

inline void PrintTo(const BatchProcessingEvent& event, std::ostream* out)
{
    static const char* const names[] = {"started", "completed", "failed", "cancelled", "completedWithWarning"};
    *out << names[int(event.kind())] << '(' << event.jobId().toString().substr(0, 8);
    if (event.outputURL())
        *out << ", " << *event.outputURL();
    if (event.error())
        PrintTo(*event.error(), out);
    *out << ')';
}

namespace test {

inline constexpr auto kWait = std::chrono::seconds(20);
inline constexpr size_t kBaseWidth = 40;
inline constexpr size_t kSourceHeight = 12;

using Kind = BatchProcessingEvent::Kind;
namespace fs = std::filesystem;

// Holds whoever passes it until opened (or kWait has gone by).
class Gate {
public:
    void pass()
    {
        std::unique_lock lock(mutex_);
        ++arrived_;
        changed_.notify_all();
        changed_.wait_for(lock, kWait, [&] { return open_; });
    }
    bool waitArrived(int count = 1)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] { return arrived_ >= count; });
    }
    void open()
    {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int arrived_ = 0;
    bool open_ = false;
};

enum class Step { mask, composite, sidecarSave, cutoutSave };

struct Call {
    Step step;
    size_t job;
    fs::path url; // saves only
};

// The script both doubles follow and the log of what they were asked, shared between jobs.
class Recorder {
public:
    std::map<std::pair<Step, size_t>, std::shared_ptr<Gate>> gates;
    std::map<size_t, BackgroundRemoverError> maskFailures;
    std::map<size_t, AlphaCompositionError> compositeFailures;
    std::map<std::pair<Step, size_t>, ImageIOWriteError> saveFailures;

    std::shared_ptr<Gate> gate(Step step, size_t job)
    {
        return gates[{step, job}] = std::make_shared<Gate>();
    }

    // Logs the call and holds it at its gate, if any. Configuration is done before the run starts.
    void enter(Step step, size_t job, fs::path url = {}) const
    {
        {
            std::lock_guard lock(mutex_);
            calls_.push_back({step, job, std::move(url)});
        }
        if (auto it = gates.find({step, job}); it != gates.end())
            it->second->pass();
    }

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
    mutable std::mutex mutex_;
    mutable std::vector<Call> calls_;
};

inline size_t jobOf(const Image& image) { return image.width() - kBaseWidth; }

// A mask double: the left half of the image is subject.
class FakeRemover final : public BackgroundRemoving {
public:
    explicit FakeRemover(std::shared_ptr<Recorder> recorder) : recorder_(std::move(recorder)) {}

    Result<Image, BackgroundRemoverError> generateMask(const Image& image) const override
    {
        const size_t job = jobOf(image);
        recorder_->enter(Step::mask, job);
        if (auto it = recorder_->maskFailures.find(job); it != recorder_->maskFailures.end())
            return unexpected(it->second);
        std::vector<uint8_t> bytes(image.width() * image.height());
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = (i % image.width()) < image.width() / 2 ? 255 : 0;
        return makeImage({image.width(), image.height(), 8, 8, image.width(), 0}, std::move(bytes),
                         linearGrayColorSpace());
    }

private:
    std::shared_ptr<Recorder> recorder_;
};

// An image-processor double over the real one; a sidecar is told from a cutout by its 8-bit pixels.
class FakeProcessor final : public ImageProcessing {
public:
    explicit FakeProcessor(std::shared_ptr<Recorder> recorder) : recorder_(std::move(recorder)) {}

    Result<Image, AlphaCompositionError> composite(const Image& image, const Image& mask) const override
    {
        const size_t job = jobOf(image);
        recorder_->enter(Step::composite, job);
        if (auto it = recorder_->compositeFailures.find(job); it != recorder_->compositeFailures.end())
            return unexpected(it->second);
        return real_.composite(image, mask);
    }

    Result<void, ImageIOWriteError> save(const Image& image, const fs::path& url, OutputFormat format,
                                         const std::optional<ImageMetadata>& metadata) const override
    {
        const size_t job = jobOf(image);
        const Step step = image.bitsPerPixel() == 8 ? Step::sidecarSave : Step::cutoutSave;
        recorder_->enter(step, job, url);
        if (auto it = recorder_->saveFailures.find({step, job}); it != recorder_->saveFailures.end())
            return unexpected(it->second);
        return real_.save(image, url, format, metadata);
    }

private:
    std::shared_ptr<Recorder> recorder_;
    ImageProcessor real_;
};

// Collects a run's events on its own thread. Waits are bounded; leaving early drops the stream.
class EventCollector {
public:
    explicit EventCollector(BatchProcessingHandle handle)
        : handle_(std::move(handle)), thread_([this] { consume(); })
    {
    }
    ~EventCollector()
    {
        handle_.events.terminate();
        thread_.join();
    }

    void cancel() const { handle_.cancel(); }

    template <typename Predicate>
    bool waitUntil(Predicate predicate)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] { return predicate(events_); });
    }
    // True when the stream ended in time.
    bool waitForEnd(std::chrono::seconds limit = kWait)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return ended_; });
    }
    std::vector<BatchProcessingEvent> events() const
    {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    void consume()
    {
        while (auto event = handle_.events.next()) {
            std::lock_guard lock(mutex_);
            events_.push_back(std::move(*event));
            changed_.notify_all();
        }
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }

    BatchProcessingHandle handle_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<BatchProcessingEvent> events_;
    bool ended_ = false;
    std::thread thread_;
};

// Runs the jobs and returns every event, failing the test if the stream does not end in time.
inline std::vector<BatchProcessingEvent> runToEnd(const BatchProcessing& processor, std::vector<ProcessingJob> jobs,
                                                  std::chrono::seconds limit = kWait)
{
    EventCollector run(processor.process(std::move(jobs)));
    EXPECT_TRUE(run.waitForEnd(limit)) << "the stream did not finish within " << limit.count() << " s";
    return run.events();
}

inline std::vector<BatchProcessingEvent> eventsOf(const std::vector<BatchProcessingEvent>& events, const Uuid& id)
{
    std::vector<BatchProcessingEvent> mine;
    for (const auto& event : events)
        if (event.jobId() == id)
            mine.push_back(event);
    return mine;
}

inline size_t countKind(const std::vector<BatchProcessingEvent>& events, Kind kind)
{
    return size_t(std::count_if(events.begin(), events.end(), [&](const auto& e) { return e.kind() == kind; }));
}

// Every job has exactly one terminal event, at most one started before it, and nothing else.
inline ::testing::AssertionResult followsEventContract(const std::vector<BatchProcessingEvent>& events,
                                                       const std::vector<ProcessingJob>& jobs)
{
    size_t accounted = 0;
    for (const auto& job : jobs) {
        const auto mine = eventsOf(events, job.id());
        accounted += mine.size();
        const bool shapeOk = (mine.size() == 1 && mine[0].isTerminal())
            || (mine.size() == 2 && mine[0].kind() == Kind::started && mine[1].isTerminal());
        if (!shapeOk)
            return ::testing::AssertionFailure()
                << "job " << job.inputURL().filename() << " has events " << ::testing::PrintToString(mine);
        if (mine.size() == 1 && mine[0].kind() != Kind::cancelled)
            return ::testing::AssertionFailure() << "job " << job.inputURL().filename() << " ended without started";
    }
    if (accounted != events.size())
        return ::testing::AssertionFailure() << events.size() - accounted << " events of unknown jobs";
    return ::testing::AssertionSuccess();
}

// The most jobs ever between their started and terminal events, in stream order.
inline int maxInFlight(const std::vector<BatchProcessingEvent>& events)
{
    std::set<Uuid> running;
    size_t most = 0;
    for (const auto& event : events) {
        if (event.kind() == Kind::started)
            running.insert(event.jobId());
        else
            running.erase(event.jobId());
        most = std::max(most, running.size());
    }
    return int(most);
}

// Hidden entries of a folder (our temporary files begin with a full stop), recursively.
inline std::vector<std::string> hiddenEntries(const fs::path& folder)
{
    std::vector<std::string> found;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error))
        if (it->path().filename().string().starts_with("."))
            found.push_back(it->path().string());
    return found;
}

inline std::vector<std::string> entryNames(const fs::path& folder)
{
    std::vector<std::string> names;
    std::error_code error;
    for (auto it = fs::directory_iterator(folder, error); !error && it != fs::directory_iterator(); it.increment(error))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Writes the source of job `index`: random opaque colour, (kBaseWidth + index) × height pixels.
inline fs::path writeSource(const fs::path& folder, size_t index, size_t height = kSourceHeight)
{
    const size_t width = kBaseWidth + index;
    auto bytes = randomBytes(width * height * 4, uint32_t(index + 1));
    for (size_t i = 3; i < bytes.size(); i += 4)
        bytes[i] = 255;
    const auto path = folder / ("source-" + std::to_string(index) + ".png");
    auto written = write(makeImage({width, height, 8, 32, width * 4, 3}, std::move(bytes)), path, OutputFormat::png,
                         std::nullopt);
    EXPECT_TRUE(written) << written.error().description();
    return path;
}

} // namespace test
} // namespace pelorin
