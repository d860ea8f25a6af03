// Decoding the 12-megapixel JPEG: our path (ImageSource: detection, header, ICC lookup, accurate
// DCT straight into the image's block) next to libjpeg-turbo with its default settings, both from
// the file's bytes in memory, so the overhead of our path is what separates them. A third run
// includes reading the file.
#include "BenchSupport.h"

#include "engine/Imaging/ImageSource.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include <jpeglib.h>

namespace pelorin::bench {
namespace {

const FileBytes& photoBytes()
{
    static const FileBytes bytes = [] {
        std::FILE* file = std::fopen(photo12MPJpeg().c_str(), "rb");
        auto data = std::make_shared<std::vector<uint8_t>>();
        if (file) {
            uint8_t buffer[1 << 16];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
                data->insert(data->end(), buffer, buffer + n);
            std::fclose(file);
        }
        return FileBytes(std::move(data));
    }();
    return bytes;
}

void setPixelCounters(benchmark::State& state, size_t pixels)
{
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * pixels));
    state.counters["megapixels"] = static_cast<double>(pixels) / 1e6;
}

// Opens and decodes `input` (the file's bytes or its path) through ImageSource, every iteration.
template <typename Input>
void decodeThroughImageSource(benchmark::State& state, const Input& input)
{
    size_t pixels = 0;
    for (auto _ : state) {
        auto source = ImageSource::open(input);
        if (!source) {
            state.SkipWithError(source.error().description().c_str());
            return;
        }
        auto image = (*source)->createImage();
        if (!image) {
            state.SkipWithError(image.error().description().c_str());
            return;
        }
        benchmark::DoNotOptimize(image->bytes().data());
        pixels = image->width() * image->height();
    }
    setPixelCounters(state, pixels);
}

void BM_JpegDecode_ImageSource(benchmark::State& state)
{
    decodeThroughImageSource(state, photoBytes());
}
BENCHMARK(BM_JpegDecode_ImageSource)->Unit(benchmark::kMillisecond);

void BM_JpegDecode_ImageSourceFromFile(benchmark::State& state)
{
    decodeThroughImageSource(state, photo12MPJpeg());
}
BENCHMARK(BM_JpegDecode_ImageSourceFromFile)->Unit(benchmark::kMillisecond);

// The baseline: libjpeg-turbo as its documentation shows it, default options throughout.
void BM_JpegDecode_LibjpegTurboDefaults(benchmark::State& state)
{
    const FileBytes& bytes = photoBytes();
    size_t pixels = 0;
    for (auto _ : state) {
        jpeg_decompress_struct info;
        jpeg_error_mgr errors;
        info.err = jpeg_std_error(&errors);
        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, bytes->data(), static_cast<unsigned long>(bytes->size()));
        jpeg_read_header(&info, TRUE);
        jpeg_start_decompress(&info);
        const size_t rowBytes = size_t{info.output_width} * info.output_components;
        std::vector<uint8_t> out(rowBytes * info.output_height);
        while (info.output_scanline < info.output_height) {
            JSAMPROW row = out.data() + info.output_scanline * rowBytes;
            jpeg_read_scanlines(&info, &row, 1);
        }
        jpeg_finish_decompress(&info);
        pixels = size_t{info.output_width} * info.output_height;
        jpeg_destroy_decompress(&info);
        benchmark::DoNotOptimize(out.data());
    }
    setPixelCounters(state, pixels);
}
BENCHMARK(BM_JpegDecode_LibjpegTurboDefaults)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace pelorin::bench
