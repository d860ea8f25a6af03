// ForegroundEstimator: the subject's own colour in a cutout's soft edge. A pixel with alpha a
// shows a·F + (1 − a)·B, so leaving the photo's colour there carries the old background B into
// every new composite as a fringe. Two passes of blur fusion estimate F and B, each from the
// alpha-weighted local means of the pass before (a wide pass to reach past the edge, a narrow one
// for local colour), and each pixel keeps what its observed colour says beyond those means.
// Every pass is a box filter on a coarse grid, so the cost is O(pixels).
//
// Only colour changes, and only where 0 < alpha < 1: alpha, and the colour of fully clear and
// fully opaque pixels, keep their stored values exactly.
//
// Thread-safety: stateless; rows are spread over the shared workers.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Imaging/Image.h"

#include <string>

namespace pelorin {

class ForegroundEstimator {
public:
    // `cutout`: straight RGBA, alpha last, 8-bit or 16-bit in either byte order (what compositing
    // produces). Returns a cutout of the same format, colour space and flags with estimated colour
    // in the soft band (the cutout itself when it has none). Fails with a sentence on other
    // layouts, short pixel data or lack of memory.
    Result<Image, std::string> estimate(const Image& cutout) const;
};

} // namespace pelorin
