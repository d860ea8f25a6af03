// ImageProcessing: how the batch processor composites a cutout and saves an image. An interface,
// so a test can put a double in its place; ImageProcessor is the one real implementation.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Extensions/AlphaCompositionError.h"
#include "engine/Extensions/ImageIOWriteError.h"
#include "engine/Extensions/ImageMetadata.h"
#include "engine/Imaging/Image.h"
#include "engine/Models/OutputFormat.h"

#include <filesystem>
#include <optional>

namespace pelorin {

class ImageProcessing {
public:
    virtual ~ImageProcessing() = default;
    // The source's colour data with the mask as its alpha channel.
    virtual Result<Image, AlphaCompositionError> composite(const Image& image, const Image& mask) const = 0;
    // The same, for a caller done with `image`: its pixels may be freed while the cutout is made.
    virtual Result<Image, AlphaCompositionError> compositeReleasingSource(Image&& image, const Image& mask) const
    {
        return composite(image, mask);
    }
    // Writes `image` to `url` in `format`, carrying `metadata` when given.
    virtual Result<void, ImageIOWriteError> save(const Image& image, const std::filesystem::path& url,
                                                 OutputFormat format,
                                                 const std::optional<ImageMetadata>& metadata) const = 0;
};

} // namespace pelorin
