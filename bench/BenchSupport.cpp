#include "BenchSupport.h"

#include "engine/Extensions/ImageAlpha.h"
#include "engine/Imaging/ImageSource.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelorin::bench {

namespace {
std::filesystem::path cacheFolder()
{
    if (const char* dir = std::getenv("PELORIN_TEST_DATA"))
        return dir;
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"))
        return std::filesystem::path(xdg) / "pelorin/test-data";
    return std::filesystem::path(std::getenv("HOME")) / ".cache/pelorin/test-data";
}
} // namespace

namespace {
std::filesystem::path convertedOnce(const std::string& name, const std::string& arguments,
                                    const std::filesystem::path& source)
{
    auto target = cacheFolder() / "bench" / name;
    if (!std::filesystem::exists(target)) {
        std::filesystem::create_directories(target.parent_path());
        const std::string command = "convert '" + source.string() + "' " + arguments + " '" + target.string() + "'";
        if (std::system(command.c_str()) != 0)
            throw std::runtime_error("could not make the 12 MP benchmark photo; run scripts/fetch-test-images");
    }
    return target;
}

Image decode(const std::filesystem::path& path)
{
    auto source = ImageSource::open(path);
    if (!source)
        throw std::runtime_error(source.error().description());
    auto decoded = (*source)->createImage();
    if (!decoded)
        throw std::runtime_error(decoded.error().description());
    return *decoded;
}

// Each sample v becomes v × 257 (little-endian), or v × 256 plus a pseudo-random low byte.
Image widened(const Image& narrow, bool randomLowBytes)
{
    const size_t w = narrow.width(), h = narrow.height(), channels = narrow.bitsPerPixel() / 8;
    const size_t rowBytes = w * channels * 2;
    auto block = PixelBlock::allocate(rowBytes * h);
    for (size_t y = 0; y < h; ++y) {
        const uint8_t* src = narrow.bytes().data() + y * narrow.bytesPerRow();
        uint8_t* dst = block.data() + y * rowBytes;
        for (size_t i = 0; i < w * channels; ++i) {
            uint64_t z = (y * w * channels + i) * 0x9E3779B97F4A7C15ull; // splitmix64's finaliser
            z = (z ^ (z >> 31)) * 0xBF58476D1CE4E5B9ull;
            dst[2 * i] = randomLowBytes ? static_cast<uint8_t>((z ^ (z >> 29)) >> 40) : src[i];
            dst[2 * i + 1] = src[i];
        }
    }
    ImageFormat format{
        w, h, 16, 16 * channels, rowBytes, BitmapInfo::make(AlphaInfo::none, BitmapInfo::byteOrder16Little)};
    return Image(format, narrow.colorSpace(), DataProvider::make(std::move(block)));
}

const Image& noisyPhoto12MP8Bit()
{
    static const Image image = decode(
        convertedOnce("photo-noisy-4000x3000.jpg", "-attenuate 0.6 +noise Gaussian -quality 92", photo12MPJpeg()));
    return image;
}
} // namespace

const std::filesystem::path& photo12MPJpeg()
{
    static const std::filesystem::path path = convertedOnce(
        "photo-4000x3000.jpg", "-filter Lanczos -resize '4000x3000!' -quality 92", cacheFolder() / "photos/coffee.png");
    return path;
}

const Image& photo12MP8Bit()
{
    static const Image image = decode(photo12MPJpeg());
    return image;
}

const Image& photo12MP16Bit()
{
    static const Image image = widened(photo12MP8Bit(), false);
    return image;
}

const Image& mask12MP()
{
    static const Image image = [] {
        const size_t w = 4000, h = 3000;
        auto block = PixelBlock::allocate(w * h);
        for (size_t y = 0; y < h; ++y)
            for (size_t x = 0; x < w; ++x) {
                const double dx = (x - w / 2.0) / (w * 0.35), dy = (y - h / 2.0) / (h * 0.4);
                const double d = std::sqrt(dx * dx + dy * dy);
                const double a = std::clamp((1.0 - d) * 20.0, 0.0, 1.0);
                block.data()[y * w + x] = static_cast<uint8_t>(std::lround(a * 255));
            }
        ImageFormat format{w, h, 8, 8, w, 0};
        return Image(format, linearGrayColorSpace(), DataProvider::make(std::move(block)));
    }();
    return image;
}

const Image& cutout12MP(size_t bitsPerComponent, Grain grain)
{
    // Made on first use, kept for the run; benchmarks are set up on one thread.
    static std::map<std::pair<size_t, Grain>, Image> made;
    if (bitsPerComponent != 16 && grain == Grain::noisyLowBytes)
        grain = Grain::noisy;
    const auto key = std::pair{bitsPerComponent, grain};
    if (auto found = made.find(key); found != made.end())
        return found->second;
    const Image& narrow = grain == Grain::smooth ? photo12MP8Bit() : noisyPhoto12MP8Bit();
    const Image photo = bitsPerComponent != 16 ? narrow
        : grain == Grain::smooth               ? photo12MP16Bit()
                                               : widened(narrow, grain == Grain::noisyLowBytes);
    auto cutout = withMaskAsAlpha(photo, mask12MP());
    if (!cutout)
        throw std::runtime_error(cutout.error().description());
    return made.emplace(key, std::move(*cutout)).first->second;
}

MemoryFile::MemoryFile() : fd_(::memfd_create("bench-output", MFD_CLOEXEC))
{
    if (fd_ < 0)
        throw std::runtime_error("memfd_create failed");
}

MemoryFile::~MemoryFile()
{
    ::close(fd_);
}

int MemoryFile::rewound() const
{
    if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0)
        throw std::runtime_error("could not empty the in-memory file");
    return fd_;
}

size_t MemoryFile::size() const
{
    struct stat info {};
    if (::fstat(fd_, &info) != 0)
        throw std::runtime_error("could not read the in-memory file's size");
    return static_cast<size_t>(info.st_size);
}

void reportEncoding(benchmark::State& state, const Image& image, size_t fileBytes)
{
    state.counters["bytes"] = static_cast<double>(fileBytes);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image.bytesPerRow() * image.height()));
}

} // namespace pelorin::bench
