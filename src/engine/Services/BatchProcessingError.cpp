#include "engine/Services/BatchProcessingError.h"

#include "engine/Common/Localization.h"

namespace pelorin {

std::string BatchProcessingError::errorDescription() const
{
    const std::string fileName = url_.filename().string();
    switch (kind_) {
    case Kind::sourceImageUnreadable:
        return localized("batch.error.sourceUnreadable", "Could not read source image at %1.", {fileName});
    case Kind::maskGenerationFailed:
        return localized("batch.error.maskFailed", "Background mask generation failed: %1", {reason_});
    case Kind::compositeFailed:
        return localized("batch.error.compositeFailed", "Image composite failed: %1", {reason_});
    case Kind::writeFailed: return localized("batch.error.writeFailed", "Failed to write %1: %2", {fileName, reason_});
    case Kind::unsupportedOutputFormat:
        return localized("batch.error.unsupportedFormat", "Output format %1 is not supported in this build.",
                         {std::string(OutputFormats::displayName(format_))});
    }
    return {};
}

} // namespace pelorin
