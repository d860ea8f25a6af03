#include "engine/Models/OutputFormat.h"

namespace pelorin::OutputFormats {

std::optional<OutputFormat> fromRawValue(std::string_view raw)
{
    if (raw == "png")
        return OutputFormat::png;
    if (raw == "tiff")
        return OutputFormat::tiff;
    return std::nullopt;
}

std::string_view rawValue(OutputFormat format)
{
    return format == OutputFormat::png ? "png" : "tiff";
}

std::string_view displayName(OutputFormat format)
{
    return format == OutputFormat::png ? "PNG" : "TIFF";
}

std::string_view fileExtension(OutputFormat format)
{
    return format == OutputFormat::png ? "png" : "tiff";
}

std::string_view utType(OutputFormat format)
{
    return format == OutputFormat::png ? "image/png" : "image/tiff";
}

} // namespace pelorin::OutputFormats
