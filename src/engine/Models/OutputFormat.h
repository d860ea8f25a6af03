// OutputFormat: the encoding of a cutout file. Mask sidecars are always PNG whatever the format.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace pelorin {

enum class OutputFormat { png, tiff };

namespace OutputFormats {
inline constexpr std::array<OutputFormat, 2> allCases = {OutputFormat::png, OutputFormat::tiff};

// Exactly "png" or "tiff" (case-sensitive); anything else yields no format.
std::optional<OutputFormat> fromRawValue(std::string_view raw);
std::string_view rawValue(OutputFormat format);
// Fixed, untranslated label: "PNG", "TIFF".
std::string_view displayName(OutputFormat format);
// Extension of cutout files, without the dot.
std::string_view fileExtension(OutputFormat format);
// The platform's type for the format, which selects the encoder: "image/png", "image/tiff".
std::string_view utType(OutputFormat format);
} // namespace OutputFormats

} // namespace pelorin
