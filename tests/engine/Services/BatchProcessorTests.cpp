// The batch processor with doubles for the mask and the image processor: the event contract, the
// bound on jobs in flight, cancellation before the run, while jobs wait, at each checkpoint and by
// the consumer leaving; every failure mapped to its error; temporary files hidden beside their
// final location and never left behind; the cutout published before its sidecar. Then against
// real faults with the real image processor (destinations that cannot be written), and once
// through the real segmentation model end to end.
#include "BatchTestSupport.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <regex>

namespace pelorin::test {
namespace {

using namespace std::chrono_literals;
using Error = BatchProcessingError;

Events allCancelled(const std::vector<ProcessingJob>& list, size_t from = 0)
{
    Events events;
    for (size_t i = from; i < list.size(); ++i)
        events.push_back(Event::cancelled(list[i].id()));
    return events;
}

TEST_F(BatchTest, OneSlotRunsJobsStrictlyOneAfterAnotherInListOrder)
{
    EXPECT_TRUE(runToEnd(processor(1), {}).empty());
    for (int slots : {1, 0, -3}) {
        SCOPED_TRACE("maxConcurrency " + std::to_string(slots));
        const auto list = jobs(3, out / std::to_string(slots + 3));
        Events expected;
        for (const auto& j : list)
            expected.insert(expected.end(), {Event::started(j.id()), completed(j)});
        EXPECT_EQ(runToEnd(processor(slots), list), expected);
    }
}

// A cancel right after process() races the run's thread, which a busy machine may let run whole
// jobs first. Such an attempt tests nothing here and is repeated until the cancel comes first.
TEST_F(BatchTest, CancelBeforeTheRunBeginsCancelsEveryJobInListOrder)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        doubles = std::make_shared<Doubles>();
        fs::remove_all(out);
        const auto list = jobs(5);
        const auto batch = processor(2);
        auto handle = batch.process(list);
        handle.cancel();
        EventCollector run(std::move(handle));
        ASSERT_TRUE(run.waitForEnd());
        if (std::ranges::any_of(run.events(), [](const Event& e) { return !e.isTerminal(); }))
            continue;
        EXPECT_EQ(run.events(), allCancelled(list));
        EXPECT_TRUE(doubles->calls().empty());
        run.cancel(); // after the end: nothing happens
        run.cancel();
        EXPECT_TRUE(entryNames(out).empty());
        return;
    }
    FAIL() << "the run reached a job before the cancel in every attempt";
}

TEST_F(BatchTest, TwoSlotsHoldTwoJobsAndACancelStopsTheWaitingAtOnceAndTheRunningAtTheirCheckpoint)
{
    const auto list = jobs(5);
    doubles->held = {{Step::mask, 0}, {Step::mask, 1}};
    const auto batch = processor(2);
    EventCollector run(batch.process(list));
    ASSERT_TRUE(doubles->waitHeld());
    std::this_thread::sleep_for(300ms); // room for a third job to start wrongly
    EXPECT_EQ(run.events().size(), 2u);
    EXPECT_EQ(doubles->calls().size(), 2u);

    run.cancel();
    // The waiting jobs are cancelled while the running ones are still held.
    const bool waitingCancelled = eventually([&] { return run.events().size() >= 5; });
    auto events = run.events();
    doubles->release();
    ASSERT_TRUE(waitingCancelled) << ::testing::PrintToString(events);
    EXPECT_EQ(Events(events.begin() + 2, events.end()), allCancelled(list, 2));

    ASSERT_TRUE(run.waitForEnd());
    events = run.events();
    EXPECT_TRUE(followsEventContract(events, list));
    for (size_t i : {0, 1}) {
        EXPECT_EQ(eventsOf(events, list[i].id()), startedThen(Event::cancelled(list[i].id())));
        EXPECT_EQ(doubles->stepsOf(i), std::vector{Step::mask}) << "job " << i << " went past checkpoint C2";
    }
    EXPECT_EQ(doubles->calls().size(), 2u);
    EXPECT_TRUE(entryNames(out).empty());
}

