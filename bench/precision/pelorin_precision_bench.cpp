// Agreement of masks made two ways on real photographs: each photo is decoded, segmented by the
// same model loaded in fp32 and in bf16 (or, with --winograd, in fp32 with the 3×3 convolutions
// through Winograd and through direct convolution only), and the two masks at the photo's own size
// compared (mean |Δ| over pixels, IoU of the masks thresholded at 0.5). Prints one line per photo,
// then the worst photo for each measure and whether every photo meets the bounds.
//
// Usage: pelorin_precision_bench [--winograd] <model.onnx> <photo>...
// Exit status: 0 every photo agrees, 1 some photo does not, 77 this CPU has no native bf16 (without
// --winograd).
#include "engine/Imaging/ImageSource.h"
#include "engine/Inference/ForegroundSegmenter.h"
#include "engine/Inference/OnnxNetwork.h"
#include "engine/Inference/PrecisionPolicy.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

using namespace pelorin;

namespace {

constexpr double maxMeanDifference = 0.002;
constexpr double minIoU = 0.99;

using Clock = std::chrono::steady_clock;

std::shared_ptr<const Network> load(const char* model, Precision precision, bool winograd, double& milliseconds)
{
    const auto start = Clock::now();
    auto network = inference::OnnxNetwork::load(model, {1024, 1024, precision},
                                                {.lowering = {.winograd = winograd},
                                                 .outputName = {},
                                                 .weightCache = inference::PreparedWeightCache::defaultDirectory()});
    milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (!network) {
        std::fprintf(stderr, "cannot load %s: %s\n", model, network.error().c_str());
        std::exit(2);
    }
    return *network;
}

// The mask at the photo's size, values 0–1; empty when the model sees no subject.
Result<std::vector<float>, std::string> maskOf(const ForegroundSegmenter& segmenter, const Image& image)
{
    auto observation = segmenter.detect(image);
    if (!observation)
        return unexpected(observation.error());
    if (!*observation)
        return std::vector<float>();
    auto mask = (*observation)->generateScaledMask();
    if (!mask)
        return unexpected(mask.error());
    MaskPixelBuffer::ReadOnlyLock lock(*mask);
    std::vector<float> values(mask->width() * mask->height());
    for (size_t y = 0; y < mask->height(); ++y) {
        const auto* row = reinterpret_cast<const float*>(mask->baseAddress() + y * mask->bytesPerRow());
        std::copy(row, row + mask->width(), values.begin() + ptrdiff_t(y * mask->width()));
    }
    return values;
}

struct Worst {
    double value;
    std::string photo;
};

} // namespace

int main(int argc, char** argv)
{
    const bool winograd = argc > 1 && std::string(argv[1]) == "--winograd";
    if (winograd) {
        --argc;
        ++argv;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: pelorin_precision_bench [--winograd] <model.onnx> <photo>...\n");
        return 2;
    }
    if (!winograd && !inference::cpuHasNativeBf16()) {
        std::printf("this processor (at this oneDNN level) has no native bf16: fp32 is used, nothing to compare\n");
        return 77;
    }
    // Reference first, then the candidate.
    double referenceLoadMs = 0, candidateLoadMs = 0;
    const ForegroundSegmenter reference(load(argv[1], Precision::fp32, !winograd, referenceLoadMs));
    const ForegroundSegmenter candidate(
        load(argv[1], winograd ? Precision::fp32 : Precision::bf16, true, candidateLoadMs));
    std::printf("comparing %s; load: %.0f ms and %.0f ms\n",
                winograd ? "fp32 Winograd with fp32 direct convolution" : "bf16 with fp32", referenceLoadMs,
                candidateLoadMs);
    std::printf("%-44s %10s %10s %8s\n", "photo", "mean|Δ|", "IoU@0.5", "agrees");

    Worst worstMean{-1, ""}, worstIoU{2, ""};
    size_t compared = 0, agreeing = 0;
    double sumMean = 0;
    for (int i = 2; i < argc; ++i) {
        const std::string name = std::filesystem::path(argv[i]).filename().string();
        auto source = ImageSource::open(argv[i]);
        auto image = source ? (*source)->createImage() : unexpected(source.error());
        if (!image) {
            std::printf("%-44s unreadable: %s\n", name.c_str(), image.error().description().c_str());
            continue;
        }
        const auto a = maskOf(reference, *image), b = maskOf(candidate, *image);
        if (!a || !b) {
            std::printf("%-44s failed: %s\n", name.c_str(), (!a ? a.error() : b.error()).c_str());
            continue;
        }
        ++compared;
        if (a->empty() || b->empty()) { // a subject seen one way only is a disagreement
            const bool same = a->empty() && b->empty();
            agreeing += same;
            std::printf("%-44s %10s %10s %8s\n", name.c_str(), "-", "-", same ? "no subject" : "NO");
            if (!same)
                worstIoU = {0, name};
            continue;
        }
        double sum = 0;
        size_t both = 0, either = 0;
        for (size_t p = 0; p < a->size(); ++p) {
            sum += std::abs(double((*a)[p]) - (*b)[p]);
            const bool inA = (*a)[p] >= 0.5f, inB = (*b)[p] >= 0.5f;
            both += inA && inB;
            either += inA || inB;
        }
        const double mean = sum / double(a->size()), iou = either ? double(both) / double(either) : 1.0;
        const bool agrees = mean <= maxMeanDifference && iou >= minIoU;
        agreeing += agrees;
        sumMean += mean;
        if (mean > worstMean.value)
            worstMean = {mean, name};
        if (iou < worstIoU.value)
            worstIoU = {iou, name};
        std::printf("%-44s %10.5f %10.5f %8s\n", name.c_str(), mean, iou, agrees ? "yes" : "NO");
    }
    std::printf("\nphotos compared: %zu; agreeing (mean|Δ| ≤ %.3f and IoU ≥ %.2f): %zu\n", compared, maxMeanDifference,
                minIoU, agreeing);
    if (compared > 0) {
        std::printf("mean of mean|Δ|: %.5f; worst mean|Δ|: %.5f (%s); worst IoU: %.5f (%s)\n",
                    sumMean / double(compared), worstMean.value, worstMean.photo.c_str(), worstIoU.value,
                    worstIoU.photo.c_str());
    }
    return compared > 0 && agreeing == compared ? 0 : 1;
}
