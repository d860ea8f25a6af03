#include "engine/Services/BackgroundRemover.h"

#include "engine/Common/PageRelease.h"
#include "engine/Inference/ForegroundSegmenter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>

namespace pelorin {

namespace {

// Rows of the buffer converted between two releases of their pages.
constexpr size_t releaseBandBytes = size_t{4} << 20;

const std::set<uint32_t> acceptedMaskFormats = {MaskPixelFormat::oneComponent8, MaskPixelFormat::oneComponent32Float};

Unexpected<BackgroundRemoverError> conversionFailure(std::string reason)
{
    return unexpected(BackgroundRemoverError::cgImageConversionFailed(std::move(reason)));
}

// width × height in decimal, exact even when it exceeds size_t.
std::string productText(size_t width, size_t height)
{
    unsigned __int128 product = static_cast<unsigned __int128>(width) * height;
    std::string digits;
    do {
        digits.push_back(char('0' + unsigned(product % 10)));
        product /= 10;
    } while (product != 0);
    return {digits.rbegin(), digits.rend()};
}

uint8_t maskByte(float v)
{
    // NaN fails the comparison and counts as fully opaque, like anything at or above 1.
    if (v < 1.0f)
        return static_cast<uint8_t>(std::round(std::max(v, 0.0f) * 255.0f));
    return 255;
}

} // namespace

Result<Image, BackgroundRemoverError> BackgroundRemover::generateMask(const Image& image) const
{
    return performMaskRequest(image);
}

Result<Image, BackgroundRemoverError> BackgroundRemover::performMaskRequest(const Image& image)
{
    auto detected = ForegroundSegmenter::shared().detect(image);
    if (!detected)
        return unexpected(BackgroundRemoverError::visionRequestFailed(detected.error()));
    if (!detected->has_value())
        return unexpected(BackgroundRemoverError::noSubjectFound());
    // Bytes straight from the resampler: a float plane of a 12-MP photo would be 46 MiB more at the
    // batch's peak.
    auto buffer = (*detected)->generateScaledMask(MaskPixelFormat::oneComponent8);
    if (!buffer)
        return unexpected(BackgroundRemoverError::maskGenerationFailed(buffer.error()));
    return imageFromMaskPixelBufferReleasing(std::move(buffer).value());
}

Result<Image, BackgroundRemoverError> BackgroundRemover::imageFromMaskPixelBuffer(const MaskPixelBuffer& buffer)
{
    return convert(buffer, false);
}

Result<Image, BackgroundRemoverError> BackgroundRemover::imageFromMaskPixelBufferReleasing(MaskPixelBuffer&& buffer)
{
    const MaskPixelBuffer owned = std::move(buffer);
    return convert(owned, true);
}

Result<Image, BackgroundRemoverError> BackgroundRemover::convert(const MaskPixelBuffer& buffer, bool releaseAsRead)
{
    const uint32_t format = buffer.pixelFormat();
    if (!acceptedMaskFormats.contains(format))
        return conversionFailure("unsupported mask pixel format " + formatString(format));

    const MaskPixelBuffer::ReadOnlyLock lock(buffer);
    const size_t width = buffer.width(), height = buffer.height();
    if (width < 1 || height < 1)
        return conversionFailure("invalid mask dimensions " + std::to_string(width) + "x" + std::to_string(height));
    const size_t bytesPerRow = buffer.bytesPerRow();
    const uint8_t* base = buffer.baseAddress();
    if (base == nullptr)
        return conversionFailure("mask pixel buffer base address was nil");

    size_t byteCount = 0;
    PixelBlock block;
    if (!__builtin_mul_overflow(width, height, &byteCount))
        block = PixelBlock::allocate(byteCount);
    if (block.empty())
        return conversionFailure("failed to allocate " + productText(width, height) + " bytes for packed mask");

    uint8_t* packed = block.data();
    PageRelease release(base);
    const size_t releaseEvery = std::max<size_t>(1, releaseBandBytes / bytesPerRow);
    for (size_t y = 0; y < height; ++y) {
        if (releaseAsRead && y % releaseEvery == 0)
            release.releaseUpTo(base + y * bytesPerRow);
        const uint8_t* source = base + y * bytesPerRow;
        uint8_t* target = packed + y * width;
        if (format == MaskPixelFormat::oneComponent8) {
            std::memcpy(target, source, width);
        } else {
            for (size_t x = 0; x < width; ++x) {
                float v;
                std::memcpy(&v, source + x * sizeof(float), sizeof v); // rows need not be aligned
                target[x] = maskByte(v);
            }
        }
    }

    auto provider = DataProvider::make(std::move(block));
    if (!provider)
        return conversionFailure("failed to create CGDataProvider for mask");
    const ImageFormat maskFormat{width, height, 8, 8, width, 0};
    return Image(maskFormat, linearGrayColorSpace(), std::move(provider), false, RenderingIntent::defaultIntent);
}

std::string BackgroundRemover::formatString(uint32_t code)
{
    const std::array<uint8_t, 4> bytes = {uint8_t(code >> 24), uint8_t(code >> 16), uint8_t(code >> 8), uint8_t(code)};
    if (std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b >= 0x20 && b <= 0x7E; }))
        return "'" + std::string(bytes.begin(), bytes.end()) + "'";
    char hex[2 + 8 + 1];
    std::snprintf(hex, sizeof hex, "0x%x", code);
    return hex;
}

} // namespace pelorin
