// The batch processor against real faults, with the real image processor: destinations that are
// missing, a file, removed mid-run or full; sources that are folders, FIFOs or cut short. Each
// affected job fails with the error naming the right file, the others complete, and nothing
// partial or temporary is left. One run goes through the real segmentation model end to end.
#include "BatchTestSupport.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstring>

namespace pelorin::test {
namespace {

using Error = BatchProcessingError;
using Event = BatchProcessingEvent;

class BatchFaultTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(sources); }

    BatchProcessor processor(int maxConcurrency) const
    {
        return BatchProcessor(std::make_shared<FakeRemover>(recorder), std::make_shared<ImageProcessor>(),
                              maxConcurrency);
    }
    ProcessingJob job(size_t index, const fs::path& output, std::optional<fs::path> mask = std::nullopt,
                      size_t height = kSourceHeight) const
    {
        return ProcessingJob(Uuid::random(), writeSource(sources, index, height), output, std::move(mask),
                             OutputFormat::png);
    }

    TemporaryDirectory dir;
    fs::path sources = dir / "sources";
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
};

// The job's terminal event, checked against the contract first.
Event terminalOf(const std::vector<Event>& events, const ProcessingJob& job)
{
    const auto mine = eventsOf(events, job.id());
    EXPECT_FALSE(mine.empty());
    return mine.empty() ? Event::cancelled(job.id()) : mine.back();
}

void expectWriteFailed(const std::vector<Event>& events, const ProcessingJob& job, const fs::path& url)
{
    const auto terminal = terminalOf(events, job);
    EXPECT_EQ(terminal.kind(), Kind::failed) << ::testing::PrintToString(terminal);
    ASSERT_TRUE(terminal.error());
    EXPECT_EQ(terminal.error()->kind(), Error::Kind::writeFailed);
    EXPECT_EQ(terminal.error()->url(), url);
    EXPECT_FALSE(terminal.error()->reason().empty());
}

TEST_F(BatchFaultTest, BrokenDestinationsAndSourcesFailOnlyTheirJobs)
{
    const auto out = dir / "out";
    fs::create_directories(out / "good");
    fs::create_directories(out / "cutouts");
    writeFileBytes(out / "plain", {'x'});

    // Sources that cannot be decoded: a folder, a FIFO (must not hang the job), a file cut short.
    fs::create_directories(sources / "folder.png");
    ASSERT_EQ(::mkfifo((sources / "pipe.png").c_str(), 0600), 0);
    const auto whole = readFileBytes(writeSource(sources, 9, 400));
    writeFileBytes(sources / "short.png", {whole.begin(), whole.begin() + long(whole.size() * 6 / 10)});

    std::vector<ProcessingJob> list = {
        job(0, out / "missing" / "cutout-0.png"),
        job(1, out / "plain" / "cutout-1.png"),
        job(2, out / "cutouts" / "cutout-2.png", out / "no-masks" / "mask-2.png"),
        job(3, out / "good" / "cutout-3.png", out / "good" / "mask-3.png"),
    };
    for (const char* name : {"folder.png", "pipe.png", "short.png"})
        list.emplace_back(Uuid::random(), sources / name, out / "good" / (std::string(name) + "-cutout.png"),
                          std::nullopt, OutputFormat::png);

    const auto events = runToEnd(processor(2), list);
    ASSERT_TRUE(followsEventContract(events, list));
    expectWriteFailed(events, list[0], list[0].outputURL());
    expectWriteFailed(events, list[1], list[1].outputURL());
    expectWriteFailed(events, list[2], *list[2].maskOutputURL());
    EXPECT_EQ(terminalOf(events, list[3]), Event::completed(list[3].id(), list[3].outputURL()));
    for (size_t i = 4; i < list.size(); ++i)
        EXPECT_EQ(terminalOf(events, list[i]),
                  Event::failed(list[i].id(), Error::sourceImageUnreadable(list[i].inputURL())));

    // A failed sidecar write leaves no cutout; nothing anywhere is partial or hidden.
    EXPECT_TRUE(entryNames(out / "cutouts").empty());
    EXPECT_FALSE(fs::exists(out / "missing"));
    EXPECT_FALSE(fs::exists(out / "no-masks"));
    EXPECT_TRUE(fs::is_regular_file(out / "plain"));
    EXPECT_EQ(entryNames(out / "good"), (std::vector<std::string>{"cutout-3.png", "mask-3.png"}));
    EXPECT_EQ(identifyFormat(out / "good" / "cutout-3.png", "%m %wx%h %[channels]"), "PNG 43x12 srgba");
    EXPECT_TRUE(hiddenEntries(dir.path()).empty());
}

