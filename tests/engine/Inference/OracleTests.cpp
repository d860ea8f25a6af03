// The executor against an independent implementation: OpenCV DNN 4.6 runs the same model, widened
// to fp32, on the same input tensor of real photographs; the 1024×1024 masks must agree to 2e-3.
// And on the same model, Winograd kernels against direct convolution to 1e-3.
#include "engine/Inference/ModelLocator.h"
#include "engine/Inference/OnnxNetwork.h"
#include "engine/Inference/Fp32ModelConverter.h"
#include "support/CpuLevel.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/dnn.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

namespace pelorin {
namespace {

constexpr int side = 1024;
constexpr size_t planeSize = size_t{side} * side;

// A point in relative coordinates (0…1 across, 0…1 down).
struct Probe {
    double x, y;
};

struct PhotoCase {
    const char* name;
    std::vector<Probe> subject;    // clearly on the subject
    std::vector<Probe> background; // clearly background
};

void PrintTo(const PhotoCase& photo, std::ostream* out) { *out << photo.name; }

// The model's own preprocessing, with ImageMagick as the decoder and resizer: RGB, stretched to
// 1024×1024, (v − 128) / 256, planar. Both runners receive this very tensor.
std::vector<float> modelInput(const std::filesystem::path& photo)
{
    test::TemporaryDirectory folder;
    const auto rgb = folder / "input.rgb";
    const auto command = "convert " + test::shellQuote(photo.string() + "[0]") + " -alpha off -colorspace sRGB -resize "
                         + std::to_string(side) + "x" + std::to_string(side) + "! -depth 8 " + test::shellQuote("rgb:" + rgb.string());
    const auto converted = test::runCommand(command);
    EXPECT_EQ(converted.exitCode, 0) << command;
    const auto bytes = test::readFileBytes(rgb);
    if (bytes.size() != 3 * planeSize) {
        ADD_FAILURE() << "ImageMagick gave " << bytes.size() << " bytes for " << photo;
        return {};
    }
    std::vector<float> tensor(3 * planeSize);
    for (size_t i = 0; i < planeSize; ++i)
        for (size_t c = 0; c < 3; ++c)
            tensor[c * planeSize + i] = (static_cast<float>(bytes[3 * i + c]) - 128.0f) / 256.0f;
    return tensor;
}

float at(const std::vector<float>& mask, Probe probe)
{
    const auto x = static_cast<size_t>(std::lround(probe.x * (side - 1)));
    const auto y = static_cast<size_t>(std::lround(probe.y * (side - 1)));
    return mask[y * side + x];
}

class OracleTest : public testing::TestWithParam<PhotoCase> {
protected:
    static void SetUpTestSuite()
    {
        cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
        const auto model = locateModel();
        if (!model) {
            oracleError_ = networkError_ = modelSearchDescription();
            return;
        }
        if (auto fp32 = test::cachedFp32Model(*model); !fp32) {
            oracleError_ = fp32.error();
        } else {
            try {
                oracle_ = std::make_unique<cv::dnn::Net>(cv::dnn::readNetFromONNX(fp32->string()));
                oracle_->setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
                oracle_->setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
            } catch (const cv::Exception& error) {
                oracleError_ = "OpenCV cannot import " + fp32->string() + ": " + error.what();
            }
        }
        if (auto network = inference::OnnxNetwork::load(*model, {side, side}); network) {
            std::printf("kernels: %s\n", (*network)->kernelSummary().c_str());
            network_ = std::move(network.value());
        } else {
            networkError_ = "OnnxNetwork::load(" + model->string() + "): " + network.error();
        }
    }

    static void TearDownTestSuite()
    {
        oracle_.reset();
        network_.reset();
    }

    static std::optional<std::vector<float>> runOracle(const std::vector<float>& input)
    {
        try {
            const int shape[] = {1, 3, side, side};
            const cv::Mat blob(4, shape, CV_32F, const_cast<float*>(input.data()));
            oracle_->setInput(blob, "input");
            const cv::Mat out = oracle_->forward("output");
            if (out.total() != planeSize || out.type() != CV_32F || !out.isContinuous())
                return std::nullopt;
            const auto* data = out.ptr<float>();
            return std::vector<float>(data, data + planeSize);
        } catch (const cv::Exception& error) {
            ADD_FAILURE() << "OpenCV forward: " << error.what();
            return std::nullopt;
        }
    }

