#include "engine/Imaging/Codecs/Tiff/TiffPixelReader.h"

#include "engine/Common/ParallelFor.h"
#include "engine/Imaging/DataProvider.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pelorin::tiff {

namespace {
using Kind = ImageSourceError::Kind;

// Tiles beyond this are forged: no writer makes them, and we would have to allocate them whole.
constexpr uint64_t maxTileBytes = uint64_t{1} << 28;

ImageSourceError damaged(const TiffHandle& handle, const std::string& where)
{
    return {Kind::corruptData,
            "The TIFF image data is damaged or truncated (" + where + ": " + handle.failureText() + ")."};
}

// Where the bands of rows are and how one stored row of one plane looks.
struct Geometry {
    uint32_t bandHeight = 0; // rows per strip, or tile length
    uint32_t tileWidth = 0;  // 0 for strips
    uint32_t tileLength = 0;
    uint64_t tileBytes = 0;
    uint64_t tileRowBytes = 0;
    uint32_t stripsPerPlane = 0;
    size_t bandCount = 0;
    size_t planes = 1;         // planes read: 1 when chunky
    size_t samplesInPlane = 1; // samples per pixel of one plane row
    size_t planeRowBytes = 0;
};

Result<Geometry, ImageSourceError> geometryOf(TIFF* tif, const TiffLayout& layout)
{
    Geometry g;
    g.planes = layout.planarSeparate ? layout.sourceSamplesUsed() : 1;
    g.samplesInPlane = layout.planarSeparate ? 1 : layout.samplesPerPixel;
    const uint64_t rowBits = uint64_t{layout.width} * g.samplesInPlane * layout.bitsPerSample;
    g.planeRowBytes = static_cast<size_t>((rowBits + 7) / 8);
    if (static_cast<uint64_t>(TIFFScanlineSize64(tif)) != g.planeRowBytes)
        return unexpected(
            ImageSourceError{Kind::unsupported, "The TIFF image's rows are laid out in a way Pelorin does not read."});

    if (layout.tiled) {
        if (!TIFFGetField(tif, TIFFTAG_TILEWIDTH, &g.tileWidth) || !TIFFGetField(tif, TIFFTAG_TILELENGTH, &g.tileLength)
            || g.tileWidth == 0 || g.tileLength == 0)
            return unexpected(ImageSourceError{Kind::corruptData, "The TIFF file's tiles have no size."});
        g.tileBytes = TIFFTileSize64(tif);
        g.tileRowBytes = TIFFTileRowSize64(tif);
        if (g.tileBytes == 0 || g.tileBytes > maxTileBytes || g.tileRowBytes * g.tileLength > g.tileBytes)
            return unexpected(ImageSourceError{Kind::corruptData, "The TIFF file's tiles are implausibly large."});
        // Tile columns must start on a byte, or packed samples would straddle tiles.
        if ((uint64_t{g.tileWidth} * g.samplesInPlane * layout.bitsPerSample) % 8 != 0)
            return unexpected(ImageSourceError{Kind::unsupported, "The TIFF image's tiles are not byte-aligned."});
        g.bandHeight = g.tileLength;
    } else {
        uint32_t rowsPerStrip = 0;
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
        if (rowsPerStrip == 0)
            return unexpected(ImageSourceError{Kind::corruptData, "The TIFF file's strips hold no rows."});
        g.bandHeight = rowsPerStrip;
    }
    g.bandHeight = std::min(g.bandHeight, layout.height);
    g.bandCount = (size_t{layout.height} + g.bandHeight - 1) / g.bandHeight;
    if (!layout.tiled) {
        g.stripsPerPlane = static_cast<uint32_t>(g.bandCount);
        const uint64_t needed = uint64_t{g.stripsPerPlane} * (layout.planarSeparate ? layout.samplesPerPixel : 1);
        if (TIFFNumberOfStrips(tif) < needed)
            return unexpected(
                ImageSourceError{Kind::corruptData, "The TIFF file lists fewer strips than its image needs."});
    }
    return g;
}

// Turns stored rows (one per plane) into output rows.
class RowConverter {
public:
    RowConverter(TIFF* tif, const TiffLayout& layout, const Geometry& geometry) : layout_(layout), geometry_(geometry)
    {
        const uint16_t bits = layout.bitsPerSample;
        if (bits < 8) {
            const unsigned max = (1u << bits) - 1;
            for (unsigned v = 0; v <= max; ++v) {
                const auto scaled = static_cast<uint8_t>((v * 255 + max / 2) / max);
                colorLut_[v] = layout.minIsWhite ? static_cast<uint8_t>(255 - scaled) : scaled;
                alphaLut_[v] = scaled;
            }
            unpacked_.resize(geometry.planes);
            for (auto& plane : unpacked_)
                plane.resize(size_t{layout.width} * geometry.samplesInPlane);
        }
        if (layout.kind == TiffLayout::Kind::palette)
            loadColormap(tif);
    }

