#include "engine/Imaging/Codecs/Png/PngReadHandle.h"

#include <cstring>

namespace pelorin::png {

namespace {
// The functions holding a setjmp point keep to plain libpng calls (see PngErrorHandler.h).
bool guardedReadInfo(png_structp png, png_infop info)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_read_info(png, info);
    return true;
}

bool guardedPrepareOutput(png_structp png, png_infop info, bool swap16)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_expand(png);
    if (swap16 && png_get_bit_depth(png, info) == 16)
        png_set_swap(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    return true;
}

bool guardedReadImage(png_structp png, png_bytepp rows)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_read_image(png, rows);
    png_read_end(png, nullptr);
    return true;
}
} // namespace

PngReadHandle::PngReadHandle(std::span<const uint8_t> file) : input_{file.data(), file.size(), 0}
{
    png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, &error_, recordPngError, recordPngWarning);
    if (!png_)
        return;
    info_ = png_create_info_struct(png_);
    if (!info_)
        return;
    png_set_read_fn(png_, &input_, readData);
    // Our own pixel limits (checkImageDimensions) decide what is too large, with a clearer
    // message than libpng's default ceiling of a million pixels per side.
    png_set_user_limits(png_, 0x7FFFFFFF, 0x7FFFFFFF);
    // A damaged chunk of any kind means damaged data; do not guess around it.
    png_set_crc_action(png_, PNG_CRC_ERROR_QUIT, PNG_CRC_ERROR_QUIT);
    // The profile is kept as stored whatever it resembles; comparing it with libpng's list of
    // sRGB profiles only costs time.
    png_set_option(png_, PNG_SKIP_sRGB_CHECK_PROFILE, PNG_OPTION_ON);
}

PngReadHandle::~PngReadHandle()
{
    if (png_)
        png_destroy_read_struct(&png_, info_ ? &info_ : nullptr, nullptr);
}

bool PngReadHandle::readInfo()
{
    return guardedReadInfo(png_, info_);
}

bool PngReadHandle::prepareOutput(bool swap16)
{
    return guardedPrepareOutput(png_, info_, swap16);
}

bool PngReadHandle::readImage(png_bytepp rows)
{
    return guardedReadImage(png_, rows);
}

void PngReadHandle::readData(png_structp png, png_bytep out, size_t length)
{
    auto* input = static_cast<Input*>(png_get_io_ptr(png));
    if (input->size - input->offset < length)
        png_error(png, "the data ends early");
    std::memcpy(out, input->data + input->offset, length);
    input->offset += length;
}

} // namespace pelorin::png
