// PNG encoding of a 12-megapixel cutout (a photograph with a soft elliptical mask as alpha, the
// background's colour kept under alpha 0), 8 and 16 bits per component, smooth and noisy: our
// encoder against libpng's defaults (level 6, adaptive filters, one thread) and against our
// former zlib settings, plus the settings considered on the way, so the choice in
// PngCompression::preferred can be checked on any machine.
// Counter "bytes" is the file size; Time is wall-clock (our encoder uses every core), CPU the
// whole process.
#include "BenchSupport.h"

#include "engine/Imaging/Codecs/ImageEncoder.h"
#include "engine/Imaging/Codecs/Png/PngCompression.h"

#include <benchmark/benchmark.h>
#include <png.h>
#include <zlib.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace pelorin::bench {
namespace {

// libpng as most programs call it: defaults everywhere, the same 1 MiB output buffering as ours.
struct BufferedOutput {
    int fd;
    std::vector<uint8_t> buffer;
    bool flush()
    {
        size_t done = 0;
        while (done < buffer.size()) {
            const ssize_t n = ::write(fd, buffer.data() + done, buffer.size() - done);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        buffer.clear();
        return true;
    }
};

void appendOutput(png_structp png, png_bytep data, size_t length)
{
    auto* out = static_cast<BufferedOutput*>(png_get_io_ptr(png));
    if (out->buffer.size() + length > out->buffer.capacity() && !out->flush())
        png_error(png, "write failed");
    out->buffer.insert(out->buffer.end(), data, data + length);
}

// Plain values only in the frame libpng may longjmp out of.
bool writeWithLibpng(png_structp png, png_infop info, const uint8_t* pixels, size_t rowBytes, png_uint_32 width,
                     png_uint_32 height, int depth)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_IHDR(png, info, width, height, depth, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
    png_write_info(png, info);
    if (depth == 16)
        png_set_swap(png); // rows are little-endian
    for (png_uint_32 y = 0; y < height; ++y)
        png_write_row(png, pixels + y * rowBytes);
    png_write_end(png, nullptr);
    return true;
}

void encodeWithLibpngDefaults(int fd, const Image& image)
{
    BufferedOutput out{fd, {}};
    out.buffer.reserve(size_t{1} << 20);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, appendOutput, nullptr);
    const bool written =
        writeWithLibpng(png, info, image.bytes().data(), image.bytesPerRow(), static_cast<png_uint_32>(image.width()),
                        static_cast<png_uint_32>(image.height()), static_cast<int>(image.bitsPerComponent()));
    png_destroy_write_struct(&png, &info);
    if (!written || !out.flush())
        throw std::runtime_error("libpng failed");
}

// range(0) is the bit depth, range(1) the Grain.
const Image& input(const benchmark::State& state)
{
    return cutout12MP(static_cast<size_t>(state.range(0)), static_cast<Grain>(state.range(1)));
}

void BM_PngLibpngDefaults(benchmark::State& state)
{
    const Image& image = input(state);
    MemoryFile file;
    for (auto _ : state)
        encodeWithLibpngDefaults(file.rewound(), image);
    reportEncoding(state, image, file.size());
}

void BM_PngOurs(benchmark::State& state)
{
    const Image& image = input(state);
    MemoryFile file;
    for (auto _ : state) {
        auto written = encodePng(file.rewound(), image, {});
        if (!written)
            state.SkipWithError(written.error().c_str());
    }
    reportEncoding(state, image, file.size());
}

// Our pipeline with other settings: what each choice buys or costs.
void BM_PngVariant(benchmark::State& state, png::PngCompression compression)
{
    const Image& image = input(state);
    MemoryFile file;
    for (auto _ : state) {
        auto written = png::encodePngWith(file.rewound(), image, {}, compression);
        if (!written)
            state.SkipWithError(written.error().c_str());
    }
    reportEncoding(state, image, file.size());
}

// The zlib settings preferred before libdeflate: level 5 for 8 bits, level 6 with a 64-long match
// chain for 16 bits. Kept so one run shows the change.
void BM_PngZlibBefore(benchmark::State& state)
{
    const size_t depth = static_cast<size_t>(state.range(0));
    png::PngMethod method;
    method.level = depth == 16 ? 6 : 5;
    if (depth == 16)
        method.tuning = png::PngMethod::Tuning{8, 16, 128, 64};
    png::PngCompression compression;
    compression.methods = {method};
    BM_PngVariant(state, compression);
}

png::PngCompression libdeflate(int level, std::optional<png::RowFilter> filter = std::nullopt,
                               size_t bandBytes = size_t{2} << 20)
{
    png::PngMethod m;
    m.deflater = png::PngMethod::Deflater::libdeflate;
    m.level = level;
    m.fixedFilter = filter;
    png::PngCompression c;
    c.methods = {m};
    c.bandBytes = bandBytes;
    return c;
}

png::PngCompression variant(int level, int strategy, bool parallel, int maxChain = 0)
{
    png::PngMethod m;
    m.level = level;
    m.strategy = strategy;
    if (maxChain > 0)
        m.tuning = png::PngMethod::Tuning{8, 16, 128, maxChain};
    png::PngCompression c;
    c.methods = {m};
    c.parallel = parallel;
    return c;
}

void configure(benchmark::internal::Benchmark* b)
{
    // CPU is the whole process (every worker), so it stays meaningful on a busy machine.
    b->ArgNames({"bits", "grain"})->Args({8, 0})->Args({16, 0});
    b->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(2);
}

// Also the noisy photograph (grain 1) and, at 16 bits, its noisy low bytes (grain 2).
void configureAllGrains(benchmark::internal::Benchmark* b)
{
    configure(b);
    b->Args({8, 1})->Args({16, 1})->Args({16, 2});
}

png::PngCompression onlyMethod(size_t index)
{
    auto compression = png::PngCompression::preferred(8);
    compression.methods = {compression.methods.at(index)};
    return compression;
}

BENCHMARK(BM_PngLibpngDefaults)->Apply(configureAllGrains);
BENCHMARK(BM_PngOurs)->Apply(configureAllGrains);
BENCHMARK(BM_PngZlibBefore)->Apply(configureAllGrains);
// The two methods each band chooses between, alone.
BENCHMARK_CAPTURE(BM_PngVariant, upLibdeflate4, onlyMethod(0))->Apply(configureAllGrains);
BENCHMARK_CAPTURE(BM_PngVariant, adaptiveRle, onlyMethod(1))->Apply(configureAllGrains);
// Others measured on the way.
BENCHMARK_CAPTURE(BM_PngVariant, libdeflate4, libdeflate(4))->Apply(configure);
BENCHMARK_CAPTURE(BM_PngVariant, libdeflate6, libdeflate(6))->Apply(configure);
BENCHMARK_CAPTURE(BM_PngVariant, libdeflate6_up, libdeflate(6, png::RowFilter::up))->Apply(configure);
BENCHMARK_CAPTURE(BM_PngVariant, libdeflate6_paeth, libdeflate(6, png::RowFilter::paeth))->Apply(configure);
// One band: a single libdeflate call over the whole filtered image, no join, no parallelism.
BENCHMARK_CAPTURE(BM_PngVariant, libdeflate6_oneCall, libdeflate(6, std::nullopt, SIZE_MAX))->Apply(configure);
BENCHMARK_CAPTURE(BM_PngVariant, level6_oneThread, variant(6, Z_FILTERED, false))->Apply(configure);
BENCHMARK_CAPTURE(BM_PngVariant, level6_chain64, variant(6, Z_FILTERED, true, 64))->Apply(configure);
BENCHMARK_CAPTURE(BM_PngVariant, level4, variant(4, Z_FILTERED, true))->Apply(configure);

} // namespace
} // namespace pelorin::bench
