// libFuzzer target: a file's bytes through embeddedThumbnail, which hands them to exiv2 as a whole
// file (every container it recognises, not only EXIF blocks). Whatever comes back must be a
// bounded JPEG.
#include "engine/Imaging/ExifDictionary.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto thumbnail = pelorin::embeddedThumbnail({data, size});
    if (!thumbnail.empty()
        && (thumbnail.size() < 4 || thumbnail.size() > 64 * 1024 || thumbnail[0] != 0xff || thumbnail[1] != 0xd8)) {
        std::fprintf(stderr, "fuzz invariant violated: a thumbnail that is not a bounded JPEG\n");
        std::abort();
    }
    return 0;
}
