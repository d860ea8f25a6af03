#include "engine/Imaging/Codecs/Bmp/BmpHeader.h"

#include "engine/Common/Units.h"

#include <algorithm>
#include <string>

namespace pelorin {

namespace {
using Kind = ImageSourceError::Kind;

constexpr uint32_t embeddedProfileTag = 0x4D424544; // 'MBED', the V5 colour-space type of a profile in the file

uint16_t u16(std::span<const uint8_t> b, size_t at)
{
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

uint32_t u32(std::span<const uint8_t> b, size_t at)
{
    return uint32_t{b[at]} | (uint32_t{b[at + 1]} << 8) | (uint32_t{b[at + 2]} << 16) | (uint32_t{b[at + 3]} << 24);
}

int32_t i32(std::span<const uint8_t> b, size_t at)
{
    return static_cast<int32_t>(u32(b, at));
}

Unexpected<ImageSourceError> corrupt(std::string message)
{
    return unexpected(ImageSourceError{Kind::corruptData, std::move(message)});
}

Unexpected<ImageSourceError> unsupported(std::string message)
{
    return unexpected(ImageSourceError{Kind::unsupported, std::move(message)});
}

std::optional<double> dpiFrom(int32_t pixelsPerMetre)
{
    if (pixelsPerMetre <= 0)
        return std::nullopt;
    return pixelsPerMetre * metresPerInch;
}
} // namespace

Result<BmpHeader, ImageSourceError> readBmpHeader(std::span<const uint8_t> file)
{
    constexpr size_t infoAt = BmpHeader::fileHeaderSize;
    if (file.size() < infoAt + 4 || file[0] != 'B' || file[1] != 'M')
        return corrupt("The BMP file is too short to hold its header.");

    BmpHeader header;
    header.infoHeaderSize = u32(file, infoAt);
    switch (header.infoHeaderSize) {
    case 12:
    case 40:
    case 56:
    case 108:
    case 124: break;
    case 16:
    case 52:
    case 64:
        return unsupported("This BMP header variant (" + std::to_string(header.infoHeaderSize)
                           + " bytes) is not supported.");
    default:
        return corrupt("The BMP file is damaged: its header size (" + std::to_string(header.infoHeaderSize)
                       + " bytes) is not one of a BMP header.");
    }
    const size_t headersEnd = infoAt + header.infoHeaderSize;
    if (file.size() < headersEnd)
        return corrupt("The BMP file is truncated inside its header.");

    const bool core = header.infoHeaderSize == 12;
    int64_t width = 0, height = 0;
    uint16_t planes = 0;
    uint32_t compression = 0, colorsUsed = 0;
    if (core) {
        width = u16(file, infoAt + 4);
        height = u16(file, infoAt + 6);
        planes = u16(file, infoAt + 8);
        header.bitsPerPixel = u16(file, infoAt + 10);
    } else {
        width = i32(file, infoAt + 4);
        height = i32(file, infoAt + 8);
        planes = u16(file, infoAt + 12);
        header.bitsPerPixel = u16(file, infoAt + 14);
        compression = u32(file, infoAt + 16);
        header.dpiX = dpiFrom(i32(file, infoAt + 24));
        header.dpiY = dpiFrom(i32(file, infoAt + 28));
        colorsUsed = u32(file, infoAt + 32);
    }
    if (planes != 1)
        return corrupt("The BMP file is damaged: it declares " + std::to_string(planes) + " planes.");
    if (width <= 0 || height == 0)
        return corrupt("The BMP image has no pixels (" + std::to_string(width) + " × " + std::to_string(height) + ").");
    header.width = static_cast<size_t>(width);
    header.topDown = height < 0;
    header.height = static_cast<size_t>(height < 0 ? -height : height);

    const uint16_t bpp = header.bitsPerPixel;
    const bool knownDepth = core ? (bpp == 1 || bpp == 4 || bpp == 8 || bpp == 24)
                                 : (bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32);
    if (!knownDepth)
        return unsupported("BMP images with " + std::to_string(bpp) + " bits per pixel are not supported.");

    switch (compression) {
    case 0: break;
    case 1:
    case 2:
        if (bpp != (compression == 1 ? 8 : 4))
            return corrupt("The BMP file is damaged: its run-length compression does not match its "
                           + std::to_string(bpp) + " bits per pixel.");
        break;
    case 3:
        if (bpp != 16 && bpp != 32)
            return corrupt("The BMP file is damaged: colour masks need 16 or 32 bits per pixel.");
        break;
    case 4: return unsupported("BMP files that embed a JPEG image are not supported.");
    case 5: return unsupported("BMP files that embed a PNG image are not supported.");
    case 6: return unsupported("BMP files with alpha colour masks (Windows CE) are not supported.");
    default: return corrupt("The BMP file is damaged: unknown compression " + std::to_string(compression) + ".");
    }
    header.compression = static_cast<BmpCompression>(compression);

    // The 40-byte header keeps its three colour masks right after it; later headers hold them.
    size_t dataStart = headersEnd;
    if (header.compression == BmpCompression::bitFields && header.infoHeaderSize == 40)
        dataStart += 12;
    if (file.size() < dataStart)
        return corrupt("The BMP file is truncated inside its colour masks.");
    if (header.infoHeaderSize >= 108 && (bpp == 16 || bpp == 32))
        header.alphaMask = u32(file, infoAt + 52);

    header.pixelOffset = u32(file, 10);
    if (header.pixelOffset < dataStart || header.pixelOffset > file.size())
        return corrupt("The BMP file is damaged: its pixel data offset (" + std::to_string(header.pixelOffset)
                       + ") lies outside the file.");

    if (header.isIndexed()) {
        header.paletteOffset = dataStart;
        header.paletteEntrySize = core ? 3 : 4;
        const size_t fullPalette = size_t{1} << bpp;
        const size_t declared = colorsUsed > 0 && colorsUsed < fullPalette ? colorsUsed : fullPalette;
        const size_t room = (header.pixelOffset - dataStart) / header.paletteEntrySize;
        header.paletteEntries = std::min(declared, room);
        if (header.paletteEntries == 0)
            return corrupt("The BMP file is damaged: its colour table is missing.");
    }

    if (header.infoHeaderSize == 124 && u32(file, infoAt + 56) == embeddedProfileTag) {
        // The profile's offset counts from the start of the info header.
        const size_t offset = infoAt + size_t{u32(file, infoAt + 112)};
        const size_t size = u32(file, infoAt + 116);
        if (size > 0 && offset <= file.size() && size <= file.size() - offset) {
            header.profileOffset = offset;
            header.profileSize = size;
        }
    }
    return header;
}

} // namespace pelorin
