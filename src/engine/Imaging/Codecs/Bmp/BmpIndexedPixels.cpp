#include "engine/Imaging/Codecs/Bmp/BmpIndexedPixels.h"

#include <algorithm>
#include <array>

namespace pelorin {

namespace {
using Kind = ImageSourceError::Kind;

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
};
using Palette = std::array<Rgb, 256>;

Palette readPalette(const BmpHeader& header, std::span<const uint8_t> file)
{
    Palette palette{}; // entries the file does not define stay black
    for (size_t i = 0; i < header.paletteEntries; ++i) {
        const uint8_t* entry = file.data() + header.paletteOffset + i * header.paletteEntrySize;
        palette[i] = {entry[2], entry[1], entry[0]}; // stored blue, green, red
    }
    return palette;
}

Unexpected<ImageSourceError> truncated()
{
    return unexpected(ImageSourceError{Kind::corruptData, "The BMP file is truncated: its pixel data ends early."});
}

// Places stored rows (bottom-up unless the file says top-down) into top-first output rows.
class Canvas {
public:
    Canvas(const BmpHeader& header, const Palette& palette, std::span<uint8_t> out)
        : header_(header),
          palette_(palette),
          out_(out)
    {
    }

    uint8_t* row(size_t storedRow) const
    {
        const size_t y = header_.topDown ? storedRow : header_.height - 1 - storedRow;
        return out_.data() + y * header_.width * 3;
    }
    static void put(uint8_t* row, size_t x, const Rgb& colour)
    {
        row[3 * x] = colour.r;
        row[3 * x + 1] = colour.g;
        row[3 * x + 2] = colour.b;
    }
    void put(uint8_t* row, size_t x, unsigned index) const { put(row, x, palette_[index]); }

private:
    const BmpHeader& header_;
    const Palette& palette_;
    std::span<uint8_t> out_;
};

Result<void, ImageSourceError> decodePlain(const BmpHeader& header, std::span<const uint8_t> file, const Canvas& canvas)
{
    const size_t rowBytes = header.storedRowBytes();
    if ((file.size() - header.pixelOffset) / rowBytes < header.height)
        return truncated();
    const unsigned bpp = header.bitsPerPixel;
    const unsigned perByte = 8 / bpp;
    const unsigned mask = (1u << bpp) - 1;
    for (size_t r = 0; r < header.height; ++r) {
        const uint8_t* src = file.data() + header.pixelOffset + r * rowBytes;
        uint8_t* dst = canvas.row(r);
        for (size_t x = 0; x < header.width; ++x) {
            const unsigned shift = 8 - bpp * (1 + x % perByte); // leftmost pixel in the high bits
            canvas.put(dst, x, (src[x / perByte] >> shift) & mask);
        }
    }
    return {};
}

// Runs of (count, index) pairs; a zero count escapes to end of row (0), end of image (1), a jump
// (2, dx, dy) or a literal run of n indices padded to an even byte count (n ≥ 3).
Result<void, ImageSourceError> decodeRunLength(const BmpHeader& header, std::span<const uint8_t> file,
                                               const Canvas& canvas, const Palette& palette)
{
    const bool fourBit = header.compression == BmpCompression::rle4;
    const size_t width = header.width;
    // Pixels the stream never reaches keep colour 0, as other readers show them.
    for (size_t r = 0; r < header.height; ++r) {
        uint8_t* dst = canvas.row(r);
        for (size_t x = 0; x < width; ++x)
            Canvas::put(dst, x, palette[0]);
    }

    // An index for pixel i of a run: both nibbles alternate in four-bit images.
    auto indexOf = [fourBit](uint8_t byte, size_t i) -> unsigned {
        if (!fourBit)
            return byte;
        return i % 2 == 0 ? byte >> 4 : byte & 0x0F;
    };

    size_t pos = header.pixelOffset;
    const size_t end = file.size();
    size_t x = 0, r = 0;
    while (r < header.height) {
        if (end - pos < 2)
            return truncated();
        const uint8_t count = file[pos];
        const uint8_t value = file[pos + 1];
        pos += 2;
        if (count > 0) {
            uint8_t* dst = canvas.row(r);
            const size_t n = std::min<size_t>(count, x < width ? width - x : 0);
            for (size_t i = 0; i < n; ++i)
                canvas.put(dst, x + i, indexOf(value, i));
            x += count;
            continue;
        }
        switch (value) {
        case 0: // end of row
            x = 0;
            ++r;
            break;
        case 1: // end of image
            return {};
        case 2: // jump right and up
            if (end - pos < 2)
                return truncated();
            x += file[pos];
            r += file[pos + 1];
            pos += 2;
            break;
        default: { // literal run
            const size_t n = value;
            const size_t bytes = fourBit ? (n + 1) / 2 : n;
            if (end - pos < bytes)
                return truncated();
            uint8_t* dst = canvas.row(r);
            for (size_t i = 0; i < n && x + i < width; ++i)
                canvas.put(dst, x + i, indexOf(file[pos + (fourBit ? i / 2 : i)], i));
            x += n;
            pos += std::min(bytes + bytes % 2, end - pos);
            break;
        }
        }
    }
    return {};
}
} // namespace

Result<void, ImageSourceError> decodeIndexedBmp(const BmpHeader& header, std::span<const uint8_t> file,
                                                std::span<uint8_t> out)
{
    if (!header.isIndexed() || out.size() / 3 / header.width < header.height)
        return unexpected(ImageSourceError{Kind::corruptData, "The BMP pixels do not fit their buffer."});
    const Palette palette = readPalette(header, file);
    const Canvas canvas(header, palette, out);
    switch (header.compression) {
    case BmpCompression::none: return decodePlain(header, file, canvas);
    case BmpCompression::rle8:
    case BmpCompression::rle4: return decodeRunLength(header, file, canvas, palette);
    case BmpCompression::bitFields: break;
    }
    return unexpected(
        ImageSourceError{Kind::corruptData, "The BMP file is damaged: colour masks on an indexed image."});
}

} // namespace pelorin
