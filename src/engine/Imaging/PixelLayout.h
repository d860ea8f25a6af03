// PixelLayout: what the alpha-info field of bitmap info says about a pixel's components: whether
// an alpha or padding component is stored beside the colour, before or after it, and whether it
// is alpha, premultiplied or straight. The one reading of that field; each caller decides which
// component counts and depths it accepts.
#pragma once

#include "engine/Imaging/BitmapInfo.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace pelorin {

struct PixelLayout {
    bool extra = false;         // one alpha or padding component beside the colour
    bool extraFirst = false;    // stored before the colour (ARGB, XRGB)
    bool alpha = false;         // the extra component is alpha, not padding
    bool premultiplied = false; // the colour is premultiplied by that alpha

    // Index of the first colour component within a pixel.
    constexpr size_t colorOffset() const { return extraFirst ? 1 : 0; }

    // Absent for a lone alpha component and for values outside the table.
    static constexpr std::optional<PixelLayout> of(uint32_t alphaInfo)
    {
        switch (static_cast<AlphaInfo>(alphaInfo)) {
        case AlphaInfo::none: return PixelLayout{};
        case AlphaInfo::premultipliedLast: return PixelLayout{true, false, true, true};
        case AlphaInfo::premultipliedFirst: return PixelLayout{true, true, true, true};
        case AlphaInfo::last: return PixelLayout{true, false, true, false};
        case AlphaInfo::first: return PixelLayout{true, true, true, false};
        case AlphaInfo::noneSkipLast: return PixelLayout{true, false, false, false};
        case AlphaInfo::noneSkipFirst: return PixelLayout{true, true, false, false};
        default: return std::nullopt;
        }
    }
};

} // namespace pelorin
