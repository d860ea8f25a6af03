// The real model on a heap that is as misaligned as it is allowed to be. This program replaces
// operator new so that every ordinary allocation starts 16 bytes past a 64-byte boundary: all the
// alignment the heap ever promises, and exactly where it once happened to put a network's output,
// which an AVX-512 kernel then stored to with an aligned instruction. Whatever reaches oneDNN
// from a std::vector here is misaligned every time, not by the luck of the heap.
#include "engine/Imaging/ImageSource.h"
#include "engine/Inference/ForegroundSegmenter.h"
#include "engine/Inference/ModelLocator.h"
#include "engine/Inference/Network.h"
#include "support/CpuLevel.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

namespace {

constexpr uintptr_t misalignment = 16; // past a 64-byte boundary

// The block malloc gave sits just below every pointer handed out, so one release() serves all forms.
void* allocate(size_t size, size_t alignment, uintptr_t offset)
{
    void* raw = std::malloc(size + alignment + offset + sizeof(void*));
    if (!raw)
        throw std::bad_alloc();
    const uintptr_t base = (reinterpret_cast<uintptr_t>(raw) + sizeof(void*) + alignment - 1) & ~(alignment - 1);
    reinterpret_cast<void**>(base + offset)[-1] = raw;
    return reinterpret_cast<void*>(base + offset);
}

void release(void* pointer) noexcept
{
    if (pointer)
        std::free(reinterpret_cast<void**>(pointer)[-1]);
}

} // namespace

// libstdc++'s array, nothrow and other sized forms all call these.
void* operator new(size_t size)
{
    return allocate(size, 64, misalignment);
}
void* operator new(size_t size, std::align_val_t alignment)
{
    return allocate(size, std::max<size_t>(size_t(alignment), sizeof(void*)), 0);
}
void operator delete(void* p) noexcept
{
    release(p);
}
void operator delete(void* p, size_t) noexcept
{
    release(p);
}
void operator delete(void* p, std::align_val_t) noexcept
{
    release(p);
}

namespace pelorin {
namespace {

[[maybe_unused]] const auto* const cpuLevel = testing::AddGlobalTestEnvironment(test::makeCpuLevelEnvironment());

TEST(MisalignedHeap, TheRealModelRunsOnHeapVectorsAndGivesTheSameMaskAsOnAlignedOnes)
{
    const std::vector<float> probe(1 << 20);
    ASSERT_EQ(reinterpret_cast<uintptr_t>(probe.data()) % 64, misalignment) << "the heap replacement is not in use";

    const auto model = locateModel();
    if (!model)
        GTEST_SKIP() << "no model installed (run scripts/fetch-model): " << modelSearchDescription();
    auto network = Network::load(*model);
    ASSERT_TRUE(network) << network.error();
    const size_t plane = (*network)->inputWidth() * (*network)->inputHeight();

    // Through the segmenter, as every cutout goes: decode, resize, run, scale the mask.
    auto source = ImageSource::open(test::samplePhoto("chelsea.png"));
    ASSERT_TRUE(source) << source.error().description();
    auto image = (*source)->createImage();
    ASSERT_TRUE(image) << image.error().description();
    const ForegroundSegmenter segmenter(*network);
    for (int run = 0; run < 2; ++run) { // the second run reuses the pooled workspace
        auto observation = segmenter.detect(*image);
        ASSERT_TRUE(observation) << observation.error();
        ASSERT_TRUE(observation->has_value()) << "the cat was not seen";
        EXPECT_GT((*observation)->subjectFraction(), 0.2);
        auto mask = (*observation)->generateScaledMask();
        ASSERT_TRUE(mask) << mask.error();
    }

    // Straight into the network: a heap vector as input (misaligned by construction), its output
    // must equal that of an aligned copy bit for bit, and come back aligned itself.
    std::vector<float> input(3 * plane);
    for (size_t i = 0; i < input.size(); ++i)
        input[i] = float(int(i % 251) - 125) / 256.0f;
    ASSERT_FALSE(isTensorAligned(input.data()));
    const auto fromHeap = (*network)->run(input);
    ASSERT_TRUE(fromHeap) << fromHeap.error();
    EXPECT_TRUE(isTensorAligned(fromHeap->data()));
    const AlignedFloats alignedInput(input.begin(), input.end());
    const auto fromAligned = (*network)->run(alignedInput);
    ASSERT_TRUE(fromAligned) << fromAligned.error();
    ASSERT_EQ(fromHeap->size(), plane);
    EXPECT_TRUE(*fromHeap == *fromAligned);
}

} // namespace
} // namespace pelorin
