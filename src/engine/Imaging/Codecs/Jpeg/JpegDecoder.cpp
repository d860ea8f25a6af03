#include "engine/Imaging/Codecs/Jpeg/JpegDecoder.h"

#include "engine/Common/Units.h"
#include "engine/Imaging/Codecs/Jpeg/JpegDecompressor.h"
#include "engine/Imaging/ImageLimits.h"

#include <new>
#include <string>
#include <vector>

namespace pelorin {

namespace {
using Kind = ImageSourceError::Kind;

// What the decoded pixels look like for a given coded colour space.
struct OutputLayout {
    J_COLOR_SPACE colorSpace;
    size_t components;
    ColorSpace::Model model;
    ColorSpace::Name fallback; // when no usable ICC profile is embedded
};

std::optional<OutputLayout> outputLayoutFor(J_COLOR_SPACE coded)
{
    switch (coded) {
    case JCS_GRAYSCALE: return OutputLayout{JCS_GRAYSCALE, 1, ColorSpace::Model::gray, ColorSpace::Name::deviceGray};
    case JCS_YCbCr:
    case JCS_RGB: return OutputLayout{JCS_RGB, 3, ColorSpace::Model::rgb, ColorSpace::Name::sRGB};
    case JCS_CMYK:
    case JCS_YCCK: return OutputLayout{JCS_CMYK, 4, ColorSpace::Model::cmyk, ColorSpace::Name::deviceCMYK};
    default: return std::nullopt;
    }
}

// A profile for another model than the pixels (an RGB profile on a CMYK image) would make every
// later colour conversion wrong, so such a profile is ignored.
ColorSpace colorSpaceFor(std::optional<std::vector<uint8_t>> profile, const OutputLayout& layout)
{
    if (profile) {
        auto fromProfile = ColorSpace::fromICCProfile(std::move(*profile));
        if (fromProfile.model() == layout.model)
            return fromProfile;
    }
    return ColorSpace::named(layout.fallback);
}

// Adobe's applications write CMYK (and YCCK) JPEGs with every ink value inverted and mark them
// with an APP14 segment; everyone reading such files inverts them back.
void invertSamples(PixelBlock& block)
{
    uint8_t* p = block.data();
    for (size_t i = 0, n = block.size(); i < n; ++i)
        p[i] = static_cast<uint8_t>(255 - p[i]);
}

ImageSourceError outOfMemory()
{
    return {Kind::outOfMemory, "There is not enough memory to decode this JPEG image."};
}
} // namespace

JpegDecoder::JpegDecoder(FileBytes bytes) : bytes_(std::move(bytes)) {}

Result<ImageProperties, ImageSourceError> JpegDecoder::properties()
{
    try {
        JpegDecompressor jpeg(*bytes_);
        if (auto header = jpeg.readHeader({.exif = true}); !header)
            return unexpected(header.error());
        const auto& info = jpeg.info();

        ImageProperties properties;
        properties.pixelWidth = info.image_width;
        properties.pixelHeight = info.image_height;

        std::optional<ExifBlock> exif;
        if (const auto segment = jpeg.exifSegment(); !segment.empty())
            exif = parseExifBlock(segment);
        if (exif) {
            if (!exif->exif.empty())
                properties.exif = std::move(exif->exif);
            properties.orientation = exif->orientation;
        }

        // JFIF density unit 0 gives only an aspect ratio, no resolution.
        const bool jfifResolution = info.saw_JFIF_marker && (info.density_unit == 1 || info.density_unit == 2)
            && info.X_density > 0 && info.Y_density > 0;
        if (jfifResolution) {
            const double scale = info.density_unit == 2 ? centimetresPerInch : 1.0;
            properties.dpiWidth = info.X_density * scale;
            properties.dpiHeight = info.Y_density * scale;
        } else if (exif) {
            properties.dpiWidth = exif->xResolution;
            properties.dpiHeight = exif->yResolution;
        }
        return properties;
    } catch (const std::bad_alloc&) {
        return unexpected(outOfMemory());
    }
}

Result<Image, ImageSourceError> JpegDecoder::decode()
{
    try {
        return decodeImage();
    } catch (const std::bad_alloc&) {
        return unexpected(outOfMemory());
    }
}

Result<Image, ImageSourceError> JpegDecoder::decodeImage()
{
    JpegDecompressor jpeg(*bytes_);
    if (auto header = jpeg.readHeader({.icc = true}); !header)
        return unexpected(header.error());
    const auto& info = jpeg.info();
    const size_t width = info.image_width;
    const size_t height = info.image_height;
    if (auto refusal = checkImageDimensions(width, height))
        return unexpected(*refusal);

    const auto layout = outputLayoutFor(info.jpeg_color_space);
    if (!layout)
        return unexpected(ImageSourceError{Kind::unsupported,
                                           "This JPEG image uses a colour arrangement that is not supported ("
                                               + std::to_string(info.num_components) + " components)."});
    auto colorSpace = colorSpaceFor(jpeg.iccProfile(), *layout);

    if (auto started = jpeg.start(layout->colorSpace); !started)
        return unexpected(started.error());
    if (info.output_width != width || info.output_height != height
        || static_cast<size_t>(info.output_components) != layout->components)
        return unexpected(ImageSourceError{Kind::corruptData, "The JPEG decoder produced an unexpected layout."});

    const size_t bytesPerRow = width * layout->components;
    auto block = PixelBlock::allocate(bytesPerRow * height);
    if (block.empty())
        return unexpected(outOfMemory());
    std::vector<JSAMPROW> rows(height);
    for (size_t y = 0; y < height; ++y)
        rows[y] = block.data() + y * bytesPerRow;
    if (auto read = jpeg.readAllRows(rows); !read)
        return unexpected(read.error());
    // What follows the last scan (the end marker, trailing bytes) cannot change the pixels, so a
    // file cut just after its image data still decodes: jpeg_finish_decompress is not needed.

    if (layout->model == ColorSpace::Model::cmyk && info.saw_Adobe_marker)
        invertSamples(block);

    const ImageFormat format{width, height, 8, 8 * layout->components, bytesPerRow, BitmapInfo::make(AlphaInfo::none)};
    return Image(format, std::move(colorSpace), DataProvider::make(std::move(block)));
}

std::unique_ptr<ImageDecoder> makeJpegDecoder(FileBytes bytes)
{
    if (!bytes)
        return nullptr;
    return std::make_unique<JpegDecoder>(std::move(bytes));
}

} // namespace pelorin
