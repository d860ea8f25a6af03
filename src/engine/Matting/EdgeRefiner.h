// EdgeRefiner: refines a subject mask at the photo's own resolution so its edge follows the photo.
// The model sees the photo at 1024 × 1024, so on a large photo the mask's edge is an upscaled,
// blurred one. A guided filter (the photo as guide, the mask as input) fits the mask locally as a
// linear function of the photo's colour: where the photo has an edge, the mask gets one; where a
// strand of hair differs from its background, it gets partial opacity. The filter's coefficients
// are computed on a grid about as coarse as the model's (each cell averages `cell` × `cell`
// pixels) and applied to every full-resolution pixel, so the cost is O(pixels) and the detail
// comes from the photo itself.
//
// Only the band near the boundary changes: pixels more than `reach` cells from any cell with a
// soft value or both clear and opaque pixels keep their value, so a mask with no soft or mixed
// region comes back unchanged.
//
// Thread-safety: const and stateless after construction; rows are spread over the shared workers.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Imaging/Image.h"

#include <cstddef>
#include <string>

namespace pelorin {

struct EdgeRefinementParameters {
    // Filter window radius in grid cells.
    size_t radius = 16;
    // How far from the mask's own soft or mixed cells, in cells, the mask may change: hair
    // reaches a little past the model's edge, but farther out the filter only adds haze.
    size_t reach = 4;
    // Regulariser on the photo's local colour variance (values on the 0–1 scale): larger keeps the
    // mask's own edge where the photo's contrast is low.
    float epsilon = 1e-3f;
    // Filtered values within this distance of clear or opaque become clear or opaque (the rest
    // are stretched to fill 0–1): the linear model leaves a faint haze over background that merely
    // resembles the subject, which foreground estimation would then paint in the subject's colour.
    float snap = 0.06f;
    // The grid has at most about this many cells along the photo's longer side. A photo no
    // longer than this is left as it is: the model saw it at its own resolution or finer, so its
    // mask already has the photo's edges (refining such masks measured slightly worse).
    size_t gridSize = 1024;
};

class EdgeRefiner {
public:
    explicit EdgeRefiner(EdgeRefinementParameters parameters = {}) : parameters_(parameters) {}

    // `photo`: 8- or 16-bit grey or RGB in any layout the row normaliser reads (16-bit photos are
    // read at 16 bits); `mask`: an 8-bit one-component plane of the photo's size. Returns the
    // refined mask as an 8-bit linear grey image of that size, rows packed (the mask itself when
    // nothing is near a boundary). Fails with a sentence on formats it cannot read, mismatched
    // sizes, short pixel data or lack of memory.
    Result<Image, std::string> refine(const Image& photo, const Image& mask) const;

    const EdgeRefinementParameters& parameters() const { return parameters_; }

private:
    EdgeRefinementParameters parameters_;
};

} // namespace pelorin