TEST_F(BatchFaultTest, FoldersRemovedDuringTheRunFailOnlyTheirJobs)
{
    const auto vanishing = dir / "vanishing", alsoVanishing = dir / "also-vanishing", staying = dir / "staying";
    for (const auto& folder : {vanishing, alsoVanishing, staying})
        fs::create_directories(folder);
    auto first = recorder->gate(Step::mask, 0), third = recorder->gate(Step::mask, 2);
    const std::vector list = {job(0, vanishing / "cutout-0.png", vanishing / "mask-0.png"),
                              job(1, staying / "cutout-1.png", staying / "mask-1.png"),
                              job(2, alsoVanishing / "cutout-2.png")};
    const auto batch = processor(3);
    EventCollector run(batch.process(list));
    ASSERT_TRUE(first->waitArrived() && third->waitArrived());
    fs::remove_all(vanishing);
    fs::remove_all(alsoVanishing);
    first->open();
    third->open();
    ASSERT_TRUE(run.waitForEnd());
    const auto events = run.events();
    ASSERT_TRUE(followsEventContract(events, list));
    // The sidecar is written first, so with one asked for it is the one found missing.
    expectWriteFailed(events, list[0], *list[0].maskOutputURL());
    expectWriteFailed(events, list[2], list[2].outputURL());
    EXPECT_EQ(terminalOf(events, list[1]), Event::completed(list[1].id(), list[1].outputURL()));
    EXPECT_FALSE(fs::exists(vanishing));
    EXPECT_FALSE(fs::exists(alsoVanishing));
    EXPECT_EQ(entryNames(staying), (std::vector<std::string>{"cutout-1.png", "mask-1.png"}));
}

// A tiny tmpfs, unmounted however the test ends.
class SmallFilesystem {
public:
    explicit SmallFilesystem(const fs::path& at) : at_(at)
    {
        fs::create_directories(at);
        mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, "size=256k") == 0;
    }
    ~SmallFilesystem()
    {
        if (mounted_)
            ::umount2(at_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }

private:
    fs::path at_;
    bool mounted_ = false;
};

