// ImageProcessor: the stateless ImageProcessing implementation over the image operations.
// Safe to call from any number of threads at once.
#pragma once

#include "engine/Services/ImageProcessing.h"

namespace pelorin {

class ImageProcessor final : public ImageProcessing {
public:
    ImageProcessor() = default;
    Result<Image, AlphaCompositionError> composite(const Image& image, const Image& mask) const override;
    Result<Image, AlphaCompositionError> compositeReleasingSource(Image&& image, const Image& mask) const override;
    Result<void, ImageIOWriteError> save(const Image& image, const std::filesystem::path& url, OutputFormat format,
                                         const std::optional<ImageMetadata>& metadata) const override;
};

} // namespace pelorin
