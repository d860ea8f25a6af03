#include "engine/Imaging/Codecs/Tiff/TiffLayout.h"

#include <bit>
#include <string>

namespace pelorin::tiff {

namespace {
using Kind = ImageSourceError::Kind;

constexpr uint16_t maxSamplesPerPixel = 16;

ImageSourceError unsupported(const std::string& what)
{
    return {Kind::unsupported, "This TIFF image uses " + what + ", which Pelorin does not read."};
}

uint16_t tag16(TIFF* tif, uint32_t tag)
{
    uint16_t value = 0;
    TIFFGetFieldDefaulted(tif, tag, &value);
    return value;
}

bool isJpegYCbCr(TIFF* tif)
{
    return tag16(tif, TIFFTAG_COMPRESSION) == COMPRESSION_JPEG && tag16(tif, TIFFTAG_PHOTOMETRIC) == PHOTOMETRIC_YCBCR;
}

// Sample layouts the direct path decodes; others go through the RGBA interface when it can.
bool directSamples(uint16_t format, uint16_t bits)
{
    if (format == SAMPLEFORMAT_IEEEFP)
        return bits == 32;
    return format == SAMPLEFORMAT_UINT && (bits == 1 || bits == 2 || bits == 4 || bits == 8 || bits == 16);
}

Result<TiffLayout, ImageSourceError> rgbaImageLayout(TIFF* tif, TiffLayout layout)
{
    char reason[1024] = {};
    if (!TIFFRGBAImageOK(tif, reason))
        return unexpected(unsupported(std::string("a sample layout (") + reason + ")"));
    layout.kind = TiffLayout::Kind::rgbaImage;
    layout.floatSamples = false;
    layout.colorComponents = 3;
    layout.outputComponents = 4;
    layout.outputBits = 8;
    // The interface fills the fourth byte with opaque alpha when the file has none.
    uint16_t extraCount = 0;
    uint16_t* extraTypes = nullptr;
    const bool hasAlpha = TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extraTypes) && extraCount > 0
        && (extraTypes[0] == EXTRASAMPLE_ASSOCALPHA || extraTypes[0] == EXTRASAMPLE_UNASSALPHA);
    layout.alpha = hasAlpha ? AlphaInfo::premultipliedLast : AlphaInfo::noneSkipLast;
    return layout;
}
} // namespace

size_t TiffLayout::sourceSamplesUsed() const
{
    const bool hasExtra = alpha != AlphaInfo::none;
    return (kind == Kind::palette ? 1 : colorComponents) + (hasExtra ? 1 : 0);
}

uint32_t TiffLayout::bitmapInfo() const
{
    uint32_t flags = 0;
    if (floatSamples)
        flags = BitmapInfo::floatComponents
            | (std::endian::native == std::endian::little ? BitmapInfo::byteOrder32Little : BitmapInfo::byteOrder32Big);
    else if (outputBits == 16) // libtiff hands samples over in host order
        flags = std::endian::native == std::endian::little ? BitmapInfo::byteOrder16Little : BitmapInfo::byteOrder16Big;
    return BitmapInfo::make(alpha, flags);
}

void prepareTiffForDecoding(TIFF* tif)
{
    if (isJpegYCbCr(tif))
        TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
}

