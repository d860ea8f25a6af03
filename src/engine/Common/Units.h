// Units: the length conversions every codec shares, so that a resolution read in one format and
// written in another goes through the same numbers.
#pragma once

namespace pelorin {

inline constexpr double metresPerInch = 0.0254;
inline constexpr double centimetresPerInch = 2.54;

} // namespace pelorin
