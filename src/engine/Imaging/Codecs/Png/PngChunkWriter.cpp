#include "engine/Imaging/Codecs/Png/PngChunkWriter.h"

#include <zlib.h>

#include <array>

namespace pelorin::png {

namespace {
void storeBigEndian32(uint8_t* p, uint32_t value)
{
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}
} // namespace

bool writePngChunk(PngFileSink& sink, std::string_view type, std::span<const uint8_t> data)
{
    std::array<uint8_t, 8> head{};
    storeBigEndian32(head.data(), static_cast<uint32_t>(data.size()));
    for (size_t i = 0; i < 4; ++i)
        head[4 + i] = static_cast<uint8_t>(type[i]);
    uLong crc = crc32(0, head.data() + 4, 4);
    if (!data.empty())
        crc = crc32(crc, data.data(), static_cast<uInt>(data.size()));
    std::array<uint8_t, 4> tail{};
    storeBigEndian32(tail.data(), static_cast<uint32_t>(crc));
    return sink.write(head) && sink.write(data) && sink.write(tail);
}

} // namespace pelorin::png
