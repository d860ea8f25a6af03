// PngReadHandle: a libpng read struct and its info struct over PNG bytes held in memory, with
// quiet error handling. Each step returns false after a libpng error; error() then says why.
// Owns the libpng structs (freed on destruction); does not own the bytes, which must outlive it.
// Not copyable or movable: libpng keeps pointers into it.
#pragma once

#include "engine/Imaging/Codecs/Png/PngErrorHandler.h"

#include <png.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace pelorin::png {

class PngReadHandle {
public:
    explicit PngReadHandle(std::span<const uint8_t> file);
    ~PngReadHandle();
    PngReadHandle(const PngReadHandle&) = delete;
    PngReadHandle& operator=(const PngReadHandle&) = delete;

    // False when libpng could not allocate its structs.
    bool valid() const { return png_ != nullptr && info_ != nullptr; }
    png_structp png() const { return png_; }
    png_infop info() const { return info_; }
    const PngErrorState& error() const { return error_; }

    // Reads the signature and every chunk up to the first IDAT.
    bool readInfo();
    // Sets the output layout: palettes and low depths expanded to 8 bits, tRNS to an alpha
    // channel, interlacing undone, 16-bit samples swapped to little-endian when `swap16`.
    bool prepareOutput(bool swap16);
    // Reads all rows (each of png_get_rowbytes bytes) and the chunks after the image data.
    bool readImage(png_bytepp rows);

private:
    struct Input {
        const uint8_t* data;
        size_t size;
        size_t offset;
    };
    static void readData(png_structp png, png_bytep out, size_t length);

    Input input_;
    PngErrorState error_;
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
};

} // namespace pelorin::png
