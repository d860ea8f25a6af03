// libFuzzer target: a raw EXIF block (TIFF structure, optionally after "Exif\0\0") through
// parseExifBlock, and what it yields back through serializeExifBlock and a second parse: the
// write path must accept anything the read path produces.
#include "engine/Imaging/ExifDictionary.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz invariant violated: %s\n", what);
    std::abort();
}

void checkBlock(const pelorin::ExifBlock& block)
{
    if (block.orientation && (*block.orientation < 1 || *block.orientation > 8))
        fail("orientation outside 1...8");
    for (const auto& resolution : {block.xResolution, block.yResolution})
        if (resolution && !(std::isfinite(*resolution) && *resolution > 0))
            fail("resolution not a positive finite number");
    for (const auto& [name, value] : block.exif)
        if (name.empty())
            fail("an EXIF entry without a name");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto block = pelorin::parseExifBlock({data, size});
    if (!block)
        return 0;
    checkBlock(*block);

    const auto written = pelorin::serializeExifBlock(&block->exif, block->orientation);
    if (written.empty())
        return 0;
    const auto reread = pelorin::parseExifBlock(written);
    if (!reread)
        fail("a block we wrote does not parse");
    checkBlock(*reread);
    if (reread->orientation != block->orientation)
        fail("orientation lost in a round trip");
    return 0;
}
