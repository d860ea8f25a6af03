#include "engine/Imaging/Codecs/Tiff/TiffDecoder.h"

#include "engine/Imaging/Codecs/Tiff/TiffExifReader.h"
#include "engine/Imaging/Codecs/Tiff/TiffHandle.h"
#include "engine/Imaging/Codecs/Tiff/TiffLayout.h"
#include "engine/Imaging/Codecs/Tiff/TiffPixelReader.h"
#include "engine/Imaging/Codecs/Tiff/TiffRgbaReader.h"
#include "engine/Imaging/ImageLimits.h"

#include <cmath>

namespace pelorin {

namespace {
using Kind = ImageSourceError::Kind;
using tiff::TiffHandle;
using tiff::TiffLayout;

Result<std::unique_ptr<TiffHandle>, ImageSourceError> openTiff(const FileBytes& bytes)
{
    auto handle = TiffHandle::openMemory(*bytes);
    if (!handle->valid())
        return unexpected(ImageSourceError{Kind::corruptData,
                                           "The TIFF file is damaged or truncated (" + handle->failureText() + ")."});
    return handle;
}

std::optional<double> resolution(TIFF* tif, uint32_t tag, double unitToInch)
{
    float value = 0; // libtiff 4.5 hands rationals of this tag out as float
    if (!TIFFGetField(tif, tag, &value) || !std::isfinite(value) || value <= 0)
        return std::nullopt;
    return value * unitToInch;
}

// The embedded profile when it describes the decoded components; otherwise the named space.
ColorSpace colorSpaceOf(TIFF* tif, const TiffLayout& layout)
{
    const auto model = layout.kind == TiffLayout::Kind::gray ? ColorSpace::Model::gray
        : layout.kind == TiffLayout::Kind::cmyk              ? ColorSpace::Model::cmyk
                                                             : ColorSpace::Model::rgb;
    uint32_t length = 0;
    const uint8_t* profile = nullptr;
    if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &length, &profile) && profile && length > 0) {
        auto space = ColorSpace::fromICCProfile(std::vector<uint8_t>(profile, profile + length));
        if (space.model() == model)
            return space;
    }
    switch (model) {
    case ColorSpace::Model::gray: return ColorSpace::named(ColorSpace::Name::deviceGray);
    case ColorSpace::Model::cmyk: return ColorSpace::named(ColorSpace::Name::deviceCMYK);
    default: return ColorSpace::named(ColorSpace::Name::sRGB);
    }
}
} // namespace

std::unique_ptr<ImageDecoder> makeTiffDecoder(FileBytes bytes)
{
    if (!bytes)
        return nullptr;
    return std::make_unique<TiffDecoder>(std::move(bytes));
}

TiffDecoder::TiffDecoder(FileBytes bytes) : bytes_(std::move(bytes)) {}

Result<ImageProperties, ImageSourceError> TiffDecoder::properties()
{
    auto handle = openTiff(bytes_);
    if (!handle)
        return unexpected(handle.error());
    TIFF* tif = (*handle)->get();

    uint32_t width = 0, height = 0;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height))
        return unexpected(ImageSourceError{Kind::corruptData, "The TIFF file does not say how large its image is."});
    ImageProperties properties;
    properties.pixelWidth = width;
    properties.pixelHeight = height;

    uint16_t orientation = 0;
    if (TIFFGetField(tif, TIFFTAG_ORIENTATION, &orientation) && orientation >= 1 && orientation <= 8)
        properties.orientation = orientation;

    // A missing unit means inches; unit 1 (none) makes the numbers a mere aspect ratio.
    uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    const double unitToInch = unit == RESUNIT_INCH ? 1.0 : unit == RESUNIT_CENTIMETER ? 2.54 : 0.0;
    if (unitToInch > 0) {
        properties.dpiWidth = resolution(tif, TIFFTAG_XRESOLUTION, unitToInch);
        properties.dpiHeight = resolution(tif, TIFFTAG_YRESOLUTION, unitToInch);
    }

    toff_t exifOffset = 0;
    if (TIFFGetField(tif, TIFFTAG_EXIFIFD, &exifOffset) && exifOffset != 0)
        properties.exif = tiff::readTiffExif(*bytes_, exifOffset);
    return properties;
}

Result<Image, ImageSourceError> TiffDecoder::decode()
{
    auto handle = openTiff(bytes_);
    if (!handle)
        return unexpected(handle.error());
    TiffHandle& first = **handle;
    tiff::prepareTiffForDecoding(first.get());
    auto layout = tiff::readTiffLayout(first.get());
    if (!layout)
        return unexpected(layout.error());
    if (auto refusal = checkImageDimensions(layout->width, layout->height))
        return unexpected(*refusal);

    const size_t bytesPerRow = layout->outputBytesPerRow();
    auto block = PixelBlock::allocate(bytesPerRow * layout->height);
    if (block.empty())
        return unexpected(ImageSourceError{Kind::outOfMemory, "Not enough memory to decode the TIFF image."});
    auto read = layout->kind == TiffLayout::Kind::rgbaImage
        ? tiff::readTiffRgba(first, *layout, block.span())
        : tiff::readTiffPixels(first, *bytes_, *layout, block.span());
    if (!read)
        return unexpected(read.error());

    const ImageFormat format{layout->width,      layout->height,
                             layout->outputBits, layout->outputBits * layout->outputComponents,
                             bytesPerRow,        layout->bitmapInfo()};
    return Image(format, colorSpaceOf(first.get(), *layout), DataProvider::make(std::move(block)));
}

} // namespace pelorin
