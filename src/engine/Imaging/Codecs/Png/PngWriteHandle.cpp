#include "engine/Imaging/Codecs/Png/PngWriteHandle.h"

#include <algorithm>

namespace pelorin::png {

namespace {
// Plain values only: these frames are left by longjmp (see PngErrorHandler.h).
struct HeaderFields {
    png_uint_32 width, height;
    int bitDepth, colorType;
    const uint8_t* icc;
    png_uint_32 iccSize;
    int sRGB, linearGamma, hasPhys;
    png_uint_32 xPerMetre, yPerMetre;
    const uint8_t* exif;
    png_uint_32 exifSize;
};

bool guardedSet(png_structp png, png_infop info, const HeaderFields* f)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_IHDR(png, info, f->width, f->height, f->bitDepth, f->colorType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    if (f->iccSize > 0)
        png_set_iCCP(png, info, "ICC Profile", PNG_COMPRESSION_TYPE_BASE, f->icc, f->iccSize);
    else if (f->sRGB)
        png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
    else if (f->linearGamma)
        png_set_gAMA_fixed(png, info, PNG_FP_1);
    if (f->hasPhys)
        png_set_pHYs(png, info, f->xPerMetre, f->yPerMetre, PNG_RESOLUTION_METER);
    if (f->exifSize > 0)
        png_set_eXIf_1(png, info, f->exifSize, const_cast<png_bytep>(f->exif));
    return true;
}

bool guardedWriteInfo(png_structp png, png_infop info)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_write_info(png, info);
    return true;
}
} // namespace

PngWriteHandle::PngWriteHandle(PngFileSink& sink)
{
    png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error_, recordPngError, recordPngWarning);
    if (!png_)
        return;
    info_ = png_create_info_struct(png_);
    if (!info_)
        return;
    png_set_write_fn(png_, &sink, writeData, flushData);
    // Oddities libpng tolerates in a profile stay warnings, so a real profile is kept as it is;
    // one libpng cannot use is dropped, which holdsProfile() reports.
    png_set_benign_errors(png_, 1);
    // Keep an sRGB profile as a profile: its bytes, not libpng's judgement of them, are the source's.
    png_set_option(png_, PNG_SKIP_sRGB_CHECK_PROFILE, PNG_OPTION_ON);
}

PngWriteHandle::~PngWriteHandle()
{
    if (png_)
        png_destroy_write_struct(&png_, info_ ? &info_ : nullptr);
}

bool PngWriteHandle::set(const PngHeader& header)
{
    const HeaderFields fields{header.width,
                              header.height,
                              header.bitDepth,
                              header.colorType,
                              header.iccProfile.data(),
                              static_cast<png_uint_32>(header.iccProfile.size()),
                              header.sRGB,
                              header.linearGamma,
                              header.pixelsPerMetreX.has_value() && header.pixelsPerMetreY.has_value(),
                              header.pixelsPerMetreX.value_or(0),
                              header.pixelsPerMetreY.value_or(0),
                              header.exif.data(),
                              static_cast<png_uint_32>(header.exif.size())};
    return guardedSet(png_, info_, &fields);
}

bool PngWriteHandle::holdsProfile(std::span<const uint8_t> profile) const
{
    png_charp name = nullptr;
    int compression = 0;
    png_bytep stored = nullptr;
    png_uint_32 size = 0;
    if (png_get_iCCP(png_, info_, &name, &compression, &stored, &size) == 0 || !stored)
        return false;
    return size == profile.size() && std::equal(profile.begin(), profile.end(), stored);
}

bool PngWriteHandle::writeHeader()
{
    return guardedWriteInfo(png_, info_);
}

void PngWriteHandle::writeData(png_structp png, png_bytep data, size_t length)
{
    auto* sink = static_cast<PngFileSink*>(png_get_io_ptr(png));
    if (!sink->write({data, length}))
        png_error(png, "the file could not be written");
}

void PngWriteHandle::flushData(png_structp)
{
    // The encoder flushes the sink once, after the last chunk.
}

} // namespace pelorin::png