    static inline std::unique_ptr<cv::dnn::Net> oracle_;
    static inline std::shared_ptr<const Network> network_;
    static inline std::string oracleError_, networkError_;
};

TEST_P(OracleTest, ExecutorMatchesOpenCvOnRealPhoto)
{
    ASSERT_TRUE(oracle_) << oracleError_;
    const PhotoCase& photo = GetParam();
    const auto input = modelInput(test::samplePhoto(photo.name));
    ASSERT_EQ(input.size(), 3 * planeSize);

    const auto expected = runOracle(input);
    ASSERT_TRUE(expected) << "OpenCV gave no 1×1×1024×1024 float output";
    // The oracle itself must see the subject, or agreeing with it proves nothing.
    for (const Probe& probe : photo.subject)
        EXPECT_GT(at(*expected, probe), 0.8f) << "OpenCV misses the subject at (" << probe.x << ", " << probe.y << ")";
    for (const Probe& probe : photo.background)
        EXPECT_LT(at(*expected, probe), 0.2f) << "OpenCV keeps background at (" << probe.x << ", " << probe.y << ")";

    ASSERT_TRUE(network_) << networkError_;
    const auto actual = network_->run(input);
    ASSERT_TRUE(actual) << actual.error();
    ASSERT_EQ(actual->size(), planeSize);

    double maxDiff = 0, sumDiff = 0;
    size_t worst = 0, nonFinite = 0;
    for (size_t i = 0; i < planeSize; ++i) {
        if (!std::isfinite((*actual)[i])) {
            ++nonFinite;
            continue;
        }
        const double diff = std::abs(double((*actual)[i]) - double((*expected)[i]));
        sumDiff += diff;
        if (diff > maxDiff) {
            maxDiff = diff;
            worst = i;
        }
    }
    std::printf("[ oracle   ] %-18s max |diff| %.3g at (%zu, %zu), mean %.3g\n", photo.name, maxDiff, worst % side,
                worst / side, sumDiff / planeSize);
    EXPECT_EQ(nonFinite, 0u);
    EXPECT_LE(maxDiff, 2e-3) << "at (" << worst % side << ", " << worst / side << "): ours " << (*actual)[worst]
                             << ", OpenCV " << (*expected)[worst];
}

INSTANTIATE_TEST_SUITE_P(RealPhotos, OracleTest,
                         testing::Values(PhotoCase{"chelsea.png", {{0.4, 0.6}}, {{0.97, 0.6}}},
                                         PhotoCase{"astronaut.png", {{0.45, 0.7}}, {{0.05, 0.1}}},
                                         PhotoCase{"coffee.png", {{0.45, 0.55}}, {{0.05, 0.1}, {0.95, 0.9}}},
                                         PhotoCase{"grace_hopper.jpg", {{0.5, 0.8}}, {{0.1, 0.1}}}),
                         [](const testing::TestParamInfo<PhotoCase>& info) {
                             std::string name = info.param.name;
                             std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
                             return name;
                         });

// Winograd kernels, which oneDNN offers only from AVX-512 up, against direct convolution on the
// whole network; below that level the fast path is direct convolution and must be taken.
TEST(ExecutorOnRealModel, WinogradAgreesWithDirectConvolution)
{
    const auto model = locateModel();
    if (!model)
        GTEST_SKIP() << "no model installed (run scripts/fetch-model): " << modelSearchDescription();
    auto fast = inference::OnnxNetwork::load(*model, {side, side});
    ASSERT_TRUE(fast) << fast.error();
    EXPECT_EQ((*fast)->countSteps("wino") > 0, test::winogradAvailable()) << test::cpuLevelLine();
    EXPECT_NEAR((*fast)->flopsPerRun(), 319e9, 1e9);
    if (!test::winogradAvailable())
        return;
    auto direct = inference::OnnxNetwork::load(*model, {side, side}, {.lowering = {.winograd = false}, .outputName = {}});
    ASSERT_TRUE(direct) << direct.error();
    EXPECT_EQ((*direct)->countSteps("wino"), 0u);
    const auto input = modelInput(test::samplePhoto("chelsea.png"));
    ASSERT_EQ(input.size(), 3 * planeSize);
    auto mask = (*fast)->run(input), reference = (*direct)->run(input);
    ASSERT_TRUE(mask && reference);
    double worst = 0;
    for (size_t i = 0; i < planeSize; ++i)
        worst = std::max(worst, double(std::fabs((*mask)[i] - (*reference)[i])));
    EXPECT_LE(worst, 1e-3);
    RecordProperty("winogradMaxDifference", std::to_string(worst));
}

} // namespace
} // namespace pelorin
