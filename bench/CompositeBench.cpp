// Compositing and mask resampling at photo size: the 12-megapixel cutout at 8 and 16 bits, and a
// 1024 × 1024 model output brought to 4000 × 3000 by the Lanczos resampler (float and 8-bit).
// Wall-clock time, since the work is spread over the process-wide workers; the CPU column is the
// whole process's, every worker included.
#include "BenchSupport.h"

#include "engine/Extensions/ImageAlpha.h"
#include "engine/Imaging/LanczosResampler.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace pelorin::bench {
namespace {

void compositeBench(benchmark::State& state, const Image& photo)
{
    const Image& mask = mask12MP();
    for (auto _ : state) {
        auto cutout = withMaskAsAlpha(photo, mask);
        if (!cutout)
            throw std::runtime_error(cutout.error().description());
        benchmark::DoNotOptimize(cutout->bytes().data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(photo.width() * photo.height()));
}

void BM_Composite8Bit(benchmark::State& state)
{
    compositeBench(state, photo12MP8Bit());
}
void BM_Composite16Bit(benchmark::State& state)
{
    compositeBench(state, photo12MP16Bit());
}

// A soft 1024 × 1024 blob like a model's sigmoid output, stored as float or as bytes.
template <typename Sample>
std::vector<Sample> modelOutput()
{
    std::vector<Sample> plane(1024 * 1024);
    for (size_t y = 0; y < 1024; ++y)
        for (size_t x = 0; x < 1024; ++x) {
            const double d = std::hypot((x - 512.0) / 380.0, (y - 512.0) / 420.0);
            const double v = 1.0 / (1.0 + std::exp((d - 1.0) * 40.0));
            plane[y * 1024 + x] = std::is_same_v<Sample, float> ? Sample(v) : Sample(std::lround(v * 255));
        }
    return plane;
}

template <typename Sample, typename Out>
void lanczosBench(benchmark::State& state)
{
    const auto plane = modelOutput<Sample>();
    const auto view = PlaneView::packed(std::span<const Sample>(plane), 1024, 1024);
    auto resampler = LanczosResampler::make(1024, 1024, 4000, 3000);
    if (!resampler)
        throw std::runtime_error(resampler.error());
    std::vector<Out> target(4000 * 3000);
    for (auto _ : state) {
        if (!resampler->resample(view, std::span(target)))
            throw std::runtime_error("resampling failed");
        benchmark::DoNotOptimize(target.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 4000 * 3000);
}

void BM_LanczosUpscaleFloat(benchmark::State& state)
{
    lanczosBench<float, float>(state);
}
void BM_LanczosUpscale8Bit(benchmark::State& state)
{
    lanczosBench<uint8_t, uint8_t>(state);
}

// The whole sidecar path from a model-sized 8-bit mask: tables, resampling, the new image.
void BM_MaskSidecarFrom1024(benchmark::State& state)
{
    const auto plane = modelOutput<uint8_t>();
    auto block = PixelBlock::allocate(plane.size());
    std::memcpy(block.data(), plane.data(), plane.size());
    const Image mask({1024, 1024, 8, 8, 1024, 0}, linearGrayColorSpace(), DataProvider::make(std::move(block)));
    for (auto _ : state) {
        auto sidecar = maskAsLinearGrayImage(mask, 4000, 3000);
        if (!sidecar)
            throw std::runtime_error(sidecar.error().description());
        benchmark::DoNotOptimize(sidecar->bytes().data());
    }
}

BENCHMARK(BM_Composite8Bit)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_Composite16Bit)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_LanczosUpscaleFloat)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_LanczosUpscale8Bit)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_MaskSidecarFrom1024)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

} // namespace
} // namespace pelorin::bench
