// The executor against an independent implementation: OpenCV DNN 4.6 runs the same model, widened
// to fp32, on the same input tensor of real photographs; our fp32 masks must agree to 2e-3 at every
// pixel, and where the processor has native bf16, the bf16 masks to a mean of 2e-3 with the
// 0.5-thresholded masks overlapping at IoU ≥ 0.99 (these photos have clear subjects); where it has
// VNNI, the int8 masks with the shipped activation ranges to a mean of 5e-3 and IoU ≥ 0.98 (a
// scale or layout fault is off by tens of times more).
#include "engine/Inference/ModelLocator.h"
#include "engine/Inference/OnnxNetwork.h"
#include "engine/Inference/Fp32ModelConverter.h"
#include "engine/Inference/PrecisionPolicy.h"
#include "support/CpuLevel.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/dnn.hpp>

#include <cmath>
#include <cstdio>

namespace pelorin {
namespace {

constexpr int side = 1024;
constexpr size_t planeSize = size_t{side} * side;

// The model's own preprocessing, with ImageMagick as the decoder and resizer: RGB, stretched to
// 1024×1024, (v − 128) / 256, planar. Both runners receive this very tensor.
std::vector<float> modelInput(const char* photo)
{
    test::TemporaryDirectory folder;
    const auto rgb = folder / "input.rgb";
    const auto command = "convert " + test::shellQuote(test::samplePhoto(photo).string() + "[0]")
        + " -alpha off -colorspace sRGB -resize 1024x1024! -depth 8 " + test::shellQuote("rgb:" + rgb.string());
    EXPECT_EQ(test::runCommand(command).exitCode, 0) << command;
    const auto bytes = test::readFileBytes(rgb);
    if (bytes.size() != 3 * planeSize)
        return {};
    std::vector<float> tensor(3 * planeSize);
    for (size_t i = 0; i < planeSize; ++i)
        for (size_t c = 0; c < 3; ++c)
            tensor[c * planeSize + i] = (float(bytes[3 * i + c]) - 128.0f) / 256.0f;
    return tensor;
}

// The value at a point given in relative coordinates (0…1 across, 0…1 down).
float at(std::span<const float> mask, std::pair<double, double> p)
{
    return mask[size_t(std::lround(p.second * (side - 1))) * side + size_t(std::lround(p.first * (side - 1)))];
}

TEST(OracleTest, ExecutorMatchesOpenCvOnRealPhotos)
{
    const auto model = locateModel();
    ASSERT_TRUE(model) << modelSearchDescription();
    auto fp32 = test::cachedFp32Model(*model);
    ASSERT_TRUE(fp32) << fp32.error();
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    cv::dnn::Net oracle = cv::dnn::readNetFromONNX(fp32->string());
    auto network = inference::OnnxNetwork::load(*model, {side, side, Precision::fp32});
    ASSERT_TRUE(network) << network.error();
    struct Reduced {
        std::shared_ptr<const inference::OnnxNetwork> network;
        double meanBound, iouBound;
    };
    std::vector<Reduced> reduced;
    for (auto [precision, usable, meanBound, iouBound] :
         {std::tuple{Precision::bf16, inference::cpuHasNativeBf16(), 2e-3, 0.99},
          std::tuple{Precision::int8, inference::cpuHasVnni(), 5e-3, 0.98}}) {
        if (!usable)
            continue;
        auto loaded = inference::OnnxNetwork::load(*model, {side, side, precision});
        ASSERT_TRUE(loaded) << loaded.error();
        reduced.push_back({*loaded, meanBound, iouBound});
    }
    std::printf("kernels: %s\n", (*network)->kernelSummary().c_str());
    // Winograd kernels: oneDNN's with AVX-512, ours with AVX2; below that the network runs direct
    // convolution, so the per-level runs of this test check each against OpenCV.
    EXPECT_EQ((*network)->countSteps("wino") > 0, test::winogradAvailable()) << test::cpuLevelLine();

    using Points = std::vector<std::pair<double, double>>;
    const std::tuple<const char*, Points, Points> photos[] = {
        // points clearly on the subject; on the background
        {"chelsea.png", {{0.4, 0.6}}, {{0.97, 0.6}}},
        {"astronaut.png", {{0.45, 0.7}}, {{0.05, 0.1}}},
        {"coffee.png", {{0.45, 0.55}}, {{0.05, 0.1}, {0.95, 0.9}}},
        {"grace_hopper.jpg", {{0.5, 0.8}}, {{0.1, 0.1}}},
    };
    for (const auto& [photo, subject, background] : photos) {
        SCOPED_TRACE(photo);
        auto input = modelInput(photo);
        ASSERT_EQ(input.size(), 3 * planeSize);
        const int shape[] = {1, 3, side, side};
        oracle.setInput(cv::Mat(4, shape, CV_32F, input.data()), "input");
        const cv::Mat out = oracle.forward("output");
        ASSERT_TRUE(out.total() == planeSize && out.type() == CV_32F && out.isContinuous());
        const std::span<const float> expected(out.ptr<float>(), planeSize);
        // The oracle itself must see the subject, or agreeing with it proves nothing.
        for (const auto& p : subject)
            EXPECT_GT(at(expected, p), 0.8f) << "OpenCV misses the subject at " << p.first << ", " << p.second;
        for (const auto& p : background)
            EXPECT_LT(at(expected, p), 0.2f) << "OpenCV keeps background at " << p.first << ", " << p.second;

        const auto actual = (*network)->run(input);
        ASSERT_TRUE(actual) << actual.error();
        ASSERT_EQ(actual->size(), planeSize);
        double worst = 0, sum = 0;
        size_t where = 0;
        for (size_t i = 0; i < planeSize; ++i)
            if (const double d = std::abs(double((*actual)[i]) - expected[i]); sum += d, !(d <= worst)) // NaN is worst
                worst = d, where = i;
        std::printf("[ oracle   ] %-18s max |diff| %.3g at (%zu, %zu), mean %.3g\n", photo, worst, where % side,
                    where / side, sum / planeSize);
        EXPECT_LE(worst, 2e-3) << "at (" << where % side << ", " << where / side << "): ours " << (*actual)[where]
                               << ", OpenCV " << expected[where];

        for (const auto& [candidate, meanBound, iouBound] : reduced) {
            const char* name = precisionName(candidate->precision());
            const auto mask = candidate->run(input);
            ASSERT_TRUE(mask) << name << ": " << mask.error();
            double meanDiff = 0;
            size_t both = 0, either = 0;
            for (size_t i = 0; i < planeSize; ++i) {
                meanDiff += std::abs(double((*mask)[i]) - expected[i]);
                const bool a = (*mask)[i] >= 0.5f, b = expected[i] >= 0.5f;
                both += a && b;
                either += a || b;
            }
            meanDiff /= planeSize;
            const double iou = either ? double(both) / double(either) : 1.0;
            std::printf("[ oracle   ] %-18s %s: mean |diff| %.3g, IoU %.5f\n", photo, name, meanDiff, iou);
            EXPECT_LE(meanDiff, meanBound) << name;
            EXPECT_GE(iou, iouBound) << name;
        }
    }
}

} // namespace
} // namespace pelorin
