#include "engine/Imaging/ImageLimits.h"

namespace pelorin {

std::optional<ImageSourceError> checkImageDimensions(size_t width, size_t height)
{
    using Kind = ImageSourceError::Kind;
    if (width == 0 || height == 0)
        return ImageSourceError{Kind::corruptData,
                                "The image has no pixels (" + std::to_string(width) + " × " + std::to_string(height)
                                    + ")."};
    if (width > maxImageDimension || height > maxImageDimension || width * height > maxImagePixelCount)
        return ImageSourceError{Kind::tooLarge,
                                "The image is too large (" + std::to_string(width) + " × " + std::to_string(height)
                                    + " pixels; the limit is " + std::to_string(maxImageDimension)
                                    + " pixels per side and " + std::to_string(maxImagePixelCount / 1'000'000)
                                    + " megapixels)."};
    return std::nullopt;
}

} // namespace pelorin
