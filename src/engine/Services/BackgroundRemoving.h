// BackgroundRemoving: how the batch processor obtains a subject mask. An interface, so a test
// double or another segmentation component can take BackgroundRemover's place.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Imaging/Image.h"
#include "engine/Services/BackgroundRemoverError.h"

namespace pelorin {

class BackgroundRemoving {
public:
    virtual ~BackgroundRemoving() = default;
    // A mask of every foreground subject of `image`, at the image's width and height: 8-bit grey,
    // 255 for subject, 0 for background, soft values along edges. Blocks the calling thread until
    // the mask is ready; implementations may be called from several threads at once.
    virtual Result<Image, BackgroundRemoverError> generateMask(const Image& image) const = 0;
};

} // namespace pelorin
