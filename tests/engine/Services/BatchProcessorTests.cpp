// The batch processor with doubles for the mask and the image processor: the event contract (one
// terminal event per job, started first, the stream always ends), bounded jobs in flight,
// cancellation before the run, while jobs wait, at each checkpoint, after publishing and by the
// consumer leaving; every failure mapped to its error with its reason; temporary files
// named as promised, beside their final location, and never left behind; publishing order.
#include "BatchTestSupport.h"
#include "engine/Common/TemporaryFile.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <regex>
#include <set>

namespace pelorin::test {
namespace {

using namespace std::chrono_literals;
using Error = BatchProcessingError;
using Event = BatchProcessingEvent;

class BatchProcessorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(sources);
        fs::create_directories(out);
    }

    BatchProcessor processor(int maxConcurrency, const std::shared_ptr<Recorder>& script) const
    {
        return BatchProcessor(std::make_shared<FakeRemover>(script), std::make_shared<FakeProcessor>(script),
                              maxConcurrency);
    }
    BatchProcessor processor(int maxConcurrency) const { return processor(maxConcurrency, recorder); }

    ProcessingJob job(size_t index, bool sidecar = false, const fs::path& folder = {},
                      OutputFormat format = OutputFormat::png) const
    {
        const auto dest = folder.empty() ? out : folder;
        fs::create_directories(dest);
        const auto name = std::to_string(index);
        return ProcessingJob(Uuid::random(), writeSource(sources, index), dest / ("cutout-" + name + ".png"),
                             sidecar ? std::optional(dest / ("mask-" + name + ".png")) : std::nullopt, format);
    }
    std::vector<ProcessingJob> jobs(size_t count, const fs::path& folder = {}) const
    {
        std::vector<ProcessingJob> list;
        for (size_t i = 0; i < count; ++i)
            list.push_back(job(i, false, folder));
        return list;
    }

    TemporaryDirectory dir;
    fs::path sources = dir / "sources";
    fs::path out = dir / "out";
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

std::vector<Event> allCancelled(const std::vector<ProcessingJob>& list, size_t from = 0)
{
    std::vector<Event> events;
    for (size_t i = from; i < list.size(); ++i)
        events.push_back(Event::cancelled(list[i].id()));
    return events;
}

TEST_F(BatchProcessorTest, EmptyRunFinishesAtOnceWithNoEvents)
{
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_TRUE(runToEnd(processor(2), {}).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - begun, 2s);
}

TEST_F(BatchProcessorTest, OneSlotRunsJobsStrictlyOneAfterAnotherInListOrder)
{
    for (int slots : {1, 0, -3}) {
        SCOPED_TRACE("maxConcurrency " + std::to_string(slots));
        const auto list = jobs(3, out / std::to_string(slots + 3));
        std::vector<Event> expected;
        for (const auto& j : list) {
            expected.push_back(Event::started(j.id()));
            expected.push_back(Event::completed(j.id(), j.outputURL()));
        }
        EXPECT_EQ(runToEnd(processor(slots), list), expected);
    }
}

TEST_F(BatchProcessorTest, TwoSlotsNeverHoldMoreThanTwoJobs)
{
    const auto list = jobs(6);
    auto first = recorder->gate(Step::mask, 0), second = recorder->gate(Step::mask, 1);
    const auto batch = processor(2);
    EventCollector run(batch.process(list));
    ASSERT_TRUE(first->waitArrived() && second->waitArrived());
    std::this_thread::sleep_for(300ms); // room for a third job to start wrongly
    EXPECT_EQ(countKind(run.events(), Kind::started), 2u);
    EXPECT_EQ(recorder->calls().size(), 2u);
    first->open();
    second->open();
    ASSERT_TRUE(run.waitForEnd());

    const auto events = run.events();
    EXPECT_TRUE(followsEventContract(events, list));
    EXPECT_EQ(maxInFlight(events), 2);
    EXPECT_EQ(countKind(events, Kind::completed), 6u);
}

// A cancel right after process() races the run's thread, which a busy machine may let run whole
// jobs first. Such an attempt tests nothing here and is repeated until the cancel comes first.
TEST_F(BatchProcessorTest, CancelBeforeTheRunBeginsCancelsEveryJobInListOrder)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        recorder = std::make_shared<Recorder>();
        fs::remove_all(out);
        fs::create_directories(out);
        const auto list = jobs(5);
        const auto batch = processor(2);
        auto handle = batch.process(list);
        handle.cancel();
        EventCollector run(std::move(handle));
        ASSERT_TRUE(run.waitForEnd());
        const auto& events = run.events();
        if (std::any_of(events.begin(), events.end(), [](const Event& e) { return !e.isTerminal(); }))
            continue;
        EXPECT_EQ(events, allCancelled(list));
        EXPECT_TRUE(recorder->calls().empty());
        run.cancel(); // after the end: nothing happens
        run.cancel();
        EXPECT_TRUE(entryNames(out).empty());
        return;
    }
    FAIL() << "the run reached a job before the cancel in every attempt";
}

