// Agreement of masks made two ways on real photographs: each photo is decoded, segmented by the
// same model loaded in fp32 and in bf16 or int8 (or, with --winograd, in fp32 with the 3×3
// convolutions through Winograd and through direct convolution only), and the two masks at the
// photo's own size compared (mean |Δ| over pixels, IoU of the masks thresholded at 0.5). Prints one
// line per photo, then the worst photo for each measure and whether every photo meets the bounds.
//
// `calibrate` runs the model in fp32 on the photos and prints the largest value each convolution's
// input reached (ActivationRanges text): what int8 scales its inputs by.
//
// Usage: pelorin_precision_bench [--winograd | --int8] <model.onnx> <photo>...
//        pelorin_precision_bench calibrate <model.onnx> <photo>...
// Exit status: 0 every photo agrees, 1 some photo does not, 77 this CPU lacks the candidate's
// instructions (native bf16, or VNNI for int8).
#include "engine/Common/Sha256.h"
#include "engine/Imaging/ImageSource.h"
#include "engine/Inference/ForegroundSegmenter.h"
#include "engine/Inference/OnnxNetwork.h"
#include "engine/Inference/PrecisionPolicy.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
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
    // PELORIN_INT8_RANGES: a calibration's output to try instead of the shipped ranges.
    std::optional<inference::ActivationRanges> ranges;
    if (const char* file = std::getenv("PELORIN_INT8_RANGES")) {
        std::ifstream in(file);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        auto parsed = inference::ActivationRanges::parse(text);
        if (!parsed) {
            std::fprintf(stderr, "%s: %s\n", file, parsed.error().c_str());
            std::exit(2);
        }
        ranges = std::move(*parsed);
    }
    auto network = inference::OnnxNetwork::load(model, {1024, 1024, precision},
                                                {.lowering = {.winograd = winograd},
                                                 .outputName = {},
                                                 .weightCache = inference::PreparedWeightCache::defaultDirectory(),
                                                 .ranges = ranges});
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

// The fp32 network, watched: for every convolution's input, its largest magnitude in each run. The
// ranges are the medians over runs: the largest value varies a hundredfold from photo to photo,
// and a range wide enough for the largest leaves the common photo a few steps of u8, while
// clipping the rare peaks, deep inside regions the model is sure of, moves masks less (exact
// per-photo ranges, per-channel ranges and a 99.99th percentile all measured worse).
class CalibratingNetwork final : public Network {
public:
    explicit CalibratingNetwork(std::shared_ptr<const inference::OnnxNetwork> network)
        : Network(network->inputHeight(), network->inputWidth()),
          network_(std::move(network))
    {
    }

    Result<AlignedFloats, std::string> run(std::span<const float> input) const override
    {
        return network_->run(
            input,
            [this](const inference::PlanStep& step, const auto& arguments) {
                if (step.inputValue.empty())
                    return;
                perRun_[step.inputValue].push_back(inference::largestMagnitude(arguments.at(DNNL_ARG_SRC)));
            });
    }

    // Per tensor, the median over runs.
    std::unordered_map<std::string, float> ranges() const
    {
        std::unordered_map<std::string, float> medians;
        for (auto [name, values] : perRun_) {
            std::nth_element(values.begin(), values.begin() + ptrdiff_t(values.size() / 2), values.end());
            medians[name] = values[values.size() / 2];
        }
        return medians;
    }

private:
    std::shared_ptr<const inference::OnnxNetwork> network_;
    mutable std::unordered_map<std::string, std::vector<float>> perRun_;
};

int calibrate(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: pelorin_precision_bench calibrate <model.onnx> <photo>...\n");
        return 2;
    }
    const auto digest = sha256OfFile(argv[2]);
    // Convolutions of concatenations whole, as int8 runs them; the sources in fp32 as read.
    auto network = inference::OnnxNetwork::load(
        argv[2], {1024, 1024, Precision::fp32},
        {.lowering = {.splitConcatBytes = SIZE_MAX}, .outputName = {}, .weightCache = {}, .ranges = {}});
    if (!digest || !network) {
        std::fprintf(stderr, "cannot load %s: %s\n", argv[2],
                     !digest ? digest.error().c_str() : network.error().c_str());
        return 2;
    }
    auto watched = std::make_shared<const CalibratingNetwork>(*network);
    const ForegroundSegmenter segmenter(watched);
    for (int i = 3; i < argc; ++i) {
        auto source = ImageSource::open(argv[i]);
        auto image = source ? (*source)->createImage() : unexpected(source.error());
        if (!image || !segmenter.detect(*image)) {
            std::fprintf(stderr, "cannot use %s\n", argv[i]);
            return 2;
        }
        std::fprintf(stderr, "%s\n", argv[i]);
    }
    inference::ActivationRanges ranges{hexString(*digest), watched->ranges()};
    std::fputs(ranges.toText().c_str(), stdout);
    return 0;
}

struct Worst {
    double value;
    std::string photo;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == "calibrate")
        return calibrate(argc, argv);
    const bool winograd = argc > 1 && std::string(argv[1]) == "--winograd";
    const bool int8 = argc > 1 && std::string(argv[1]) == "--int8";
    if (winograd || int8) {
        --argc;
        ++argv;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: pelorin_precision_bench [--winograd | --int8] <model.onnx> <photo>...\n");
        return 2;
    }
    const Precision precision = winograd ? Precision::fp32 : int8 ? Precision::int8 : Precision::bf16;
    if (auto usable = inference::resolvePrecision(precision); !usable) {
        std::printf("%s: fp32 is used, nothing to compare\n", usable.error().c_str());
        return 77;
    }
    // Reference first, then the candidate.
    double referenceLoadMs = 0, candidateLoadMs = 0;
    const ForegroundSegmenter reference(load(argv[1], Precision::fp32, !winograd, referenceLoadMs));
    const ForegroundSegmenter candidate(load(argv[1], precision, true, candidateLoadMs));
    std::printf("comparing %s; load: %.0f ms and %.0f ms\n",
                winograd   ? "fp32 Winograd with fp32 direct convolution"
                    : int8 ? "int8 with fp32"
                           : "bf16 with fp32",
                referenceLoadMs, candidateLoadMs);
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