TEST_F(BatchFaultTest, FullFilesystemFailsTheJobThatDoesNotFitAndTheRunGoesOn)
{
    const auto full = dir / "full", roomy = dir / "roomy";
    SmallFilesystem filesystem(full);
    if (!filesystem.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here (needs root): " << std::strerror(errno);
    fs::create_directories(roomy);
    // Noise does not compress: ~500 KB of cutout cannot fit in 256 KiB; the small one can, once
    // the big one's temporary file is gone.
    const std::vector list = {job(0, full / "big.png", std::nullopt, 4000), job(1, full / "small.png"),
                              job(2, roomy / "big.png", std::nullopt, 4000),
                              job(3, roomy / "cutout-3.png", full / "mask-3.png", 4000)};
    const auto events = runToEnd(processor(1), list);
    ASSERT_TRUE(followsEventContract(events, list));
    expectWriteFailed(events, list[0], list[0].outputURL());
    EXPECT_EQ(terminalOf(events, list[1]), Event::completed(list[1].id(), list[1].outputURL()));
    EXPECT_EQ(terminalOf(events, list[2]), Event::completed(list[2].id(), list[2].outputURL()));
    // Its mask compresses to a few kilobytes: the sidecar fits where the cutout would not.
    EXPECT_EQ(terminalOf(events, list[3]), Event::completed(list[3].id(), list[3].outputURL()));

    EXPECT_EQ(entryNames(full), (std::vector<std::string>{"mask-3.png", "small.png"}));
    EXPECT_EQ(identifyFormat(full / "small.png", "%m %wx%h"), "PNG 41x12");
    EXPECT_EQ(identifyFormat(roomy / "big.png", "%m %wx%h"), "PNG 42x4000");
    EXPECT_TRUE(hiddenEntries(dir.path()).empty());
}

TEST(BatchProcessorRealPipeline, PhotosBecomeCutoutsWithSidecarAndMetadata)
{
    cpu_set_t cores;
    CPU_ZERO(&cores);
    ASSERT_EQ(sched_getaffinity(0, sizeof cores, &cores), 0);
    EXPECT_EQ(BatchProcessor::defaultMaxConcurrency(), std::max(1, CPU_COUNT(&cores)));
    const BatchProcessor real;
    EXPECT_EQ(real.maxConcurrency(), BatchProcessor::defaultMaxConcurrency());

    TemporaryDirectory dir;
    // A JPEG with EXIF that must travel (exposure, orientation) and GPS that must not.
    const auto cat = dir / "cat.jpg", astronaut = samplePhoto("astronaut.png");
    ASSERT_EQ(runCommand("convert " + shellQuote(samplePhoto("chelsea.png").string()) + " -quality 92 "
                         + shellQuote(cat.string()) + " && exiftool -q -overwrite_original -n -ExposureTime=0.004 "
                         "-Orientation=6 -GPSLatitude=48.85 -GPSLatitudeRef=N " + shellQuote(cat.string()))
                  .exitCode,
              0);
    const std::vector list = {
        ProcessingJob(Uuid::random(), cat, dir / "chelsea-cutout.png", dir / "chelsea-mask.png", OutputFormat::png),
        ProcessingJob(Uuid::random(), astronaut, dir / "astronaut-cutout.tiff", std::nullopt, OutputFormat::tiff),
    };
    // The model's first load and two inferences take seconds, many more on a busy machine.
    const auto events = runToEnd(real, list, std::chrono::seconds(180));
    ASSERT_TRUE(followsEventContract(events, list));
    for (const auto& job : list)
        EXPECT_EQ(eventsOf(events, job.id()).back(), Event::completed(job.id(), job.outputURL()));

    // A real subject: some pixels fully kept, some fully removed.
    EXPECT_EQ(identifyFormat(dir / "chelsea-cutout.png", "%m %wx%h %[channels] %[fx:minima.a] %[fx:maxima.a]"),
              "PNG 451x300 srgba 0 1");
    EXPECT_EQ(identifyFormat(dir / "chelsea-mask.png", "%m %wx%h %[channels] %z"), "PNG 451x300 lineargray 8");
    EXPECT_EQ(exiftoolTag(dir / "chelsea-cutout.png", "ExposureTime"), "0.004");
    EXPECT_EQ(exiftoolTag(dir / "chelsea-cutout.png", "Orientation"), "6");
    EXPECT_EQ(exiftoolTag(dir / "chelsea-cutout.png", "GPSLatitude"), "");
    EXPECT_EQ(exiftoolTag(dir / "chelsea-mask.png", "ExposureTime"), "");
    EXPECT_EQ(exiftoolTag(dir / "chelsea-mask.png", "Orientation"), "");
    EXPECT_EQ(identifyFormat(dir / "astronaut-cutout.tiff", "%m %wx%h %[channels]"), "TIFF 512x512 srgba");
    EXPECT_TRUE(hiddenEntries(dir.path()).empty());
}

} // namespace
} // namespace pelorin::test
