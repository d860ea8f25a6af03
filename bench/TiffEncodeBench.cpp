// TIFF encoding of a 12-megapixel 8-bit RGBA cutout (the photograph with the soft mask as alpha):
// LZW with and without the horizontal predictor, the strip sizes around our default, no
// compression, and libtiff's defaults as the baseline. Each run writes to an in-memory file;
// the "bytes" counter is the file's size. LZW strips are compressed on every core, so CPU time is
// the whole process's and the time shown is wall-clock time.
#include "BenchSupport.h"

#include "Imaging/Codecs/Tiff/TiffEncoder.h"

#include <benchmark/benchmark.h>
#include <tiffio.h>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace pelorin::bench {
namespace {

// The photograph with the mask interleaved as straight alpha.
const Image& cutout12MP()
{
    static const Image image = [] {
        const Image& photo = photo12MP8Bit();
        const Image& mask = mask12MP();
        if (photo.width() != mask.width() || photo.height() != mask.height() || photo.bitsPerPixel() != 24)
            throw std::runtime_error("the benchmark photo and mask do not match");
        const size_t w = photo.width(), h = photo.height();
        auto block = PixelBlock::allocate(w * h * 4);
        for (size_t y = 0; y < h; ++y) {
            const uint8_t* rgb = photo.bytes().data() + y * photo.bytesPerRow();
            const uint8_t* alpha = mask.bytes().data() + y * mask.bytesPerRow();
            uint8_t* out = block.data() + y * w * 4;
            for (size_t x = 0; x < w; ++x) {
                std::memcpy(out + 4 * x, rgb + 3 * x, 3);
                out[4 * x + 3] = alpha[x];
            }
        }
        const ImageFormat format{w, h, 8, 32, w * 4, BitmapInfo::make(AlphaInfo::last)};
        return Image(format, photo.colorSpace(), DataProvider::make(std::move(block)));
    }();
    return image;
}

class MemoryFile {
public:
    MemoryFile() : fd_(::memfd_create("tiff-bench", MFD_CLOEXEC))
    {
        if (fd_ < 0)
            throw std::runtime_error("memfd_create failed");
    }
    ~MemoryFile() { ::close(fd_); }
    int rewound() const
    {
        if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0)
            throw std::runtime_error("could not empty the in-memory file");
        return fd_;
    }
    double size() const
    {
        struct stat info {};
        ::fstat(fd_, &info);
        return static_cast<double>(info.st_size);
    }

private:
    int fd_;
};

void report(benchmark::State& state, const MemoryFile& file, const Image& image)
{
    state.counters["bytes"] = file.size();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image.bytesPerRow() * image.height()));
}

void BM_TiffEncode(benchmark::State& state, bool lzw, bool predictor, size_t stripKiB)
{
    const Image& image = cutout12MP();
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
    report(state, file, image);
}

// libtiff left to its defaults (8 KiB strips, no predictor), row by row, as a plain caller would.
void BM_TiffEncodeLibtiffDefaults(benchmark::State& state)
{
    const Image& image = cutout12MP();
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
            ok = TIFFWriteScanline(tif, const_cast<uint8_t*>(image.bytes().data() + y * image.bytesPerRow()), y, 0) == 1;
        ok = ok && TIFFWriteDirectory(tif);
        TIFFClose(tif);
        if (!ok) {
            state.SkipWithError("libtiff could not write the file");
            return;
        }
    }
    report(state, file, image);
}

BENCHMARK_CAPTURE(BM_TiffEncode, LzwPredictor_256KiB, true, true, 256)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK_CAPTURE(BM_TiffEncode, LzwNoPredictor_256KiB, true, false, 256)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK_CAPTURE(BM_TiffEncode, LzwPredictor_64KiB, true, true, 64)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK_CAPTURE(BM_TiffEncode, LzwPredictor_1MiB, true, true, 1024)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK_CAPTURE(BM_TiffEncode, Uncompressed_256KiB, false, false, 256)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_TiffEncodeLibtiffDefaults)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

} // namespace
} // namespace pelorin::bench
