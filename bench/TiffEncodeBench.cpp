// TIFF encoding of a 12-megapixel 8-bit RGBA cutout (the photograph with the soft mask as alpha):
// LZW with and without the horizontal predictor, the strip sizes around our default, no
// compression, and libtiff's defaults as the baseline. Each run writes to an in-memory file;
// the "bytes" counter is the file's size. LZW strips are compressed on every core, so CPU time is
// the whole process's and the time shown is wall-clock time.
#include "BenchSupport.h"

#include "engine/Imaging/Codecs/Tiff/TiffEncoder.h"

#include <benchmark/benchmark.h>
#include <tiffio.h>

#include <unistd.h>

namespace pelorin::bench {
namespace {

void BM_TiffEncode(benchmark::State& state, bool lzw, bool predictor, size_t stripKiB)
{
    const Image& image = cutout12MP(8);
    ImageProperties properties;
    if (lzw)
        properties.tiff = TIFFProperties{5};
    const tiff::TiffEncodingOptions options{predictor, stripKiB << 10};
    MemoryFile file;
    for (auto _ : state) {
        auto written = tiff::encodeTiff(file.rewound(), image, properties, options);
        if (!written) {
            state.SkipWithError(written.error().c_str());
            return;
        }
    }
    reportEncoding(state, image, file.size());
}

// libtiff left to its defaults (8 KiB strips, no predictor), row by row, as a plain caller would.
void BM_TiffEncodeLibtiffDefaults(benchmark::State& state)
{
    const Image& image = cutout12MP(8);
    MemoryFile file;
    for (auto _ : state) {
        TIFF* tif = TIFFFdOpen(::dup(file.rewound()), "bench", "w");
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.width()));
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(image.height()));
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 4);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
        bool ok = true;
        for (uint32_t y = 0; y < image.height() && ok; ++y)
            ok =
                TIFFWriteScanline(tif, const_cast<uint8_t*>(image.bytes().data() + y * image.bytesPerRow()), y, 0) == 1;
        ok = ok && TIFFWriteDirectory(tif);
        TIFFClose(tif);
        if (!ok) {
            state.SkipWithError("libtiff could not write the file");
            return;
        }
    }
    reportEncoding(state, image, file.size());
}

BENCHMARK_CAPTURE(BM_TiffEncode, LzwPredictor_256KiB, true, true, 256)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_TiffEncode, LzwNoPredictor_256KiB, true, false, 256)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_TiffEncode, LzwPredictor_64KiB, true, true, 64)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_TiffEncode, LzwPredictor_1MiB, true, true, 1024)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_TiffEncode, Uncompressed_256KiB, false, false, 256)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();
BENCHMARK(BM_TiffEncodeLibtiffDefaults)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

} // namespace
} // namespace pelorin::bench
