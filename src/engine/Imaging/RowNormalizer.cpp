#include "engine/Imaging/RowNormalizer.h"

#include "engine/Imaging/PixelLayout.h"

#include <algorithm>
#include <cstring>

namespace pelorin {

Result<RowNormalizer, std::string> RowNormalizer::make(const Image& image)
{
    const uint32_t info = image.bitmapInfo();
    if (BitmapInfo::hasFloatComponents(info))
        return unexpected(std::string("Floating-point images cannot be written."));
    const size_t bpc = image.bitsPerComponent();
    if (bpc != 8 && bpc != 16)
        return unexpected("Images of " + std::to_string(bpc) + " bits per component cannot be written.");
    if (image.colorSpace() && image.colorSpace()->model() == ColorSpace::Model::cmyk)
        return unexpected(std::string("CMYK images cannot be written."));

    RowNormalizer n;
    n.bytesPerComponent_ = bpc / 8;
    n.bytesPerPixel_ = image.bitsPerPixel() / 8;
    n.width_ = image.width();
    n.bytesPerRow_ = image.bytesPerRow();
    n.bigEndian16_ = bpc == 16 && BitmapInfo::is16BitBigEndian(info);
    const size_t components = n.bytesPerPixel_ / n.bytesPerComponent_;
    if (n.width_ == 0 || image.height() == 0)
        return unexpected(std::string("The image has no pixels."));
    if (n.bytesPerRow_ < n.width_ * n.bytesPerPixel_)
        return unexpected(std::string("The image's rows are shorter than its pixels."));

    const auto layout = PixelLayout::of(image.alphaInfo());
    if (!layout)
        return unexpected("Alpha info " + std::to_string(image.alphaInfo()) + " cannot be written.");
    const bool first = layout->extraFirst, padded = layout->extra;
    n.hasAlpha_ = layout->alpha;
    n.premultiplied_ = layout->premultiplied;
    const size_t colorComponents = components - (padded ? 1 : 0);
    if (colorComponents != 1 && colorComponents != 3)
        return unexpected("Images with " + std::to_string(components) + " components per pixel cannot be written.");
    n.colorChannels_ = colorComponents;
    const size_t offset = layout->colorOffset();
    for (size_t c = 0; c < 3; ++c)
        n.colorIndex_[c] = offset + (colorComponents == 1 ? 0 : c);
    n.alphaIndex_ = first ? 0 : colorComponents;

    const auto bytes = image.bytes();
    if (bytes.size() < n.bytesPerRow_ * image.height())
        return unexpected(std::string("The image's pixel data is truncated."));
    n.pixels_ = bytes;
    return n;
}

void RowNormalizer::convertRow(size_t y, std::span<uint8_t> out) const
{
    const uint8_t* row = pixels_.data() + y * bytesPerRow_;
    const size_t channels = this->channels();
    if (bytesPerComponent_ == 1) {
        uint8_t* dst = out.data();
        for (size_t x = 0; x < width_; ++x, dst += channels) {
            const uint8_t* px = row + x * bytesPerPixel_;
            const unsigned a = hasAlpha_ ? px[alphaIndex_] : 255;
            for (size_t c = 0; c < colorChannels_; ++c) {
                unsigned v = px[colorIndex_[c]];
                if (premultiplied_ && a != 255)
                    v = a == 0 ? 0 : std::min(255u, (v * 255 + a / 2) / a);
                dst[c] = static_cast<uint8_t>(v);
            }
            if (hasAlpha_)
                dst[colorChannels_] = static_cast<uint8_t>(a);
        }
        return;
    }
    auto load = [this](const uint8_t* p) -> unsigned {
        return bigEndian16_ ? (unsigned{p[0]} << 8) | p[1] : (unsigned{p[1]} << 8) | p[0];
    };
    auto* dst = reinterpret_cast<uint16_t*>(out.data());
    for (size_t x = 0; x < width_; ++x, dst += channels) {
        const uint8_t* px = row + x * bytesPerPixel_;
        const unsigned a = hasAlpha_ ? load(px + 2 * alphaIndex_) : 65535;
        for (size_t c = 0; c < colorChannels_; ++c) {
            unsigned v = load(px + 2 * colorIndex_[c]);
            if (premultiplied_ && a != 65535)
                v = a == 0 ? 0 : std::min(65535u, static_cast<unsigned>((uint64_t{v} * 65535 + a / 2) / a));
            dst[c] = static_cast<uint16_t>(v);
        }
        if (hasAlpha_)
            dst[colorChannels_] = static_cast<uint16_t>(a);
    }
}

} // namespace pelorin
