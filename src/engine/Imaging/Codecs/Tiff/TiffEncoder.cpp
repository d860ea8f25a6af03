#include "engine/Imaging/Codecs/Tiff/TiffEncoder.h"

#include "engine/Common/ParallelFor.h"
#include "engine/Imaging/Codecs/ImageEncoder.h"
#include "engine/Imaging/Codecs/Tiff/ExifDirectoryWriter.h"
#include "engine/Imaging/Codecs/Tiff/TiffHandle.h"
#include "engine/Imaging/RowNormalizer.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <vector>

namespace pelorin {

namespace tiff {

namespace {
constexpr int lzwCompression = 5;

std::string writeFailure(const TiffHandle& handle)
{
    return "Writing the TIFF file failed: " + handle.failureText() + ".";
}

bool setImageTags(TIFF* tif, const Image& image, const RowNormalizer& rows, uint32_t rowsPerStrip, bool lzw,
                  bool predictor)
{
    const auto channels = static_cast<uint16_t>(rows.channels());
    bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.width()))
        && TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(image.height()))
        && TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(rows.bitsPerComponent()))
        && TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, channels)
        && TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, rows.colorChannels() == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB)
        && TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG)
        && TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip)
        && TIFFSetField(tif, TIFFTAG_COMPRESSION, lzw ? COMPRESSION_LZW : COMPRESSION_NONE);
    if (ok && lzw && predictor)
        ok = TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    if (ok && rows.hasAlpha()) {
        const uint16_t extra = EXTRASAMPLE_UNASSALPHA; // RowNormalizer gives straight alpha
        ok = TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, uint16_t{1}, &extra);
    }
    // Named spaces get no tag: sRGB is what readers assume, and grey has nothing better to say.
    if (ok && image.colorSpace()->hasICCProfile()) {
        const auto profile = image.colorSpace()->iccProfile();
        ok = TIFFSetField(tif, TIFFTAG_ICCPROFILE, static_cast<uint32_t>(profile.size()), profile.data());
    }
    return ok;
}

bool setPropertyTags(TIFF* tif, const ImageProperties& properties)
{
    bool ok = true;
    if (properties.orientation && *properties.orientation >= 1 && *properties.orientation <= 8)
        ok = TIFFSetField(tif, TIFFTAG_ORIENTATION, static_cast<uint16_t>(*properties.orientation));
    auto usable = [](std::optional<double> dpi) { return dpi && std::isfinite(*dpi) && *dpi > 0 && *dpi < 1e7; };
    if (ok && (usable(properties.dpiWidth) || usable(properties.dpiHeight))) {
        // One known density stands for both, as readers assume square pixels without the other.
        const double x = usable(properties.dpiWidth) ? *properties.dpiWidth : *properties.dpiHeight;
        const double y = usable(properties.dpiHeight) ? *properties.dpiHeight : x;
        ok = TIFFSetField(tif, TIFFTAG_XRESOLUTION, x) && TIFFSetField(tif, TIFFTAG_YRESOLUTION, y)
            && TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    }
    return ok;
}

// Writes the Exif IFD right after the header, where libtiff has not written anything yet, and
// points IFD0 at it. libtiff's own Exif directory support would convert rationals through
// floating point and refuse tags it does not know; raw bytes keep every value exact.
bool writeExif(TiffHandle& handle, const ExifDictionary& exif)
{
    const uint64_t offset = handle.nextAppendOffset();
    if (offset > UINT32_MAX)
        return true;
    const auto directory = writeExifDirectory(exif, static_cast<uint32_t>(offset));
    if (directory.bytes.empty())
        return true;
    return handle.append(directory.bytes) && TIFFSetField(handle.get(), TIFFTAG_EXIFIFD, uint64_t{offset});
}

struct StripPlan {
    const Image& image;
    const RowNormalizer& rows;
    uint32_t rowsPerStrip;
    bool lzw;
    bool predictor;

    size_t rowBytes() const { return rows.outputRowBytes(); }
    size_t count() const { return (image.height() + rowsPerStrip - 1) / rowsPerStrip; }
    size_t rowsIn(size_t strip) const { return std::min<size_t>(rowsPerStrip, image.height() - strip * rowsPerStrip); }
    void convert(size_t strip, PixelBlock& buffer) const
    {
        for (size_t r = 0, n = rowsIn(strip); r < n; ++r)
            rows.convertRow(strip * rowsPerStrip + r, buffer.span().subspan(r * rowBytes(), rowBytes()));
    }
};

constexpr const char* outOfMemory = "Not enough memory to write the TIFF file.";

// Uncompressed strips cost little more than the copy, so one thread writes them in order.
Result<void, std::string> writeStrips(TiffHandle& handle, const StripPlan& plan)
{
    auto buffer = PixelBlock::allocate(plan.rowsPerStrip * plan.rowBytes());
    if (buffer.empty())
        return unexpected(std::string(outOfMemory));
    for (size_t strip = 0; strip < plan.count(); ++strip) {
        plan.convert(strip, buffer);
        const auto size = static_cast<tmsize_t>(plan.rowsIn(strip) * plan.rowBytes());
        if (TIFFWriteEncodedStrip(handle.get(), static_cast<uint32_t>(strip), buffer.data(), size) != size)
            return unexpected(writeFailure(handle));
    }
    return {};
}

