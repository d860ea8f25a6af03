// Image: an immutable bitmap value that says everything about its bytes (size, component depth,
// pixel layout, alpha convention, byte order, colour space) and shares the block that holds them.
//
// Contract: row y starts at y × bytesPerRow() in dataProvider()->bytes(); pixels are packed at
// bitsPerPixel() / 8 bytes each, components in memory order as the alpha info describes. 16-bit
// components are little-endian unless the byte-order field says 16-bit big-endian. Colour is
// straight (not premultiplied) unless the alpha info says premultiplied.
// Nothing here validates the fields against each other or against the block's length: consumers
// check what they rely on, so that damaged or unusual images can be described and refused.
// Copies are cheap and share the pixels; an Image is safe to read from any number of threads.
#pragma once

#include "engine/Imaging/BitmapInfo.h"
#include "engine/Imaging/ColorSpace.h"
#include "engine/Imaging/DataProvider.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace pelorin {

struct ImageFormat {
    size_t width = 0;
    size_t height = 0;
    size_t bitsPerComponent = 8;
    size_t bitsPerPixel = 32;
    size_t bytesPerRow = 0;
    uint32_t bitmapInfo = 0;

    friend bool operator==(const ImageFormat&, const ImageFormat&) = default;
};

class Image {
public:
    Image(ImageFormat format, std::optional<ColorSpace> colorSpace, std::shared_ptr<const DataProvider> dataProvider,
          bool shouldInterpolate = false, RenderingIntent renderingIntent = RenderingIntent::defaultIntent);

    const ImageFormat& format() const { return format_; }
    size_t width() const { return format_.width; }
    size_t height() const { return format_.height; }
    size_t bitsPerComponent() const { return format_.bitsPerComponent; }
    size_t bitsPerPixel() const { return format_.bitsPerPixel; }
    size_t bytesPerRow() const { return format_.bytesPerRow; }
    uint32_t bitmapInfo() const { return format_.bitmapInfo; }
    // The alpha-info value alone (low five bits of the bitmap info).
    uint32_t alphaInfo() const { return BitmapInfo::alphaInfoValue(format_.bitmapInfo); }

    // Absent when the image has no colour space; compositing and writing refuse such images.
    const std::optional<ColorSpace>& colorSpace() const { return colorSpace_; }
    bool shouldInterpolate() const { return shouldInterpolate_; }
    RenderingIntent renderingIntent() const { return renderingIntent_; }

    // May be null for an image whose pixels cannot be read.
    const std::shared_ptr<const DataProvider>& dataProvider() const { return dataProvider_; }
    // The stored bytes, or an empty span when there is no provider.
    std::span<const uint8_t> bytes() const;

    // The same pixels tagged with another colour space.
    Image withColorSpace(std::optional<ColorSpace> colorSpace) const;

private:
    ImageFormat format_;
    std::optional<ColorSpace> colorSpace_;
    std::shared_ptr<const DataProvider> dataProvider_;
    bool shouldInterpolate_;
    RenderingIntent renderingIntent_;
};

} // namespace pelorin