TEST_F(BatchProcessorTest, CancelWhileTwoOfFiveRunStopsTheWaitingAtOnceAndTheRunningAtTheirCheckpoint)
{
    const auto list = jobs(5);
    auto first = recorder->gate(Step::mask, 0), second = recorder->gate(Step::mask, 1);
    const auto batch = processor(2);
    EventCollector run(batch.process(list));
    ASSERT_TRUE(first->waitArrived() && second->waitArrived());
    run.cancel();
    // The waiting jobs are cancelled while the running ones are still held.
    const bool waitingCancelled = run.waitUntil([](const auto& events) { return countKind(events, Kind::cancelled) >= 3; });
    auto events = run.events();
    first->open();
    second->open();
    ASSERT_TRUE(waitingCancelled) << ::testing::PrintToString(events);
    std::vector<Event> cancelledNow;
    for (const auto& e : events)
        if (e.kind() == Kind::cancelled)
            cancelledNow.push_back(e);
    EXPECT_EQ(cancelledNow, allCancelled(list, 2));

    ASSERT_TRUE(run.waitForEnd());
    events = run.events();
    EXPECT_TRUE(followsEventContract(events, list));
    for (size_t i : {0, 1})
        EXPECT_EQ(eventsOf(events, list[i].id()),
                  (std::vector{Event::started(list[i].id()), Event::cancelled(list[i].id())}));
    for (size_t i : {0, 1})
        EXPECT_EQ(recorder->stepsOf(i), std::vector{Step::mask}) << "job " << i << " went past checkpoint C2";
    EXPECT_EQ(recorder->calls().size(), 2u);
    EXPECT_TRUE(entryNames(out).empty());
}

TEST_F(BatchProcessorTest, CancellationIsObservedAtEachCheckpointAndLeavesNoFile)
{
    struct Case {
        const char* name;
        Step heldAt;
        bool maskFails; // an error from the mask generator after cancellation counts as cancellation
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {"C2 after the mask", Step::mask, false, {Step::mask}},
        {"C2, mask failing once cancelled", Step::mask, true, {Step::mask}},
        {"C3 after compositing", Step::composite, false, {Step::mask, Step::composite, Step::sidecarSave}},
        {"C3 after the sidecar write", Step::sidecarSave, false, {Step::mask, Step::composite, Step::sidecarSave}},
        {"C4 after the cutout write", Step::cutoutSave, false,
         {Step::mask, Step::composite, Step::sidecarSave, Step::cutoutSave}},
    };
    for (size_t k = 0; k < cases.size(); ++k) {
        const Case& c = cases[k];
        SCOPED_TRACE(c.name);
        auto script = std::make_shared<Recorder>();
        auto gate = script->gate(c.heldAt, 0);
        if (c.maskFails)
            script->maskFailures.emplace(0, BackgroundRemoverError::visionRequestFailed("interrupted"));
        const auto folder = out / std::to_string(k);
        const auto list = std::vector{job(0, true, folder)};
        const auto batch = processor(1, script);
        EventCollector run(batch.process(list));
        ASSERT_TRUE(gate->waitArrived());
        run.cancel();
        gate->open();
        ASSERT_TRUE(run.waitForEnd());
        EXPECT_EQ(run.events(), (std::vector{Event::started(list[0].id()), Event::cancelled(list[0].id())}));
        EXPECT_EQ(script->stepsOf(0), c.steps);
        EXPECT_EQ(entryNames(folder), std::vector<std::string>{}) << "outputs or temporary files left";
    }
}