    bool valid() const { return layout_.kind != TiffLayout::Kind::palette || colormap_[0] != nullptr; }

    void convert(const uint8_t* const* planeRows, uint8_t* out)
    {
        if (layout_.bitsPerSample < 8) {
            const size_t count = size_t{layout_.width} * geometry_.samplesInPlane;
            for (size_t p = 0; p < geometry_.planes; ++p) {
                unpack(planeRows[p], count, unpacked_[p].data());
                unpackedRows_[p] = unpacked_[p].data();
            }
            planeRows = unpackedRows_.data();
        }
        if (layout_.kind == TiffLayout::Kind::palette)
            return expandPalette(planeRows, out);
        switch (layout_.bitsPerSample) {
        case 16:
            return gather(reinterpret_cast<const uint16_t* const*>(planeRows), reinterpret_cast<uint16_t*>(out),
                          [this](size_t k, uint16_t v) { return invertsComponent(k) ? uint16_t(65535 - v) : v; });
        case 32:
            return gather(reinterpret_cast<const float* const*>(planeRows), reinterpret_cast<float*>(out),
                          [this](size_t k, float v) { return invertsComponent(k) ? 1.0f - v : v; });
        case 8:
            return gather(planeRows, out,
                          [this](size_t k, uint8_t v) { return invertsComponent(k) ? uint8_t(255 - v) : v; });
        default: // unpacked 1, 2 or 4-bit values
            return gather(planeRows, out, [this](size_t k, uint8_t v) {
                return k < layout_.colorComponents ? colorLut_[v] : alphaLut_[v];
            });
        }
    }

private:
    bool invertsComponent(size_t k) const { return layout_.minIsWhite && k == 0; }

    void unpack(const uint8_t* row, size_t count, uint8_t* out) const
    {
        const unsigned bits = layout_.bitsPerSample;
        const unsigned mask = (1u << bits) - 1;
        for (size_t i = 0; i < count; ++i) {
            const size_t bit = i * bits;
            out[i] = static_cast<uint8_t>((row[bit >> 3] >> (8 - bits - (bit & 7))) & mask);
        }
    }

    template <typename T, typename Map>
    void gather(const T* const* rows, T* out, Map map) const
    {
        const size_t width = layout_.width;
        const size_t components = layout_.outputComponents;
        if (!layout_.planarSeparate && geometry_.samplesInPlane == components && !layout_.minIsWhite
            && layout_.bitsPerSample >= 8) {
            std::memcpy(out, rows[0], width * components * sizeof(T));
            return;
        }
        const size_t stride = geometry_.samplesInPlane;
        for (size_t x = 0; x < width; ++x)
            for (size_t k = 0; k < components; ++k) {
                const T v = layout_.planarSeparate ? rows[k][x] : rows[0][x * stride + k];
                out[x * components + k] = map(k, v);
            }
    }

