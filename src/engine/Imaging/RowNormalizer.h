// RowNormalizer: turns rows of any integer image layout into packed samples that encoders write
// directly: grey, grey+alpha, RGB or RGBA, in that channel order, 8-bit or 16-bit (host byte
// order), straight alpha. Padding components (skip first/last) are dropped; premultiplied colour
// is divided by its alpha. Stateless after make(); convertRow may run on several rows at once.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Imaging/Image.h"

#include <span>
#include <string>

namespace pelorin {

class RowNormalizer {
public:
    // Refuses float components, depths other than 8 or 16, CMYK and layouts it cannot place,
    // and pixel data shorter than bytesPerRow × height.
    static Result<RowNormalizer, std::string> make(const Image& image);

    size_t colorChannels() const { return colorChannels_; } // 1 (grey) or 3 (RGB)
    bool hasAlpha() const { return hasAlpha_; }
    size_t channels() const { return colorChannels_ + (hasAlpha_ ? 1 : 0); }
    size_t bitsPerComponent() const { return bytesPerComponent_ * 8; }
    size_t outputRowBytes() const { return width_ * channels() * bytesPerComponent_; }

    // Writes row y into `out` (at least outputRowBytes() long).
    void convertRow(size_t y, std::span<uint8_t> out) const;

private:
    RowNormalizer() = default;

    std::span<const uint8_t> pixels_;
    size_t width_ = 0;
    size_t bytesPerRow_ = 0;
    size_t bytesPerComponent_ = 1;
    size_t bytesPerPixel_ = 0;
    size_t colorChannels_ = 3;
    bool hasAlpha_ = false;
    bool premultiplied_ = false;
    bool bigEndian16_ = false;
    size_t colorIndex_[3] = {0, 1, 2}; // component index of each colour channel
    size_t alphaIndex_ = 0;
};

} // namespace pelorin
