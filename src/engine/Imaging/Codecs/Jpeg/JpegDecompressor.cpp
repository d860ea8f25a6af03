#include "engine/Imaging/Codecs/Jpeg/JpegDecompressor.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <jerror.h>

namespace pelorin {

namespace {
using ErrorManager = JpegDecompressor::ErrorManager;
using Kind = ImageSourceError::Kind;

// Real progressive files have about ten scans. Every scan walks the whole coefficient buffer,
// so a small file made of thousands of tiny scans would keep a core busy for minutes.
constexpr int maxProgressiveScans = 1000;
constexpr int tooManyScansCode = -1;

ErrorManager& errorsOf(j_common_ptr info)
{
    return *reinterpret_cast<ErrorManager*>(info->err);
}

[[noreturn]] void fail(j_common_ptr info)
{
    ErrorManager& errors = errorsOf(info);
    errors.failed = true;
    errors.code = errors.pub.msg_code;
    (*errors.pub.format_message)(info, errors.message);
    std::longjmp(errors.jump, 1);
}

// libjpeg pads damaged or missing entropy data with grey and only warns; a decoder that shows
// such an image as if it were whole would hide the damage, so these warnings end decoding.
bool warningMeansDamage(int code)
{
    switch (code) {
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_MUST_RESYNC:
    case JWRN_NOT_SEQUENTIAL:
    case JWRN_TOO_MUCH_DATA: return true;
    default:
        // Stray bytes between markers, an odd JFIF revision, an unknown Adobe transform or a bad
        // ICC segment leave the pixels intact.
        return false;
    }
}

void errorExit(j_common_ptr info)
{
    fail(info);
}

void emitMessage(j_common_ptr info, int level)
{
    if (level >= 0)
        return; // trace output
    ++info->err->num_warnings;
    if (warningMeansDamage(info->err->msg_code))
        fail(info);
}

void outputMessage(j_common_ptr) {}

void monitorProgress(j_common_ptr info)
{
    if (!info->is_decompressor)
        return;
    const auto* decompress = reinterpret_cast<j_decompress_ptr>(info);
    if (decompress->input_scan_number <= maxProgressiveScans)
        return;
    ErrorManager& errors = errorsOf(info);
    errors.failed = true;
    errors.code = tooManyScansCode;
    std::snprintf(errors.message, sizeof errors.message, "more than %d scans", maxProgressiveScans);
    std::longjmp(errors.jump, 1);
}

// Each step that may leave through longjmp runs in a function of its own holding nothing with a
// destructor, so the jump skips no C++ cleanup.
bool guardedCreate(j_decompress_ptr info, ErrorManager* errors, const uint8_t* data, size_t size)
{
    if (setjmp(errors->jump))
        return false;
    jpeg_create_decompress(info);
    jpeg_mem_src(info, data, static_cast<unsigned long>(size));
    return true;
}

bool guardedReadHeader(j_decompress_ptr info, ErrorManager* errors, bool keepAPP1, bool keepAPP2)
{
    if (setjmp(errors->jump))
        return false;
    if (keepAPP1)
        jpeg_save_markers(info, JPEG_APP0 + 1, 0xFFFF);
    if (keepAPP2)
        jpeg_save_markers(info, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(info, TRUE);
    return true;
}

bool guardedReadICC(j_decompress_ptr info, ErrorManager* errors, JOCTET** profile, unsigned int* length)
{
    if (setjmp(errors->jump))
        return false;
    return jpeg_read_icc_profile(info, profile, length);
}

bool guardedStart(j_decompress_ptr info, ErrorManager* errors)
{
    if (setjmp(errors->jump))
        return false;
    jpeg_start_decompress(info);
    return true;
}

bool guardedReadRows(j_decompress_ptr info, ErrorManager* errors, JSAMPROW* rows, JDIMENSION count)
{
    if (setjmp(errors->jump))
        return false;
    while (info->output_scanline < count) {
        const JDIMENSION done = info->output_scanline;
        if (jpeg_read_scanlines(info, rows + done, count - done) == 0) {
            // Only a suspending source returns no rows; ours holds the whole file.
            errors->failed = true;
            errors->code = JWRN_JPEG_EOF;
            return false;
        }
    }
    return true;
}
} // namespace

JpegDecompressor::JpegDecompressor(std::span<const uint8_t> data)
{
    info_.err = jpeg_std_error(&errors_.pub);
    errors_.pub.error_exit = errorExit;
    errors_.pub.emit_message = emitMessage;
    errors_.pub.output_message = outputMessage;
    created_ = true; // jpeg_destroy_decompress copes with a creation that failed half-way
    guardedCreate(&info_, &errors_, data.data(), data.size());
}

JpegDecompressor::~JpegDecompressor()
{
    if (created_)
        jpeg_destroy_decompress(&info_);
}

ImageSourceError JpegDecompressor::lastError() const
{
    const std::string detail = errors_.message;
    switch (errors_.code) {
    case JWRN_JPEG_EOF:
    case JERR_INPUT_EOF:
    case JERR_INPUT_EMPTY:
    case JERR_NO_IMAGE: return {Kind::corruptData, "The JPEG file is truncated: its image data ends early."};
    case JERR_OUT_OF_MEMORY: return {Kind::outOfMemory, "There is not enough memory to decode this JPEG image."};
    case JERR_IMAGE_TOO_BIG: return {Kind::tooLarge, "The JPEG image is too large to decode (" + detail + ")."};
    case JERR_BAD_PRECISION:
    case JERR_SOF_UNSUPPORTED:
    case JERR_NOT_COMPILED:
    case JERR_NOTIMPL:
    case JERR_ARITH_NOTIMPL:
    case JERR_CONVERSION_NOTIMPL:
        return {Kind::unsupported, "This kind of JPEG image is not supported (" + detail + ")."};
    default: return {Kind::corruptData, "The JPEG file is damaged (" + detail + ")."};
    }
}

Result<void, ImageSourceError> JpegDecompressor::readHeader(KeptSegments kept)
{
    if (errors_.failed || !guardedReadHeader(&info_, &errors_, kept.exif, kept.icc))
        return unexpected(lastError());
    return {};
}

std::span<const uint8_t> JpegDecompressor::exifSegment() const
{
    static constexpr uint8_t prefix[] = {'E', 'x', 'i', 'f', 0, 0};
    for (auto* marker = info_.marker_list; marker; marker = marker->next) {
        if (marker->marker != JPEG_APP0 + 1 || marker->data_length < sizeof prefix)
            continue;
        if (std::memcmp(marker->data, prefix, sizeof prefix) == 0)
            return {marker->data, marker->data_length};
    }
    return {};
}

std::optional<std::vector<uint8_t>> JpegDecompressor::iccProfile()
{
    if (errors_.failed)
        return std::nullopt;
    JOCTET* profile = nullptr;
    unsigned int length = 0;
    const bool found = guardedReadICC(&info_, &errors_, &profile, &length);
    if (errors_.failed) {
        // A profile that cannot be read leaves the image readable; only that error is forgotten.
        errors_.failed = false;
        errors_.code = 0;
    }
    std::optional<std::vector<uint8_t>> result;
    if (found && profile && length > 0) {
        try {
            result.emplace(profile, profile + length);
        } catch (const std::bad_alloc&) {
            result.reset();
        }
    }
    std::free(profile);
    return result;
}

Result<void, ImageSourceError> JpegDecompressor::start(J_COLOR_SPACE colorSpace)
{
    if (errors_.failed)
        return unexpected(lastError());
    info_.out_color_space = colorSpace;
    info_.dct_method = JDCT_ISLOW;
    progress_.progress_monitor = monitorProgress;
    info_.progress = &progress_;
    if (!guardedStart(&info_, &errors_))
        return unexpected(lastError());
    return {};
}

Result<void, ImageSourceError> JpegDecompressor::readAllRows(std::span<JSAMPROW> rows)
{
    if (errors_.failed)
        return unexpected(lastError());
    if (rows.size() < info_.output_height)
        return unexpected(ImageSourceError{Kind::corruptData, "The JPEG image has more rows than its buffer."});
    if (!guardedReadRows(&info_, &errors_, rows.data(), info_.output_height))
        return unexpected(lastError());
    return {};
}

} // namespace pelorin
