#include "engine/Imaging/Codecs/Tiff/TiffRgbaReader.h"

#include <bit>
#include <string>

namespace pelorin::tiff {

Result<void, ImageSourceError> readTiffRgba(TiffHandle& handle, const TiffLayout& layout, std::span<uint8_t> output)
{
    using Kind = ImageSourceError::Kind;
    if (output.size() < size_t{layout.width} * layout.height * 4)
        return unexpected(ImageSourceError{Kind::outOfMemory, "The TIFF image's pixel buffer is too small."});
    char reason[1024] = {};
    TIFFRGBAImage image{};
    if (!TIFFRGBAImageBegin(&image, handle.get(), /*stoponerr*/ 1, reason))
        return unexpected(
            ImageSourceError{Kind::unsupported, std::string("This TIFF image cannot be decoded (") + reason + ")."});
    // Asking for the file's own orientation turns off the interface's flipping.
    image.req_orientation = image.orientation;
    auto* raster = reinterpret_cast<uint32_t*>(output.data());
    const int ok = TIFFRGBAImageGet(&image, raster, layout.width, layout.height);
    TIFFRGBAImageEnd(&image);
    if (!ok)
        return unexpected(ImageSourceError{
            Kind::corruptData, "The TIFF image data is damaged or truncated (" + handle.failureText() + ")."});
    // Pixels come packed as A<<24 | B<<16 | G<<8 | R, which is R, G, B, A in little-endian memory.
    if constexpr (std::endian::native == std::endian::big)
        for (size_t i = 0, n = size_t{layout.width} * layout.height; i < n; ++i)
            raster[i] = __builtin_bswap32(raster[i]);
    return {};
}

} // namespace pelorin::tiff
