// The prepared-weight cache may only ever save time: whatever state its file is in (absent, good,
// truncated, bit-flipped, another model's, unwritable), the network computes exactly the output of
// a network loaded without a cache, and a bad file is replaced by a good one.
#include "engine/Inference/Float16.h"
#include "engine/Inference/OnnxNetwork.h"
#include "engine/Inference/OnnxTestModel.h"
#include "engine/Inference/PrecisionPolicy.h"
#include "engine/Inference/PreparedWeightCache.h"
#include "support/CpuLevel.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <fstream>

namespace pelorin {
namespace {

using inference::OnnxNetwork;
using inference::PreparedWeightCache;

constexpr int64_t side = 64; // large enough a map for Winograd

// Winograd-shaped 3×3 convolutions with biases, so fp32 caches hold transformed weights.
void writeModel(const std::filesystem::path& file, uint32_t seed)
{
    test::OnnxTestModel m;
    m.input("input", {1, 3, side, side});
    m.floatInitializer("w1", {32, 3, 3, 3}, test::seededFloats(32 * 27, seed, 0.3f));
    m.floatInitializer("b1", {32}, test::seededFloats(32, seed + 1, 0.1f));
    m.floatInitializer("w2", {32, 32, 3, 3}, test::seededFloats(32 * 32 * 9, seed + 2, 0.1f));
    m.floatInitializer("b2", {32}, test::seededFloats(32, seed + 3, 0.1f));
    m.floatInitializer("w3", {1, 32, 3, 3}, test::seededFloats(32 * 9, seed + 4, 0.1f));
    m.node("Conv", {"input", "w1", "b1"}, {"c1"}).ints("pads", {1, 1, 1, 1});
    m.node("Relu", {"c1"}, {"r1"});
    m.node("Conv", {"r1", "w2", "b2"}, {"c2"}).ints("pads", {1, 1, 1, 1});
    m.node("Relu", {"c2"}, {"r2"});
    m.node("Conv", {"r2", "w3"}, {"output"}).ints("pads", {1, 1, 1, 1});
    m.output("output");
    m.write(file);
}

class PreparedWeights : public ::testing::TestWithParam<Precision> {
protected:
    void SetUp() override
    {
        if (GetParam() == Precision::bf16 && !inference::cpuHasNativeBf16())
            GTEST_SKIP() << "no native bf16 at this CPU level";
        if (GetParam() == Precision::int8 && !inference::cpuHasVnni())
            GTEST_SKIP() << "no VNNI at this CPU level";
        writeModel(model_, 1);
        input_ = test::seededFloats(3 * side * side, 9, 0.5f);
        auto plain = load(std::nullopt);
        ASSERT_TRUE(plain);
        reference_ = *plain->run(input_);
    }

    std::shared_ptr<const OnnxNetwork> load(std::optional<std::filesystem::path> cache,
                                            const std::filesystem::path& model = {})
    {
        auto network = OnnxNetwork::load(model.empty() ? model_ : model, {side, side, GetParam()},
                                         {.lowering = {}, .outputName = {}, .weightCache = cache, .ranges = ranges()});
        EXPECT_TRUE(network) << network.error();
        return network ? *network : nullptr;
    }

    // In int8 the middle convolution reads r1 as u8 (the first has 3 input channels and the last one
    // output channel: both stay fp32).
    std::optional<inference::ActivationRanges> ranges() const
    {
        if (GetParam() != Precision::int8)
            return std::nullopt;
        return inference::ActivationRanges{std::string(64, '0'), {{"r1", 2.f}}};
    }

    // Loads through `cache_`, expecting `fromCache` tensors from it and the reference output.
    void expectLoad(bool fromCache, const char* state)
    {
        SCOPED_TRACE(state);
        auto network = load(cache_);
        ASSERT_TRUE(network);
        EXPECT_GT(network->weightTensorCount(), 0u);
        EXPECT_EQ(network->countSteps("wino") > 0, GetParam() == Precision::fp32 && test::winogradAvailable())
            << "transformed weights are cached too";
        EXPECT_EQ(network->weightsFromCache(), fromCache ? network->weightTensorCount() : 0u);
        auto output = network->run(input_);
        ASSERT_TRUE(output) << output.error();
        EXPECT_EQ(*output, reference_) << "the cache changed the network's output";
    }

    std::filesystem::path cacheFile() const
    {
        for (const auto& entry : std::filesystem::directory_iterator(cache_))
            if (entry.path().extension() == ".weights")
                return entry.path();
        return {};
    }

