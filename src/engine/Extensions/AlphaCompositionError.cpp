#include "engine/Extensions/AlphaCompositionError.h"

namespace pelorin {

namespace {

struct Describe {
    std::string operator()(const AlphaCompositionError::UnsupportedPixelFormat& e) const
    {
        return "Unsupported pixel format (bitsPerComponent=" + std::to_string(e.bitsPerComponent)
            + ", bitsPerPixel=" + std::to_string(e.bitsPerPixel) + ", alphaInfo=" + std::to_string(e.alphaInfo) + ").";
    }
    std::string operator()(const AlphaCompositionError::InvalidImageDimensions& e) const
    {
        return "Invalid image dimensions (width=" + std::to_string(e.width) + ", height=" + std::to_string(e.height)
            + ").";
    }
    std::string operator()(const AlphaCompositionError::TruncatedPixelData& e) const
    {
        return "Source pixel data is truncated (expected " + std::to_string(e.expected) + " bytes, got "
            + std::to_string(e.actual) + ").";
    }
    std::string operator()(const AlphaCompositionError::UnreadablePixelData&) const
    {
        return "Source image pixel data could not be read.";
    }
    std::string operator()(const AlphaCompositionError::UnsupportedFloatPixelFormat&) const
    {
        return "Floating-point pixel formats are not supported in Pelorin v1.0.";
    }
    std::string operator()(const AlphaCompositionError::MissingColorSpace&) const
    {
        return "Source image has no color space; refusing to fabricate one.";
    }
    std::string operator()(const AlphaCompositionError::MaskScalingFailed&) const
    {
        return "Failed to scale the mask to the source image resolution.";
    }
    std::string operator()(const AlphaCompositionError::OutputAllocationFailed&) const
    {
        return "Failed to allocate the output bitmap.";
    }
};

} // namespace

std::string AlphaCompositionError::description() const
{
    return std::visit(Describe{}, case_);
}

} // namespace pelorin
