#include "engine/Services/ImageProcessor.h"

#include "engine/Extensions/ImageAlpha.h"
#include "engine/Extensions/ImageIO.h"

namespace pelorin {

Result<Image, AlphaCompositionError> ImageProcessor::composite(const Image& image, const Image& mask) const
{
    return withMaskAsAlpha(image, mask);
}

Result<Image, AlphaCompositionError> ImageProcessor::compositeReleasingSource(Image&& image, const Image& mask) const
{
    return withMaskAsAlphaReleasingSource(std::move(image), mask);
}

Result<void, ImageIOWriteError> ImageProcessor::save(const Image& image, const std::filesystem::path& url,
                                                     OutputFormat format,
                                                     const std::optional<ImageMetadata>& metadata) const
{
    return write(image, url, format, metadata);
}

} // namespace pelorin
