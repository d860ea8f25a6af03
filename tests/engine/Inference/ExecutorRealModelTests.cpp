// The executor on the real segmentation model (skipped when scripts/fetch-model has not installed
// it): the mask of a photograph is a mask (values in 0–1, the cat in, the background out), and the
// Winograd kernels agree with direct convolution on the whole network to 1e-3.
#include "engine/Inference/ModelLocator.h"
#include "engine/Inference/OnnxNetwork.h"
#include "support/CpuLevel.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace pelorin {
namespace {

constexpr size_t side = 1024;

// RGB stretched to side × side by ImageMagick, (v − 128) / 256, planar: what the model was trained on.
std::vector<float> modelInput(const std::filesystem::path& photo)
{
    test::TemporaryDirectory folder;
    const auto rgb = folder / "input.rgb";
    const auto command = "convert " + test::shellQuote(photo.string() + "[0]") +
                         " -alpha off -colorspace sRGB -resize " + std::to_string(side) + "x" +
                         std::to_string(side) + "! -depth 8 " + test::shellQuote("rgb:" + rgb.string());
    EXPECT_EQ(test::runCommand(command).exitCode, 0) << command;
    const auto bytes = test::readFileBytes(rgb);
    std::vector<float> tensor(3 * side * side);
    if (bytes.size() != tensor.size()) {
        ADD_FAILURE() << "ImageMagick gave " << bytes.size() << " bytes for " << photo;
        return {};
    }
    for (size_t i = 0; i < side * side; ++i)
        for (size_t c = 0; c < 3; ++c)
            tensor[c * side * side + i] = (float(bytes[3 * i + c]) - 128.f) / 256.f;
    return tensor;
}

// Mean of the mask over a box given in fractions of the side.
double boxMean(std::span<const float> mask, double x0, double x1, double y0, double y1)
{
    double sum = 0;
    size_t count = 0;
    for (size_t y = size_t(y0 * side); y < size_t(y1 * side); ++y)
        for (size_t x = size_t(x0 * side); x < size_t(x1 * side); ++x, ++count)
            sum += mask[y * side + x];
    return sum / double(count);
}

TEST(ExecutorOnRealModel, CatPhotoGivesAMaskAndWinogradAgreesWithDirect)
{
    const auto model = locateModel();
    if (!model)
        GTEST_SKIP() << "no model installed (run scripts/fetch-model): " << modelSearchDescription();
    const auto input = modelInput(test::samplePhoto("chelsea.png"));
    ASSERT_FALSE(input.empty());

    auto fast = inference::OnnxNetwork::load(*model, {side, side});
    ASSERT_TRUE(fast) << fast.error();
    std::printf("kernels: %s\n", (*fast)->kernelSummary().c_str());
    // oneDNN offers Winograd only from AVX-512 up; below it the fast path is direct convolution.
    EXPECT_EQ((*fast)->countSteps("wino") > 0, test::winogradAvailable()) << test::cpuLevelLine();
    EXPECT_NEAR((*fast)->flopsPerRun(), 319e9, 1e9);
    auto mask = (*fast)->run(input);
    ASSERT_TRUE(mask) << mask.error();
    ASSERT_EQ(mask->size(), side * side);
    EXPECT_TRUE(std::all_of(mask->begin(), mask->end(), [](float v) { return v >= 0.f && v <= 1.f; }));
    // chelsea.png: the cat fills the middle; a strip of the background shows on the right.
    EXPECT_GT(boxMean(*mask, 0.4, 0.6, 0.4, 0.6), 0.9);
    EXPECT_LT(boxMean(*mask, 0.95, 1.0, 0.3, 0.7), 0.1);

    if (!test::winogradAvailable())
        return; // nothing to compare against direct convolution
    auto direct = inference::OnnxNetwork::load(*model, {side, side}, {.lowering = {.winograd = false}, .outputName = {}});
    ASSERT_TRUE(direct) << direct.error();
    EXPECT_EQ((*direct)->countSteps("wino"), 0u);
    auto reference = (*direct)->run(input);
    ASSERT_TRUE(reference) << reference.error();
    double worst = 0;
    for (size_t i = 0; i < reference->size(); ++i)
        worst = std::max(worst, double(std::fabs((*mask)[i] - (*reference)[i])));
    EXPECT_LE(worst, 1e-3);
    RecordProperty("winogradMaxDifference", std::to_string(worst));
}

} // namespace
} // namespace pelorin