Result<TiffLayout, ImageSourceError> readTiffLayout(TIFF* tif)
{
    TiffLayout layout;
    uint16_t photometric = 0;
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &layout.width)
        || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &layout.height))
        return unexpected(ImageSourceError{Kind::corruptData, "The TIFF file does not say how large its image is."});
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric))
        return unexpected(
            ImageSourceError{Kind::corruptData, "The TIFF file does not say how its colours are stored."});
    const uint16_t compression = tag16(tif, TIFFTAG_COMPRESSION);
    const uint16_t sampleFormat = tag16(tif, TIFFTAG_SAMPLEFORMAT);
    layout.samplesPerPixel = tag16(tif, TIFFTAG_SAMPLESPERPIXEL);
    layout.bitsPerSample = tag16(tif, TIFFTAG_BITSPERSAMPLE);
    layout.photometric = photometric;
    layout.planarSeparate = tag16(tif, TIFFTAG_PLANARCONFIG) == PLANARCONFIG_SEPARATE;
    layout.tiled = TIFFIsTiled(tif) != 0;
    if (layout.samplesPerPixel == 0 || layout.bitsPerSample == 0)
        return unexpected(ImageSourceError{Kind::corruptData, "The TIFF file declares pixels without samples."});
    // At most five samples are ever used (CMYK and alpha); the rest are read and skipped. Extra
    // channels beyond a handful are rare, and tens of thousands of them make a small, highly
    // compressed file decode gigabytes.
    if (layout.samplesPerPixel > maxSamplesPerPixel)
        return unexpected(unsupported(std::to_string(layout.samplesPerPixel) + " samples per pixel"));

    if (!TIFFIsCODECConfigured(compression))
        return unexpected(unsupported("compression scheme " + std::to_string(compression)));

    using K = TiffLayout::Kind;
    size_t storedColorSamples = 0;
    switch (photometric) {
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_MINISWHITE:
        layout.kind = K::gray;
        layout.minIsWhite = photometric == PHOTOMETRIC_MINISWHITE;
        storedColorSamples = layout.colorComponents = 1;
        break;
    case PHOTOMETRIC_RGB:
        layout.kind = K::rgb;
        storedColorSamples = layout.colorComponents = 3;
        break;
    case PHOTOMETRIC_YCBCR:
        if (compression != COMPRESSION_JPEG)
            return rgbaImageLayout(tif, layout);
        layout.kind = K::rgb; // prepareTiffForDecoding has libjpeg convert to RGB
        storedColorSamples = layout.colorComponents = 3;
        break;
    case PHOTOMETRIC_PALETTE:
        layout.kind = K::palette;
        storedColorSamples = 1;
        layout.colorComponents = 3;
        break;
    case PHOTOMETRIC_SEPARATED:
        if (tag16(tif, TIFFTAG_INKSET) != INKSET_CMYK || layout.samplesPerPixel < 4)
            return rgbaImageLayout(tif, layout);
        layout.kind = K::cmyk;
        storedColorSamples = layout.colorComponents = 4;
        break;
    default: return rgbaImageLayout(tif, layout);
    }

    if (layout.samplesPerPixel < storedColorSamples)
        return unexpected(
            ImageSourceError{Kind::corruptData, "The TIFF file stores fewer samples per pixel than its colours need."});
    if (!directSamples(sampleFormat, layout.bitsPerSample)) {
        if (layout.kind == K::palette || sampleFormat != SAMPLEFORMAT_UINT)
            return unexpected(unsupported(std::to_string(layout.bitsPerSample) + "-bit "
                                          + (sampleFormat == SAMPLEFORMAT_IEEEFP    ? "floating-point"
                                                 : sampleFormat == SAMPLEFORMAT_INT ? "signed"
                                                                                    : "integer")
                                          + " samples"));
        return rgbaImageLayout(tif, layout);
    }
    if (layout.kind == K::palette && sampleFormat != SAMPLEFORMAT_UINT)
        return unexpected(unsupported("floating-point palette indices"));
    layout.floatSamples = sampleFormat == SAMPLEFORMAT_IEEEFP;
    layout.outputBits = layout.floatSamples ? 32 : layout.bitsPerSample == 16 && layout.kind != K::palette ? 16 : 8;

    // The first extra sample is alpha when the file says so; unspecified, it only pads the pixel.
    if (layout.samplesPerPixel > storedColorSamples && layout.kind != K::cmyk) {
        uint16_t extraCount = 0;
        uint16_t* extraTypes = nullptr;
        const uint16_t type = TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extraTypes) && extraCount > 0
            ? extraTypes[0]
            : EXTRASAMPLE_UNSPECIFIED;
        if (type == EXTRASAMPLE_ASSOCALPHA)
            layout.alpha = AlphaInfo::premultipliedLast;
        else if (type == EXTRASAMPLE_UNASSALPHA)
            layout.alpha = AlphaInfo::last;
        else if (layout.kind != K::palette)
            layout.alpha = AlphaInfo::noneSkipLast;
    }
    layout.outputComponents = layout.colorComponents + (layout.alpha != AlphaInfo::none ? 1 : 0);
    return layout;
}

} // namespace pelorin::tiff