    // Sample k of pixel x, as stored (after unpacking).
    unsigned sample(const uint8_t* const* rows, size_t x, size_t k) const
    {
        const size_t plane = layout_.planarSeparate ? k : 0;
        const size_t index = layout_.planarSeparate ? x : x * geometry_.samplesInPlane + k;
        if (layout_.bitsPerSample == 16)
            return reinterpret_cast<const uint16_t*>(rows[plane])[index];
        return rows[plane][index];
    }

    void expandPalette(const uint8_t* const* rows, uint8_t* out) const
    {
        const bool alpha = layout_.outputComponents == 4;
        const uint16_t bits = layout_.bitsPerSample;
        for (size_t x = 0; x < layout_.width; ++x, out += layout_.outputComponents) {
            const unsigned index = sample(rows, x, 0); // below 2^bits, the colour map's length
            for (size_t c = 0; c < 3; ++c)
                out[c] = colormapValue(colormap_[c][index]);
            if (alpha) {
                const unsigned a = sample(rows, x, 1);
                out[3] = bits < 8 ? alphaLut_[a]
                    : bits == 16  ? static_cast<uint8_t>((a * 255 + 32767) / 65535)
                                  : static_cast<uint8_t>(a);
            }
        }
    }

    uint8_t colormapValue(uint16_t v) const
    {
        return eightBitColormap_ ? static_cast<uint8_t>(v) : static_cast<uint8_t>((v * 255u + 32767) / 65535);
    }

    void loadColormap(TIFF* tif)
    {
        uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
        if (!TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b) || !r || !g || !b)
            return;
        colormap_ = {r, g, b};
        // Some writers store 8-bit values in the 16-bit map; no proper map stays below 256.
        const size_t entries = size_t{1} << layout_.bitsPerSample;
        eightBitColormap_ = true;
        for (size_t i = 0; i < entries && eightBitColormap_; ++i)
            eightBitColormap_ = r[i] < 256 && g[i] < 256 && b[i] < 256;
    }

    const TiffLayout& layout_;
    const Geometry& geometry_;
    std::array<uint8_t, 16> colorLut_{};
    std::array<uint8_t, 16> alphaLut_{};
    std::vector<std::vector<uint8_t>> unpacked_;
    std::array<const uint8_t*, 4> unpackedRows_{};
    std::array<const uint16_t*, 3> colormap_{};
    bool eightBitColormap_ = false;
};

// Decodes a run of bands with one handle.
class BandDecoder {
public:
    BandDecoder(TiffHandle& handle, const TiffLayout& layout, const Geometry& geometry)
        : handle_(handle),
          layout_(layout),
          geometry_(geometry),
          converter_(handle.get(), layout, geometry)
    {
    }

    Result<void, ImageSourceError> decode(size_t firstBand, size_t endBand, std::span<uint8_t> output,
                                          const std::atomic<bool>& cancelled)
    {
        if (!converter_.valid())
            return unexpected(ImageSourceError{Kind::corruptData, "The TIFF file's palette image has no colour map."});
        const size_t bandBytes = size_t{geometry_.bandHeight} * geometry_.planeRowBytes;
        std::array<PixelBlock, 4> planes;
        for (size_t p = 0; p < geometry_.planes; ++p) {
            planes[p] = PixelBlock::allocate(bandBytes);
            if (planes[p].empty())
                return unexpected(outOfMemory());
        }
        PixelBlock tile;
        if (layout_.tiled && (tile = PixelBlock::allocate(geometry_.tileBytes)).empty())
            return unexpected(outOfMemory());

        const size_t outputRowBytes = layout_.outputBytesPerRow();
        std::array<const uint8_t*, 4> rows{};
        for (size_t band = firstBand; band < endBand && !cancelled; ++band) {
            const uint32_t y0 = static_cast<uint32_t>(band * geometry_.bandHeight);
            const uint32_t count = std::min(geometry_.bandHeight, layout_.height - y0);
            for (size_t p = 0; p < geometry_.planes; ++p) {
                auto read = layout_.tiled
                    ? readTileRow(y0, count, static_cast<uint16_t>(p), planes[p].data(), tile.data())
                    : readStrip(band, count, p, planes[p].data());
                if (!read)
                    return read;
            }
            for (uint32_t r = 0; r < count; ++r) {
                for (size_t p = 0; p < geometry_.planes; ++p)
                    rows[p] = planes[p].data() + r * geometry_.planeRowBytes;
                converter_.convert(rows.data(), output.data() + (size_t{y0} + r) * outputRowBytes);
            }
        }
        return {};
    }

private:
    static ImageSourceError outOfMemory() { return {Kind::outOfMemory, "Not enough memory to decode the TIFF image."}; }