TEST_F(BatchTest, CancellationIsObservedAtEachCheckpointAndLeavesNoFile)
{
    using enum Step;
    const struct {
        const char* name;
        Step heldAt;
        bool maskFails; // an error from the mask generator after cancellation counts as cancellation
        std::vector<Step> steps;
    } cases[] = {
        {"C2 after the mask", mask, false, {mask}},
        {"C2, mask failing once cancelled", mask, true, {mask}},
        {"C3 after the sidecar write", sidecarSave, false, {mask, composite, sidecarSave}},
        {"C4 after the cutout write", cutoutSave, false, {mask, composite, sidecarSave, cutoutSave}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        doubles = std::make_shared<Doubles>();
        doubles->held = {{c.heldAt, 0}};
        if (c.maskFails)
            doubles->maskFailures.emplace(0, BackgroundRemoverError::visionRequestFailed("interrupted"));
        const auto folder = out / c.name;
        const auto list = std::vector{job(0, true, folder)};
        const auto batch = processor(1);
        EventCollector run(batch.process(list));
        ASSERT_TRUE(doubles->waitHeld());
        run.cancel();
        doubles->release();
        ASSERT_TRUE(run.waitForEnd());
        EXPECT_EQ(run.events(), startedThen(Event::cancelled(list[0].id())));
        EXPECT_EQ(doubles->stepsOf(0), c.steps);
        EXPECT_EQ(entryNames(folder), std::vector<std::string>{}) << "outputs or temporary files left";
    }
}

TEST_F(BatchTest, DroppingTheStreamCancelsTheRun)
{
    const auto list = jobs(3);
    doubles->held = {{Step::mask, 0}};
    std::weak_ptr<Doubles> watch;
    {
        // An owner of its own, to see the run let go of the doubles when it ends.
        const std::shared_ptr<Doubles> owner(doubles.get(), [keep = doubles](Doubles*) {});
        watch = owner;
        const BatchProcessor batch(owner, owner, 1);
        auto handle = batch.process(list);
        ASSERT_TRUE(doubles->waitHeld());
        // The consumer leaves; the held job then meets checkpoint C2 and the others never start.
        handle.events.terminate();
        doubles->release();
    }
    ASSERT_TRUE(eventually([&] { return watch.expired(); })) << "the run did not end after its consumer left";
    EXPECT_EQ(doubles->stepsOf(0), std::vector{Step::mask});
    EXPECT_EQ(doubles->calls().size(), 1u);
    EXPECT_TRUE(entryNames(out).empty());
}

TEST_F(BatchTest, EachFailureEndsOnlyItsJobWithItsErrorAndReason)
{
    // Reasons with characters a formatter could mangle; the system's reason follows the writer's
    // sentence, so a full disk says so.
    auto& d = *doubles;
    d.maskFailures.emplace(2, BackgroundRemoverError::visionRequestFailed("model: 100% %1 gone"));
    d.compositeFailures.emplace(3, AlphaCompositionError::maskScalingFailed());
    d.saveFailures.emplace(std::pair{Step::sidecarSave, 4}, ImageIOWriteError::finalizeFailed("sidecar"));
    d.saveFailures.emplace(
        std::pair{Step::cutoutSave, 5},
        ImageIOWriteError::destinationCreationFailed("cutout").withDetail("No space left on device"));
    d.saveFailures.emplace(std::pair{Step::cutoutSave, 6}, ImageIOWriteError::unsupportedFormat(OutputFormat::tiff));

    std::vector<ProcessingJob> list;
    for (size_t i = 0; i < 8; ++i)
        list.push_back(job(i, i >= 2, {}, i == 6 ? OutputFormat::tiff : OutputFormat::png));
    list[1] =
        ProcessingJob(list[1].id(), sources / "missing.png", list[1].outputURL(), std::nullopt, OutputFormat::png);
    const std::optional<Error> expected[] = {
        std::nullopt,
        Error::sourceImageUnreadable(sources / "missing.png"),
        Error::maskGenerationFailed("Vision request failed: model: 100% %1 gone"),
        Error::compositeFailed(d.compositeFailures.at(3).description()),
        Error::writeFailed(*list[4].maskOutputURL(), d.saveFailures.at({Step::sidecarSave, 4}).description()),
        Error::writeFailed(list[5].outputURL(),
                           d.saveFailures.at({Step::cutoutSave, 5}).description() + " No space left on device"),
        Error::unsupportedOutputFormat(OutputFormat::tiff),
        std::nullopt,
    };
    const auto events = runToEnd(processor(2), list);
    EXPECT_TRUE(followsEventContract(events, list));
    for (size_t i = 0; i < list.size(); ++i) {
        SCOPED_TRACE("job " + std::to_string(i));
        const auto id = list[i].id();
        EXPECT_EQ(eventsOf(events, id),
                  startedThen(expected[i] ? Event::failed(id, *expected[i]) : completed(list[i])));
    }
    // A failed sidecar write stops the job before any cutout is written.
    EXPECT_EQ(d.stepsOf(4), (std::vector{Step::mask, Step::composite, Step::sidecarSave}));
    // Only the two successful jobs left anything, and nothing hidden.
    EXPECT_EQ(entryNames(out), (std::vector<std::string>{"cutout-0.png", "cutout-7.png", "mask-7.png"}));
}

TEST_F(BatchTest, OneJobReadsItsSourceOnceAndWritesHiddenTemporariesBesideItsOutputs)
{
    // Sidecar and cutout in different folders, both already there.
    const auto masks = dir / "masks";
    fs::create_directories(masks);
    const auto target = job(0, out / "cutout-0.png", masks / "mask-0.png");
    fs::create_directories(out);
    writeFileBytes(target.outputURL(), {'o', 'l', 'd'});
    writeFileBytes(*target.maskOutputURL(), {'o', 'l', 'd'});
    // Pixels and metadata come from one read of the source. Closes are watched too, or the kernel
    // would merge back-to-back opens into one event.
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    inotify_add_watch(watch, target.inputURL().c_str(), IN_OPEN | IN_CLOSE);
    EXPECT_EQ(runToEnd(processor(1), {target}), startedThen(completed(target)));
    inotify_event seen[16];
    const auto count = std::max(::read(watch, seen, sizeof seen), ssize_t(0)) / sizeof(inotify_event);
    ::close(watch);
    EXPECT_EQ(std::count_if(seen, seen + count, [](const inotify_event& e) { return e.mask & IN_OPEN; }), 1);

    EXPECT_EQ(identifyFormat(target.outputURL(), "%m %w %[channels]"), "PNG 40 srgba");
    EXPECT_EQ(identifyFormat(*target.maskOutputURL(), "%m %w %[channels]"), "PNG 40 lineargray");
    EXPECT_EQ(entryNames(out), std::vector<std::string>{"cutout-0.png"});
    EXPECT_EQ(entryNames(masks), std::vector<std::string>{"mask-0.png"});
    // The sidecar's temporary file is written first, each beside its own output.
    EXPECT_EQ(doubles->stepsOf(0), (std::vector{Step::mask, Step::composite, Step::sidecarSave, Step::cutoutSave}));
    const std::regex pattern(R"(\.pelorin-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\.tmp)");
    for (const auto& call : doubles->calls()) {
        if (call.step == Step::sidecarSave || call.step == Step::cutoutSave) {
            EXPECT_TRUE(std::regex_match(call.url.filename().string(), pattern)) << call.url;
            EXPECT_EQ(call.url.parent_path(), call.step == Step::sidecarSave ? masks : out);
        }
    }
}

// ---- with the real image processor ----------------------------------------------------------

// Missing output folders and unreadable sources, met end to end by CliFaultTests, are left out.
TEST_F(BatchTest, BrokenDestinationsFailOnlyTheirJobsAndAnUnpublishableSidecarOnlyWarns)
{
    for (const char* folder : {"good", "cutouts", "a/mask-4.png/keep", "b/cutout-5.png/keep"})
        fs::create_directories(out / folder);

    // A non-empty folder at a final name (a/mask-4.png, b/cutout-5.png) cannot be replaced by a file.
    const std::vector<ProcessingJob> list = {
        job(2, out / "cutouts" / "cutout-2.png", out / "no-masks" / "mask-2.png"),
        job(3, out / "good" / "cutout-3.png", out / "good" / "mask-3.png"),
        job(4, out / "a" / "cutout-4.png", out / "a" / "mask-4.png"),
        job(5, out / "b" / "cutout-5.png", out / "b" / "mask-5.png"),
    };
    const auto events = runToEnd(processor(2, true), list);
    ASSERT_TRUE(followsEventContract(events, list));
    expectWriteError(events, list[0], *list[0].maskOutputURL());
    EXPECT_EQ(eventsOf(events, list[1].id()).back(), completed(list[1]));
    expectWriteError(events, list[2], *list[2].maskOutputURL(), Kind::completedWithWarning);
    expectWriteError(events, list[3], list[3].outputURL());

    // A failed sidecar write leaves no cutout; the cutout is published first, so its sidecar is not
    // when the cutout could not be; nothing anywhere is partial or hidden, no folder was replaced.
    EXPECT_EQ(entryNames(out), (std::vector<std::string>{"a", "b", "cutouts", "good"}));
    EXPECT_TRUE(entryNames(out / "cutouts").empty());
    EXPECT_EQ(entryNames(out / "good"), (std::vector<std::string>{"cutout-3.png", "mask-3.png"}));
    EXPECT_EQ(identifyFormat(out / "good" / "cutout-3.png", "%m %wx%h %[channels]"), "PNG 43x12 srgba");
    EXPECT_EQ(entryNames(out / "a"), (std::vector<std::string>{"cutout-4.png", "mask-4.png"}));
    EXPECT_EQ(identifyFormat(out / "a" / "cutout-4.png", "%m %w"), "PNG 44");
    EXPECT_EQ(entryNames(out / "b"), std::vector<std::string>{"cutout-5.png"});
    EXPECT_TRUE(fs::is_directory(out / "a/mask-4.png/keep") && fs::is_directory(out / "b/cutout-5.png/keep"));
}

TEST(BatchProcessorRealPipeline, PhotosBecomeCutoutsWithSidecarAndMetadataAndAnEmptySkyFails)
{
    TemporaryDirectory dir;
    // A JPEG with EXIF that must travel (exposure, orientation) and GPS that must not.
    const auto cat = dir / "cat.jpg", sky = dir / "sky.png", astronaut = samplePhoto("astronaut.png");
    // Larger than the model's input, where refinement has something to add.
    const auto bigCat = dir / "big-cat.png";
    ASSERT_EQ(runCommand("convert " + shellQuote(samplePhoto("chelsea.png").string()) + " -quality 92 "
                         + shellQuote(cat.string())
                         + " && exiftool -q -overwrite_original -n -ExposureTime=0.004 "
                           "-Orientation=6 -GPSLatitude=48.85 -GPSLatitudeRef=N "
                         + shellQuote(cat.string()) + " && convert -size 640x480 gradient:'#7aa7e0'-'#cfe3f7' "
                         + shellQuote(sky.string()) + " && convert " + shellQuote(samplePhoto("chelsea.png").string())
                         + " -resize 1400x " + shellQuote(bigCat.string()))
                  .exitCode,
              0);
    const std::vector list = {
        ProcessingJob(Uuid::random(), cat, dir / "chelsea-cutout.png", dir / "chelsea-mask.png", OutputFormat::png),
        ProcessingJob(Uuid::random(), astronaut, dir / "astronaut-cutout.tiff", std::nullopt, OutputFormat::tiff),
        ProcessingJob(Uuid::random(), sky, dir / "sky-cutout.png", dir / "sky-mask.png", OutputFormat::png),
        ProcessingJob(Uuid::random(), bigCat, dir / "refined-cutout.png", dir / "refined-mask.png", OutputFormat::png,
                      true),
        ProcessingJob(Uuid::random(), bigCat, dir / "plain-cutout.png", dir / "plain-mask.png", OutputFormat::png),
    };
    // The model's first load and three inferences take seconds, many more on a busy machine.
    const auto events = runToEnd(BatchProcessor(), list, std::chrono::seconds(180));
    ASSERT_TRUE(followsEventContract(events, list));
    EXPECT_EQ(eventsOf(events, list[0].id()).back(), completed(list[0]));
    EXPECT_EQ(eventsOf(events, list[1].id()).back(), completed(list[1]));
    EXPECT_EQ(eventsOf(events, list[2].id()).back(),
              Event::failed(list[2].id(),
                            Error::maskGenerationFailed(BackgroundRemoverError::noSubjectFound().description())));

    // A real subject: some pixels fully kept, some fully removed.
    EXPECT_EQ(identifyFormat(dir / "chelsea-cutout.png", "%m %wx%h %[channels] %[fx:minima.a] %[fx:maxima.a]"),
              "PNG 451x300 srgba 0 1");
    EXPECT_EQ(identifyFormat(dir / "chelsea-mask.png", "%m %wx%h %[channels] %z"), "PNG 451x300 lineargray 8");
    const auto tags = "exiftool -s3 -n -ExposureTime -Orientation -GPSLatitude ";
    EXPECT_EQ(runCommand(tags + shellQuote((dir / "chelsea-cutout.png").string())).output, "0.004\n6\n");
    EXPECT_EQ(runCommand(tags + shellQuote((dir / "chelsea-mask.png").string())).output, "");
    EXPECT_EQ(identifyFormat(dir / "astronaut-cutout.tiff", "%m %wx%h %[channels]"), "TIFF 512x512 srgba");
    // Refined: the sidecar is the refined mask, which is the cutout's alpha and not the model's mask.
    EXPECT_EQ(eventsOf(events, list[3].id()).back(), completed(list[3]));
    EXPECT_EQ(eventsOf(events, list[4].id()).back(), completed(list[4]));
    const auto pixelsDiffering = [&](const std::string& first, const std::string& firstOptions, const char* second) {
        return runCommand("convert " + shellQuote((dir / first).string()) + firstOptions
                          + " png:- | compare -metric AE - " + shellQuote((dir / second).string())
                          + " null: 2>&1 | cat")
            .output;
    };
    EXPECT_EQ(pixelsDiffering("refined-cutout.png", " -alpha extract", "refined-mask.png"), "0");
    EXPECT_NE(pixelsDiffering("plain-mask.png", "", "refined-mask.png"), "0");
    EXPECT_EQ(entryNames(dir.path()),
              (std::vector<std::string>{"astronaut-cutout.tiff", "big-cat.png", "cat.jpg", "chelsea-cutout.png",
                                        "chelsea-mask.png", "plain-cutout.png", "plain-mask.png", "refined-cutout.png",
                                        "refined-mask.png", "sky.png"}));
}

} // namespace
} // namespace pelorin::test
