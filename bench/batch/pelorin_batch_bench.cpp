// End-to-end batch timing: real photos through the real pipeline (decode, mask, composite,
// encode, publish), or the mask step alone for comparison. Driven by bench/batch/run, one
// configuration per process so each peak RSS is its own.
//
//   pelorin_batch_bench batch --format png|tiff --jobs N --out DIR PHOTO...
//   pelorin_batch_bench inference PHOTO...
//   pelorin_batch_bench stages PHOTO...      (each step of one job, one after another)
#include "engine/Common/AllocatorPolicy.h"
#include "engine/Extensions/ImageAlpha.h"
#include "engine/Extensions/ImageIO.h"
#include "engine/Extensions/ImageMetadata.h"
#include "engine/Imaging/ImageSource.h"
#include "engine/Services/BackgroundRemover.h"
#include "engine/Services/BatchProcessor.h"
#include "engine/Services/ImageProcessor.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

using namespace pelorin;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double peakRssMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

Image decode(const std::filesystem::path& path)
{
    auto source = ImageSource::open(path);
    if (!source) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), source.error().description().c_str());
        std::exit(1);
    }
    auto image = (*source)->createImage();
    if (!image) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), image.error().description().c_str());
        std::exit(1);
    }
    return *image;
}

// Loads the model outside the timed region: the batch and the mask-only figures both exclude it.
double warmUp(const BackgroundRemover& remover)
{
    const auto start = Clock::now();
    auto block = PixelBlock::allocate(64 * 64 * 3);
    std::memset(block.data(), 128, block.size());
    ImageFormat format;
    format.width = 64;
    format.height = 64;
    format.bitsPerComponent = 8;
    format.bitsPerPixel = 24;
    format.bytesPerRow = 64 * 3;
    (void)remover.generateMask(Image(format, ColorSpace::named(ColorSpace::Name::sRGB),
                                     std::make_shared<const DataProvider>(std::move(block))));
    return secondsSince(start);
}

int inference(const std::vector<std::filesystem::path>& photos)
{
    BackgroundRemover remover;
    const double load = warmUp(remover);
    double total = 0;
    for (const auto& photo : photos) {
        const Image image = decode(photo);
        const auto start = Clock::now();
        auto mask = remover.generateMask(image);
        total += secondsSince(start);
        if (!mask) {
            std::fprintf(stderr, "%s: %s\n", photo.c_str(), mask.error().description().c_str());
            return 1;
        }
    }
    std::printf("mode=inference images=%zu load_s=%.3f per_image_ms=%.1f peak_rss_mib=%.0f\n", photos.size(), load,
                1000 * total / photos.size(), peakRssMiB());
    return 0;
}

// Where a job's time goes: the steps of the pipeline timed one by one, in a single thread of
// control (the steps themselves still use every core).
int stages(const std::vector<std::filesystem::path>& photos, const std::filesystem::path& out)
{
    BackgroundRemover remover;
    ImageProcessor processor;
    warmUp(remover);
    std::filesystem::create_directories(out);
    double decodeS = 0, metadataS = 0, maskS = 0, compositeS = 0, pngS = 0, tiffS = 0;
    for (const auto& photo : photos) {
        auto start = Clock::now();
        const Image image = decode(photo);
        decodeS += secondsSince(start);
        start = Clock::now();
        const auto metadata = ImageMetadata::read(photo);
        metadataS += secondsSince(start);
        start = Clock::now();
        auto mask = remover.generateMask(image);
        maskS += secondsSince(start);
        if (!mask)
            return 1;
        start = Clock::now();
        auto cutout = processor.composite(image, *mask);
        compositeS += secondsSince(start);
        if (!cutout)
            return 1;
        start = Clock::now();
        (void)processor.save(*cutout, out / "stage.png", OutputFormat::png, metadata);
        pngS += secondsSince(start);
        start = Clock::now();
        (void)processor.save(*cutout, out / "stage.tiff", OutputFormat::tiff, metadata);
        tiffS += secondsSince(start);
    }
    const double n = static_cast<double>(photos.size());
    std::printf("mode=stages images=%zu decode_ms=%.1f metadata_ms=%.1f mask_ms=%.1f composite_ms=%.1f png_ms=%.1f "
                "tiff_ms=%.1f\n",
                photos.size(), 1000 * decodeS / n, 1000 * metadataS / n, 1000 * maskS / n, 1000 * compositeS / n,
                1000 * pngS / n, 1000 * tiffS / n);
    return 0;
}

int batch(OutputFormat format, int jobs, const std::filesystem::path& out,
          const std::vector<std::filesystem::path>& photos)
{
    auto remover = std::make_shared<BackgroundRemover>();
    const double load = warmUp(*remover);
    std::filesystem::create_directories(out);
    std::vector<ProcessingJob> list;
    for (const auto& photo : photos) {
        const auto name = photo.stem().string() + "-cutout." + std::string(OutputFormats::fileExtension(format));
        list.emplace_back(Uuid::random(), photo, out / name, std::nullopt, format);
    }
    BatchProcessor processor(remover, std::make_shared<ImageProcessor>(), jobs);
    const auto start = Clock::now();
    auto handle = processor.process(list);
    int completed = 0;
    while (auto event = handle.events.next())
        if (event->kind() == BatchProcessingEvent::Kind::completed)
            ++completed;
        else if (event->kind() == BatchProcessingEvent::Kind::failed)
            std::fprintf(stderr, "failed: %s\n", event->error()->errorDescription().c_str());
    const double wall = secondsSince(start);
    std::printf("mode=batch format=%s jobs=%d images=%zu completed=%d load_s=%.3f wall_s=%.2f per_image_ms=%.1f "
                "images_per_min=%.1f peak_rss_mib=%.0f\n",
                std::string(OutputFormats::rawValue(format)).c_str(), jobs, photos.size(), completed, load, wall,
                1000 * wall / photos.size(), 60 * photos.size() / wall, peakRssMiB());
    return completed == static_cast<int>(photos.size()) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s batch --format png|tiff --jobs N --out DIR PHOTO... | inference PHOTO...\n",
                     argv[0]);
        return 2;
    }
    releaseLargeBlocksPromptly(); // as every front end does: the peak RSS is the one users see
    const std::string mode = argv[1];
    OutputFormat format = OutputFormat::png;
    int jobs = BatchProcessor::defaultMaxConcurrency();
    std::filesystem::path out = "batch-bench-output";
    std::vector<std::filesystem::path> photos;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--format" && i + 1 < argc)
            format = OutputFormats::fromRawValue(argv[++i]).value_or(OutputFormat::png);
        else if (arg == "--jobs" && i + 1 < argc)
            jobs = std::stoi(argv[++i]);
        else if (arg == "--out" && i + 1 < argc)
            out = argv[++i];
        else
            photos.emplace_back(arg);
    }
    if (photos.empty()) {
        std::fprintf(stderr, "no photos given\n");
        return 2;
    }
    if (mode == "inference")
        return inference(photos);
    if (mode == "stages")
        return stages(photos, out);
    return batch(format, jobs, out, photos);
}