    Result<void, ImageSourceError> readStrip(size_t band, uint32_t rows, size_t plane, uint8_t* buffer)
    {
        const auto strip = static_cast<uint32_t>(plane * geometry_.stripsPerPlane + band);
        const auto wanted = static_cast<tmsize_t>(rows * geometry_.planeRowBytes);
        if (TIFFReadEncodedStrip(handle_.get(), strip, buffer, wanted) != wanted)
            return unexpected(damaged(handle_, "strip " + std::to_string(strip)));
        return {};
    }

    // Gathers one row of tiles into band rows of the full image width.
    Result<void, ImageSourceError> readTileRow(uint32_t y0, uint32_t rows, uint16_t plane, uint8_t* band, uint8_t* tile)
    {
        const uint64_t bitsPerPixel = uint64_t{geometry_.samplesInPlane} * layout_.bitsPerSample;
        for (uint32_t x0 = 0; x0 < layout_.width; x0 += geometry_.tileWidth) {
            const uint32_t index = TIFFComputeTile(handle_.get(), x0, y0, 0, plane);
            const auto wanted = static_cast<tmsize_t>(geometry_.tileBytes);
            if (TIFFReadEncodedTile(handle_.get(), index, tile, wanted) != wanted)
                return unexpected(damaged(handle_, "tile " + std::to_string(index)));
            const size_t offset = static_cast<size_t>(x0 * bitsPerPixel / 8);
            const size_t length = std::min<size_t>(geometry_.tileRowBytes, geometry_.planeRowBytes - offset);
            for (uint32_t r = 0; r < rows; ++r)
                std::memcpy(band + r * geometry_.planeRowBytes + offset, tile + r * geometry_.tileRowBytes, length);
            if (geometry_.tileWidth >= layout_.width - x0)
                break;
        }
        return {};
    }

    TiffHandle& handle_;
    const TiffLayout& layout_;
    const Geometry& geometry_;
    RowConverter converter_;
};
} // namespace

Result<void, ImageSourceError> readTiffPixels(TiffHandle& first, std::span<const uint8_t> file,
                                              const TiffLayout& layout, std::span<uint8_t> output)
{
    auto geometry = geometryOf(first.get(), layout);
    if (!geometry)
        return unexpected(geometry.error());
    if (output.size() < size_t{layout.height} * layout.outputBytesPerRow())
        return unexpected(ImageSourceError{Kind::outOfMemory, "The TIFF image's pixel buffer is too small."});

    std::mutex mutex;
    std::optional<ImageSourceError> failure;
    std::atomic<bool> failed{false};
    parallelFor(geometry->bandCount, [&](size_t begin, size_t end) {
        // The chunk that starts at band 0 runs exactly once, so it may use the caller's handle.
        std::unique_ptr<TiffHandle> own;
        TiffHandle* handle = &first;
        if (begin != 0) {
            own = TiffHandle::openMemory(file);
            if (!own->valid()) {
                std::lock_guard lock(mutex);
                failure = failure.value_or(damaged(*own, "reopening the file"));
                failed = true;
                return;
            }
            prepareTiffForDecoding(own->get());
            handle = own.get();
        }
        auto decoded = BandDecoder(*handle, layout, *geometry).decode(begin, end, output, failed);
        if (!decoded) {
            std::lock_guard lock(mutex);
            if (!failure || begin == 0)
                failure = decoded.error();
            failed = true;
        }
    });
    if (failure)
        return unexpected(*failure);
    return {};
}

} // namespace pelorin::tiff
