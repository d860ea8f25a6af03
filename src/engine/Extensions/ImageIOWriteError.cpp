#include "engine/Extensions/ImageIOWriteError.h"

namespace pelorin {

std::string ImageIOWriteError::description() const
{
    struct Describe {
        std::string operator()(const UnsupportedFormat& e) const
        {
            return "Output format " + std::string(OutputFormats::displayName(e.format))
                + " is not implemented in this build.";
        }
        std::string operator()(const DestinationCreationFailed& e) const
        {
            return "Could not create an image destination for " + e.filename + ".";
        }
        std::string operator()(const FinalizeFailed& e) const
        {
            return "Failed to finalize image data for " + e.filename + ".";
        }
        std::string operator()(const MissingColorSpace&) const
        {
            return "Cannot save an image without a color space; ICC profile would be lost.";
        }
    };
    return std::visit(Describe{}, case_);
}

} // namespace pelorin
