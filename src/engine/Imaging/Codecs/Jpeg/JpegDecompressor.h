// JpegDecompressor: one libjpeg decompression over bytes in memory, with every library error and
// every warning about damaged data turned into an ImageSourceError instead of a printout, an
// abort or a silently grey-padded image.
//
// Contract: the object borrows `data`, which must outlive it. It is neither copyable nor movable
// (libjpeg keeps pointers into it); destruction releases everything libjpeg allocated. After a
// failed call the decompressor is unusable: every later call fails with the same error.
// Use from one thread at a time.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Imaging/ImageSourceError.h"

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio> // jpeglib.h needs FILE and size_t declared first
#include <optional>
#include <span>
#include <vector>

#include <jpeglib.h>

namespace pelorin {

class JpegDecompressor {
public:
    explicit JpegDecompressor(std::span<const uint8_t> data);
    ~JpegDecompressor();
    JpegDecompressor(const JpegDecompressor&) = delete;
    JpegDecompressor& operator=(const JpegDecompressor&) = delete;

    // Which metadata segments readHeader() keeps: APP1 for exifSegment(), APP2 for iccProfile().
    struct KeptSegments {
        bool exif = false;
        bool icc = false;
    };
    // Reads the markers up to the first scan.
    Result<void, ImageSourceError> readHeader(KeptSegments kept);
    // The header fields; valid after readHeader() succeeded.
    const jpeg_decompress_struct& info() const { return info_; }

    // The first APP1 segment that starts with "Exif\0\0", prefix included; empty when none.
    // Points into libjpeg's memory: valid until the decompressor is destroyed.
    std::span<const uint8_t> exifSegment() const;
    // The ICC profile reassembled from its APP2 segments; absent when there is none or its
    // segments are inconsistent.
    std::optional<std::vector<uint8_t>> iccProfile();

    // Starts decompression into `colorSpace` with the accurate integer DCT.
    Result<void, ImageSourceError> start(J_COLOR_SPACE colorSpace);
    // Reads every output row into `rows` (one pointer per row, output_height of them, each
    // at least output_width × output_components bytes long).
    Result<void, ImageSourceError> readAllRows(std::span<JSAMPROW> rows);

    // What libjpeg reports goes here; laid out for the C callbacks (the public part first).
    struct ErrorManager {
        jpeg_error_mgr pub;
        std::jmp_buf jump;
        int code = 0;
        bool failed = false;
        char message[JMSG_LENGTH_MAX] = {};
    };

private:
    ImageSourceError lastError() const;

    ErrorManager errors_{};
    jpeg_progress_mgr progress_{};
    jpeg_decompress_struct info_{};
    bool created_ = false;
};

} // namespace pelorin