// LZW dominates the encoding time, so strips are converted and compressed in parallel, each
// worker through a scratch libtiff handle in memory with the same tags: every strip is coded on
// its own (LZW and the predictor restart per strip), so its bytes are exactly what the output
// handle would have produced. They are then written in order as raw strips, a batch at a time
// to bound the memory held.
Result<void, std::string> writeCompressedStrips(TiffHandle& handle, const StripPlan& plan)
{
    const size_t batch = threadBudget() * 4;
    std::vector<std::vector<uint8_t>> compressed(batch);
    for (size_t first = 0; first < plan.count(); first += batch) {
        const size_t end = std::min(plan.count(), first + batch);
        std::mutex mutex;
        std::string failure;
        std::atomic<bool> failed{false};
        parallelFor(end - first, [&](size_t begin, size_t stop) {
            auto fail = [&](const std::string& why) {
                std::lock_guard lock(mutex);
                if (failure.empty())
                    failure = why;
                failed = true;
            };
            auto scratch = TiffHandle::openBuffer();
            auto buffer = PixelBlock::allocate(plan.rowsPerStrip * plan.rowBytes());
            if (!scratch->valid() || buffer.empty()
                || !setImageTags(scratch->get(), plan.image, plan.rows, plan.rowsPerStrip, plan.lzw, plan.predictor))
                return fail(outOfMemory);
            for (size_t i = begin; i < stop && !failed; ++i) {
                const auto strip = static_cast<uint32_t>(first + i);
                plan.convert(strip, buffer);
                const auto size = static_cast<tmsize_t>(plan.rowsIn(strip) * plan.rowBytes());
                if (TIFFWriteEncodedStrip(scratch->get(), strip, buffer.data(), size) != size)
                    return fail("Compressing the TIFF image failed: " + scratch->failureText() + ".");
                const auto bytes = scratch->buffer();
                const uint64_t offset = TIFFGetStrileOffset(scratch->get(), strip);
                const uint64_t length = TIFFGetStrileByteCount(scratch->get(), strip);
                if (offset > bytes.size() || length > bytes.size() - offset)
                    return fail("Compressing the TIFF image failed.");
                try {
                    compressed[i].assign(bytes.begin() + offset, bytes.begin() + offset + length);
                } catch (const std::bad_alloc&) {
                    return fail(outOfMemory);
                }
            }
        });
        if (failed)
            return unexpected(failure);
        for (size_t i = 0; i < end - first; ++i) {
            auto& bytes = compressed[i];
            const auto size = static_cast<tmsize_t>(bytes.size());
            if (TIFFWriteRawStrip(handle.get(), static_cast<uint32_t>(first + i), bytes.data(), size) != size)
                return unexpected(writeFailure(handle));
        }
    }
    return {};
}

} // namespace

Result<void, std::string> encodeTiff(int fd, const Image& image, const ImageProperties& properties,
                                     const TiffEncodingOptions& options)
{
    auto rows = RowNormalizer::make(image);
    if (!rows)
        return unexpected(rows.error());
    if (!image.colorSpace())
        return unexpected(std::string("The image has no colour space."));
    if (image.width() > UINT32_MAX || image.height() > UINT32_MAX)
        return unexpected(std::string("The image is too large for a TIFF file."));
    // Classic TIFF addresses 4 GiB; leave room for the directories.
    const uint64_t rowBytes = rows->outputRowBytes();
    if (rowBytes * image.height() > (uint64_t{4} << 30) - (uint64_t{64} << 20))
        return unexpected(std::string("The image is too large for a TIFF file."));

    auto handle = TiffHandle::openForWriting(fd);
    if (!handle->valid())
        return unexpected(writeFailure(*handle));
    TIFF* tif = handle->get();

    const bool lzw = properties.tiff && properties.tiff->compression == lzwCompression;
    const auto rowsPerStrip =
        static_cast<uint32_t>(std::clamp<uint64_t>(options.stripBytes / rowBytes, 1, image.height()));
    if (!setImageTags(tif, image, *rows, rowsPerStrip, lzw, options.horizontalPredictor)
        || !setPropertyTags(tif, properties))
        return unexpected("The TIFF tags could not be set: " + handle->failureText() + ".");
    if (properties.exif && !properties.exif->empty() && !writeExif(*handle, *properties.exif))
        return unexpected(writeFailure(*handle));

    const StripPlan plan{image, *rows, rowsPerStrip, lzw, options.horizontalPredictor};
    auto strips = lzw ? writeCompressedStrips(*handle, plan) : writeStrips(*handle, plan);
    if (!strips)
        return unexpected(strips.error());
    if (!TIFFWriteDirectory(tif) || handle->messages().writeErrno != 0 || !handle->seekDescriptorToEnd())
        return unexpected(writeFailure(*handle));
    return {};
}

} // namespace tiff

Result<void, std::string> encodeTiff(int fd, const Image& image, const ImageProperties& properties)
{
    return tiff::encodeTiff(fd, image, properties, tiff::TiffEncodingOptions{});
}

} // namespace pelorin
