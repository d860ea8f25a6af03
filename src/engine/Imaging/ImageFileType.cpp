#include "engine/Imaging/ImageFileType.h"

#include <algorithm>
#include <array>

namespace pelorin {

namespace {
bool startsWith(std::span<const uint8_t> bytes, std::string_view magic, size_t offset = 0)
{
    if (bytes.size() < offset + magic.size())
        return false;
    return std::equal(magic.begin(), magic.end(), bytes.begin() + offset,
                      [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
}

// ISO-BMFF: 'ftyp' box whose major or compatible brands name a HEIF image brand.
bool isHeif(std::span<const uint8_t> bytes)
{
    if (!startsWith(bytes, "ftyp", 4))
        return false;
    const size_t boxSize = (size_t{bytes[0]} << 24) | (size_t{bytes[1]} << 16) | (size_t{bytes[2]} << 8) | bytes[3];
    const size_t end = std::min(bytes.size(), std::max<size_t>(boxSize, 16));
    static constexpr std::array<std::string_view, 9> brands = {"heic", "heix", "heim", "heis", "hevc",
                                                               "hevx", "mif1", "msf1", "avif"};
    for (size_t offset = 8; offset + 4 <= end; offset += 4) {
        if (offset == 12)
            continue; // minor version
        for (auto brand : brands)
            if (startsWith(bytes, brand, offset))
                return brand != "avif" || offset == 8;
    }
    return false;
}
} // namespace

std::optional<ImageFileType> detectImageFileType(std::span<const uint8_t> bytes)
{
    if (startsWith(bytes, "\x89PNG\r\n\x1a\n"))
        return ImageFileType::png;
    if (startsWith(bytes, "\xFF\xD8\xFF"))
        return ImageFileType::jpeg;
    if (startsWith(bytes, std::string_view("II*\0", 4)) || startsWith(bytes, std::string_view("MM\0*", 4)))
        return ImageFileType::tiff;
    if (startsWith(bytes, "RIFF") && startsWith(bytes, "WEBP", 8))
        return ImageFileType::webp;
    if (startsWith(bytes, "BM"))
        return ImageFileType::bmp;
    if (isHeif(bytes))
        return ImageFileType::heif;
    return std::nullopt;
}

} // namespace pelorin