    test::TemporaryDirectory directory_;
    std::filesystem::path model_ = directory_ / "model.onnx", cache_ = directory_ / "cache";
    std::vector<float> input_;
    AlignedFloats reference_;
};

TEST_P(PreparedWeights, DamagedForeignOrUnwritableCachesLeaveTheOutputExactlyAsWithout)
{
    expectLoad(false, "no file yet");
    const auto file = cacheFile();
    ASSERT_FALSE(file.empty()) << "the first load writes the cache";
    expectLoad(true, "written by the first load");

    const auto good = test::readFileBytes(file);
    const std::pair<const char*, std::function<std::vector<uint8_t>(std::vector<uint8_t>)>> damages[] = {
        {"truncated", [](auto bytes) { return (bytes.resize(bytes.size() / 2), bytes); }},
        {"one bit flipped in the weights", [](auto bytes) { return (bytes[bytes.size() - 100] ^= 0x10, bytes); }},
        {"one bit flipped in the header", [](auto bytes) { return (bytes[9] ^= 0x01, bytes); }},
        {"empty", [](auto) { return std::vector<uint8_t>(); }},
    };
    for (const auto& [what, damage] : damages) {
        test::writeFileBytes(file, damage(good));
        expectLoad(false, what);
        expectLoad(true, "rebuilt after the damaged one");
    }

    // Another model with the same shapes: its file under this model's name is refused by key.
    const auto other = directory_ / "other.onnx";
    writeModel(other, 2);
    std::filesystem::remove_all(cache_);
    load(cache_, other);
    const auto foreign = test::readFileBytes(cacheFile());
    std::filesystem::remove_all(cache_);
    std::filesystem::create_directories(cache_);
    test::writeFileBytes(file, foreign);
    expectLoad(false, "another model's file");

    // A cache folder that cannot be created (its parent is a file): loads as if there were none.
    test::writeFileBytes(directory_ / "plain-file", {1});
    cache_ = directory_ / "plain-file" / "cache";
    expectLoad(false, "unwritable folder");
}

INSTANTIATE_TEST_SUITE_P(Precisions, PreparedWeights,
                         ::testing::Values(Precision::fp32, Precision::bf16, Precision::int8),
                         [](const auto& info) { return std::string(precisionName(info.param)); });

// A tensor is taken only for the layout and source weights it was made from (a file under another
// key is the foreign-file case above); the folder keeps the most recently used files.
TEST(PreparedWeightCache, MatchesLayoutSourceAndKeyAndKeepsTheNewestFiles)
{
    test::TemporaryDirectory directory;
    const dnnl::memory::desc desc({4, 8}, dnnl::memory::data_type::f32, dnnl::memory::format_tag::ab);
    const std::vector<float> values = test::seededFloats(32, 3, 1.f);
    const uint32_t source = inference::weightChecksum(values);
    ASSERT_TRUE(PreparedWeightCache::write(directory.path(), "key", {{desc, source, values.data()}}));
    const auto cache = PreparedWeightCache::open(directory.path(), "key");
    ASSERT_EQ(cache->size(), 1u);
    const auto found = cache->find(0, desc, source);
    ASSERT_TRUE(found);
    EXPECT_EQ(std::memcmp(found->data(), values.data(), found->size()), 0);
    EXPECT_FALSE(cache->find(0, desc, source ^ 1)) << "other source weights";
    EXPECT_FALSE(
        cache->find(0, dnnl::memory::desc({8, 4}, dnnl::memory::data_type::f32, dnnl::memory::format_tag::ab), source))
        << "another layout";
    EXPECT_FALSE(cache->find(1, desc, source));

    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(PreparedWeightCache::write(directory.path(), "key " + std::to_string(i), {}));
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory.path()))
        files += entry.path().extension() == ".weights";
    EXPECT_EQ(files, PreparedWeightCache::keptFiles);
    EXPECT_TRUE(std::filesystem::exists(PreparedWeightCache::fileFor(directory.path(), "key 5")));
    EXPECT_FALSE(std::filesystem::exists(PreparedWeightCache::fileFor(directory.path(), "key")));
}

// Every half converts as the exact scalar routine does (F16C, where present, quiets signalling NaNs).
TEST(Float16, BulkConversionMatchesTheScalarOneForEveryHalf)
{
    std::vector<uint16_t> halves(65536);
    for (size_t i = 0; i < halves.size(); ++i)
        halves[i] = uint16_t(i);
    std::vector<float> floats(halves.size());
    inference::halvesToFloats(halves.data(), floats.data(), 65533); // 5 left over for the scalar tail
    inference::halvesToFloats(halves.data() + 65533, floats.data() + 65533, 3);
    for (size_t i = 0; i < halves.size(); ++i) {
        const float expected = inference::halfToFloat(halves[i]), actual = floats[i];
        if (std::isnan(expected))
            EXPECT_TRUE(std::isnan(actual)) << std::hex << i;
        else
            EXPECT_EQ(std::bit_cast<uint32_t>(actual), std::bit_cast<uint32_t>(expected)) << std::hex << i;
    }
}

} // namespace
} // namespace pelorin