TEST_F(BatchProcessorTest, CancellationAfterTheCutoutIsPublishedStillCompletes)
{
    const auto list = std::vector{job(0, true)};
    const auto batch = processor(1);
    EventCollector run(batch.process(list));
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (!fs::exists(list[0].outputURL()) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    run.cancel();
    ASSERT_TRUE(run.waitForEnd());
    EXPECT_EQ(run.events(),
              (std::vector{Event::started(list[0].id()), Event::completed(list[0].id(), list[0].outputURL())}));
    EXPECT_EQ(entryNames(out), (std::vector<std::string>{"cutout-0.png", "mask-0.png"}));
}

TEST_F(BatchProcessorTest, DroppingTheStreamCancelsTheRun)
{
    const auto list = jobs(3);
    auto gate = recorder->gate(Step::mask, 0);
    auto remover = std::make_shared<FakeRemover>(recorder);
    std::weak_ptr<FakeRemover> watch = remover;
    {
        const BatchProcessor batch(std::move(remover), std::make_shared<FakeProcessor>(recorder), 1);
        auto handle = batch.process(list);
        ASSERT_TRUE(gate->waitArrived());
        // The consumer leaves; the held job then meets checkpoint C2 and the others never start.
        handle.events.terminate();
        gate->open();
    }
    // The run lets go of its doubles when it ends.
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (!watch.expired() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(watch.expired()) << "the run did not end after its consumer left";
    EXPECT_EQ(recorder->stepsOf(0), std::vector{Step::mask});
    EXPECT_EQ(recorder->calls().size(), 1u);
    EXPECT_TRUE(entryNames(out).empty());
}

TEST_F(BatchProcessorTest, EachFailureEndsOnlyItsJobWithItsErrorAndReason)
{
    // Reasons with characters a formatter could mangle.
    const auto maskError = BackgroundRemoverError::visionRequestFailed("model: 100% %1 gone");
    const auto compositeError = AlphaCompositionError::maskScalingFailed();
    const auto sidecarError = ImageIOWriteError::finalizeFailed("sidecar");
    // The system's reason follows the writer's sentence, so a full disk says so.
    const auto cutoutError =
        ImageIOWriteError::destinationCreationFailed("cutout").withDetail("No space left on device");
    recorder->maskFailures.emplace(2, maskError);
    recorder->compositeFailures.emplace(3, compositeError);
    recorder->saveFailures.emplace(std::pair{Step::sidecarSave, size_t(4)}, sidecarError);
    recorder->saveFailures.emplace(std::pair{Step::cutoutSave, size_t(5)}, cutoutError);
    recorder->saveFailures.emplace(std::pair{Step::cutoutSave, size_t(6)},
                                   ImageIOWriteError::unsupportedFormat(OutputFormat::tiff));

    std::vector<ProcessingJob> list = {job(0), job(1), job(2, true), job(3, true),
                                       job(4, true), job(5, true), job(6, true, {}, OutputFormat::tiff), job(7, true)};
    list[1] = ProcessingJob(list[1].id(), sources / "missing.png", list[1].outputURL(), std::nullopt, OutputFormat::png);
    const std::vector<std::optional<Error>> expected = {
        std::nullopt,
        Error::sourceImageUnreadable(sources / "missing.png"),
        Error::maskGenerationFailed(maskError.description()),
        Error::compositeFailed(compositeError.description()),
        Error::writeFailed(*list[4].maskOutputURL(), sidecarError.description()),
        Error::writeFailed(list[5].outputURL(), cutoutError.description() + " No space left on device"),
        Error::unsupportedOutputFormat(OutputFormat::tiff),
        std::nullopt,
    };
    const auto events = runToEnd(processor(2), list);
    EXPECT_TRUE(followsEventContract(events, list));
    for (size_t i = 0; i < list.size(); ++i) {
        SCOPED_TRACE("job " + std::to_string(i));
        const auto id = list[i].id();
        const auto terminal = expected[i] ? Event::failed(id, *expected[i]) : Event::completed(id, list[i].outputURL());
        EXPECT_EQ(eventsOf(events, id), (std::vector{Event::started(id), terminal}));
    }
    EXPECT_EQ(Error::unsupportedOutputFormat(OutputFormat::tiff).errorDescription(),
              "Output format TIFF is not supported in this build.");
    // A failed sidecar write stops the job before any cutout is written.
    EXPECT_EQ(recorder->stepsOf(4), (std::vector{Step::mask, Step::composite, Step::sidecarSave}));
    // Only the two successful jobs left anything, and nothing hidden.
    EXPECT_EQ(entryNames(out), (std::vector<std::string>{"cutout-0.png", "cutout-7.png", "mask-7.png"}));
}

// Names of entries moved into a folder, in the order the kernel reports them.
class MoveWatcher {
public:
    explicit MoveWatcher(const fs::path& folder) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        if (fd_ >= 0)
            inotify_add_watch(fd_, folder.c_str(), IN_MOVED_TO);
    }
    ~MoveWatcher() { ::close(fd_); }
    std::vector<std::string> movedIn() const
    {
        std::vector<std::string> names;
        alignas(inotify_event) char buffer[8192];
        ssize_t n;
        while ((n = ::read(fd_, buffer, sizeof buffer)) > 0)
            for (char* p = buffer; p < buffer + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(p);
                if (event->len)
                    names.emplace_back(event->name);
                p += sizeof(inotify_event) + event->len;
            }
        return names;
    }

private:
    int fd_;
};

// How often a file was opened, as the kernel reports it.
class OpenCounter {
public:
    explicit OpenCounter(const fs::path& file) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        if (fd_ >= 0)
            inotify_add_watch(fd_, file.c_str(), IN_OPEN);
    }
    ~OpenCounter() { ::close(fd_); }
    int opens() const
    {
        int count = 0;
        alignas(inotify_event) char buffer[4096];
        ssize_t n;
        while ((n = ::read(fd_, buffer, sizeof buffer)) > 0)
            for (char* p = buffer; p < buffer + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
                count += (reinterpret_cast<inotify_event*>(p)->mask & IN_OPEN) != 0;
        return count;
    }

private:
    int fd_;
};

// Pixels and metadata come from one read of the source.
TEST_F(BatchProcessorTest, EachJobOpensItsSourceOnce)
{
    const auto target = job(0, true);
    OpenCounter counter(target.inputURL());
    EXPECT_EQ(runToEnd(processor(1), {target}).back(), Event::completed(target.id(), target.outputURL()));
    EXPECT_EQ(counter.opens(), 1);
}

TEST_F(BatchProcessorTest, ExistingFilesAreReplacedAndTheCutoutIsPublishedBeforeTheSidecar)
{
    const auto target = job(0, true);
    writeFileBytes(target.outputURL(), {'o', 'l', 'd'});
    writeFileBytes(*target.maskOutputURL(), {'o', 'l', 'd'});
    MoveWatcher watcher(out);
    EXPECT_EQ(runToEnd(processor(1), {target}),
              (std::vector{Event::started(target.id()), Event::completed(target.id(), target.outputURL())}));
    EXPECT_EQ(identifyFormat(target.outputURL(), "%m %w %[channels]"), "PNG 40 srgba");
    EXPECT_EQ(identifyFormat(*target.maskOutputURL(), "%m %w %[channels]"), "PNG 40 lineargray");
    EXPECT_EQ(watcher.movedIn(), (std::vector<std::string>{"cutout-0.png", "mask-0.png"}));
    EXPECT_EQ(entryNames(out), (std::vector<std::string>{"cutout-0.png", "mask-0.png"}));

    // The sidecar's temporary file was written before the cutout's.
    std::vector<Step> saves;
    for (const auto& call : recorder->calls())
        if (call.step == Step::sidecarSave || call.step == Step::cutoutSave)
            saves.push_back(call.step);
    EXPECT_EQ(saves, (std::vector{Step::sidecarSave, Step::cutoutSave}));
}

TEST_F(BatchProcessorTest, PublishingFailuresFailTheCutoutButOnlyWarnForTheSidecar)
{
    // A non-empty folder at a final name cannot be replaced by a file.
    const auto sidecarBlocked = job(0, true, out / "a"), cutoutBlocked = job(1, true, out / "b");
    fs::create_directories(*sidecarBlocked.maskOutputURL() / "keep");
    fs::create_directories(cutoutBlocked.outputURL() / "keep");
    const auto events = runToEnd(processor(2), {sidecarBlocked, cutoutBlocked});
    ASSERT_TRUE(followsEventContract(events, {sidecarBlocked, cutoutBlocked}));

    const auto warned = eventsOf(events, sidecarBlocked.id()).back();
    EXPECT_EQ(warned.kind(), Kind::completedWithWarning);
    EXPECT_EQ(warned.outputURL(), sidecarBlocked.outputURL());
    ASSERT_TRUE(warned.error());
    EXPECT_EQ(warned.error()->kind(), Error::Kind::writeFailed);
    EXPECT_EQ(warned.error()->url(), *sidecarBlocked.maskOutputURL());
    EXPECT_FALSE(warned.error()->reason().empty());
    EXPECT_EQ(identifyFormat(sidecarBlocked.outputURL(), "%m %w"), "PNG 40");
    EXPECT_TRUE(fs::is_directory(*sidecarBlocked.maskOutputURL() / "keep"));
    EXPECT_EQ(entryNames(out / "a"), (std::vector<std::string>{"cutout-0.png", "mask-0.png"}));

    const auto failed = eventsOf(events, cutoutBlocked.id()).back();
    EXPECT_EQ(failed.kind(), Kind::failed);
    ASSERT_TRUE(failed.error());
    EXPECT_EQ(failed.error()->kind(), Error::Kind::writeFailed);
    EXPECT_EQ(failed.error()->url(), cutoutBlocked.outputURL());
    EXPECT_FALSE(failed.error()->reason().empty());
    // The sidecar is not published when the cutout could not be.
    EXPECT_EQ(entryNames(out / "b"), std::vector<std::string>{"cutout-1.png"});
    EXPECT_TRUE(fs::is_directory(cutoutBlocked.outputURL() / "keep"));
}

TEST_F(BatchProcessorTest, TemporaryFilesAreHiddenUuidNamesBesideTheirFinalLocation)
{
    const std::regex pattern(R"(\.pelorin-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\.tmp)");
    std::set<std::string> names;
    for (int i = 0; i < 50; ++i) {
        const auto temp = TemporaryFile::makePath(out);
        EXPECT_EQ(temp.parent_path(), out);
        EXPECT_TRUE(std::regex_match(temp.filename().string(), pattern)) << temp;
        names.insert(temp.filename().string());
    }
    EXPECT_EQ(names.size(), 50u);
    EXPECT_TRUE(entryNames(out).empty()) << "makePath created a file";

    // Sidecar and cutout in different folders: each temporary file sits beside its own output.
    auto target = job(0, true);
    target = ProcessingJob(target.id(), target.inputURL(), target.outputURL(), dir / "masks" / "mask-0.png",
                           OutputFormat::png);
    fs::create_directories(dir / "masks");
    EXPECT_EQ(runToEnd(processor(1), {target}).back(), Event::completed(target.id(), target.outputURL()));
    for (const auto& call : recorder->calls()) {
        if (call.step != Step::sidecarSave && call.step != Step::cutoutSave)
            continue;
        EXPECT_TRUE(std::regex_match(call.url.filename().string(), pattern)) << call.url;
        EXPECT_EQ(call.url.parent_path(), call.step == Step::sidecarSave ? dir / "masks" : out);
    }
    EXPECT_TRUE(hiddenEntries(dir.path()).empty());
}

} // namespace
} // namespace pelorin::test
