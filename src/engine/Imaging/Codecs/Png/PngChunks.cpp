#include "engine/Imaging/Codecs/Png/PngChunks.h"

#include <zlib.h>

#include <algorithm>

namespace pelorin::png {

namespace {
constexpr size_t signatureSize = 8;

uint32_t loadBigEndian32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
} // namespace

std::optional<std::span<const uint8_t>> findPngChunk(std::span<const uint8_t> file, std::string_view type)
{
    if (type.size() != 4)
        return std::nullopt;
    size_t offset = signatureSize;
    while (file.size() >= offset && file.size() - offset >= 12) {
        const uint32_t length = loadBigEndian32(file.data() + offset);
        if (length > 0x7FFFFFFFu || file.size() - offset - 12 < length)
            return std::nullopt; // damaged or truncated: nothing further can be trusted
        const uint8_t* name = file.data() + offset + 4;
        const std::string_view chunkType(reinterpret_cast<const char*>(name), 4);
        if (chunkType == "IEND")
            return std::nullopt;
        if (chunkType == type) {
            const uint32_t stored = loadBigEndian32(name + 4 + length);
            // zlib's crc32 takes a 32-bit length; chunk lengths are below 2^31.
            if (crc32(crc32(0, nullptr, 0), name, length + 4) == stored)
                return file.subspan(offset + 8, length);
        }
        offset += size_t{12} + length;
    }
    return std::nullopt;
}

} // namespace pelorin::png
