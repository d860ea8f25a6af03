// Bit layout of an image's bitmap info word: alpha info in the low five bits, a float flag, and
// a byte-order field. The numbers are fixed so that every value a caller sees means one thing.
#pragma once

#include <cstdint>

namespace pelorin {

enum class AlphaInfo : uint32_t {
    none = 0,               // no alpha component
    premultipliedLast = 1,  // RGBA, colour premultiplied by alpha
    premultipliedFirst = 2, // ARGB, premultiplied
    last = 3,               // RGBA, straight alpha
    first = 4,              // ARGB, straight alpha
    noneSkipLast = 5,       // RGBX
    noneSkipFirst = 6,      // XRGB
    only = 7,               // a lone alpha component
};

namespace BitmapInfo {
inline constexpr uint32_t alphaInfoMask = 0x1F;
inline constexpr uint32_t floatComponents = 0x100;
inline constexpr uint32_t byteOrderMask = 0x7000;
inline constexpr uint32_t byteOrderDefault = 0;
inline constexpr uint32_t byteOrder16Little = 0x1000;
inline constexpr uint32_t byteOrder32Little = 0x2000;
inline constexpr uint32_t byteOrder16Big = 0x3000;
inline constexpr uint32_t byteOrder32Big = 0x4000;

constexpr uint32_t make(AlphaInfo alpha, uint32_t flags = 0)
{
    return static_cast<uint32_t>(alpha) | flags;
}
constexpr uint32_t alphaInfoValue(uint32_t info)
{
    return info & alphaInfoMask;
}
constexpr bool hasFloatComponents(uint32_t info)
{
    return (info & floatComponents) != 0;
}
constexpr uint32_t byteOrder(uint32_t info)
{
    return info & byteOrderMask;
}

// 16-bit components are little-endian unless the byte-order field says 16-bit big-endian; the
// default order counts as little-endian, the order of every machine we run on.
constexpr bool is16BitBigEndian(uint32_t info)
{
    return byteOrder(info) == byteOrder16Big;
}
} // namespace BitmapInfo

enum class RenderingIntent : uint8_t {
    defaultIntent,
    absoluteColorimetric,
    relativeColorimetric,
    perceptual,
    saturation,
};

} // namespace pelorin
