#include "engine/Services/BackgroundRemoverError.h"

namespace pelorin {

std::string BackgroundRemoverError::description() const
{
    switch (kind_) {
    case Kind::maskGenerationFailed: return "Failed to generate a mask from the detected subject: " + text_;
    case Kind::cgImageConversionFailed: return "Failed to convert mask pixel buffer to CGImage: " + text_;
    case Kind::visionRequestFailed: return "Vision request failed: " + text_;
    case Kind::noSubjectFound: break;
    }
    return "No foreground subject was detected in the image.";
}

} // namespace pelorin
