// PngCompression: how the encoder turns rows into image data, and the encoder entry point that
// takes it (encodePng uses PngCompression::preferred; benchmarks compare others).
//
// Rows are cut into bands of about bandBytes filtered bytes; each band is filtered and deflated on
// its own (on the shared worker threads when `parallel`) and the pieces are joined into one zlib
// stream: a band ends on a byte boundary without a final block (see PngBandDeflate.h), so its
// deflate blocks simply continue in the next one, and the Adler-32 checksums are combined. The file
// is the same whatever the thread count. A band starts with an empty dictionary, which costs a few
// hundred bytes per band on a photograph.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Imaging/Codecs/Png/PngRowFilter.h"
#include "engine/Imaging/Image.h"
#include "engine/Imaging/ImageProperties.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace pelorin::png {

// One way to filter and deflate a band.
struct PngMethod {
    // zlib's match-search parameters (deflateTune), to sit between two levels. zlib only, as are
    // strategy and memoryLevel.
    struct Tuning {
        int goodLength, maxLazy, niceLength, maxChain;
    };
    enum class Deflater { zlib, libdeflate };

    Deflater deflater = Deflater::zlib;
    int level = 6;                        // zlib level, 1–9, or libdeflate level, 1–12
    std::optional<Tuning> tuning;         // replaces the level's own search parameters
    int strategy = 1;                     // zlib strategy; 1 is Z_FILTERED
    int memoryLevel = 9;                  // zlib memLevel, 1–9
    std::optional<RowFilter> fixedFilter; // absent: the adaptive choice per row
};

struct PngCompression {
    // With more than one method, each band tries every method on its first trialBytes of
    // filtered rows and is compressed whole with the one whose trial came out smallest.
    std::vector<PngMethod> methods{PngMethod{}};
    size_t trialBytes = size_t{128} << 10;
    size_t bandBytes = size_t{2} << 20;
    bool parallel = true;

    // The settings chosen from measurements (bench/PngEncodeBench.cpp) for this component depth.
    static PngCompression preferred(size_t bitsPerComponent);
};

Result<void, std::string> encodePngWith(int fd, const Image& image, const ImageProperties& properties,
                                        const PngCompression& compression);

} // namespace pelorin::png
