// PngWriteHandle: a libpng write struct and its info struct that write the PNG signature and the
// header chunks (IHDR, iCCP/sRGB/gAMA, eXIf, pHYs) to a PngFileSink, with quiet error handling.
// libpng also validates what it is given here, the ICC profile in particular.
// Owns the libpng structs; the sink must outlive the handle. Not copyable or movable.
#pragma once

#include "engine/Imaging/Codecs/Png/PngErrorHandler.h"
#include "engine/Imaging/Codecs/Png/PngFileSink.h"

#include <png.h>

#include <cstdint>
#include <optional>
#include <span>

namespace pelorin::png {

// What the header says; spans are read during set() only.
struct PngHeader {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int bitDepth = 8;
    int colorType = PNG_COLOR_TYPE_RGB_ALPHA;
    std::span<const uint8_t> iccProfile; // written as iCCP when not empty
    bool sRGB = false;                   // an sRGB chunk, perceptual intent
    bool linearGamma = false;            // gAMA 1.0
    std::optional<png_uint_32> pixelsPerMetreX;
    std::optional<png_uint_32> pixelsPerMetreY;
    std::span<const uint8_t> exif; // written as eXIf when not empty
};

class PngWriteHandle {
public:
    explicit PngWriteHandle(PngFileSink& sink);
    ~PngWriteHandle();
    PngWriteHandle(const PngWriteHandle&) = delete;
    PngWriteHandle& operator=(const PngWriteHandle&) = delete;

    bool valid() const { return png_ != nullptr && info_ != nullptr; }
    const PngErrorState& error() const { return error_; }

    // Hands the header to libpng. False when libpng refused a field.
    bool set(const PngHeader& header);
    // True when libpng kept exactly this profile (it drops profiles it finds invalid).
    bool holdsProfile(std::span<const uint8_t> profile) const;
    // Writes the signature and the header chunks.
    bool writeHeader();

private:
    static void writeData(png_structp png, png_bytep data, size_t length);
    static void flushData(png_structp png);

    PngErrorState error_;
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
};

} // namespace pelorin::png
