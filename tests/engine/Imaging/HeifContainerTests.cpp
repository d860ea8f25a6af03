// What the HEIF container and its parameter sets declare, read without decoding: checked on
// files heif-enc writes (HEVC and AV1, odd sizes so the coded size differs from the stated one)
// with their stated size forged, which must be refused before libheif decodes anything. Reads
// past the end of damaged containers, and AV1 frame sizes beyond the overall limit, are the fuzz
// target's. HEVC grids, tiles and coded sizes are pinned by the refusals' messages.
#include "DecoderTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace pelorin;
using namespace pelorin::test;

namespace {

std::filesystem::path encoded(const TemporaryDirectory& dir, const std::string& name, const std::string& options)
{
    const auto png = convertPhoto("rocket.jpg", "-resize 97x63! -strip", dir / (name + ".png"));
    const auto out = dir / (name + ".heic");
    make("heif-enc " + options + " " + q(png) + " -o " + q(out));
    return out;
}

// Rewrites the size of the first `count` 'ispe' boxes: the file then states less than it codes.
void forgeStatedSize(std::vector<uint8_t>& bytes, uint32_t width, uint32_t height, int count)
{
    const std::string type = "ispe";
    auto at = std::search(bytes.begin(), bytes.end(), type.begin(), type.end());
    for (int i = 0; i < count && at != bytes.end(); ++i) {
        auto field = at + 8; // past the type and the version and flags
        for (uint32_t value : {width, height})
            for (int shift = 24; shift >= 0; shift -= 8)
                *field++ = uint8_t(value >> shift);
        at = std::search(at + 4, bytes.end(), type.begin(), type.end());
    }
}

} // namespace

TEST(HeifContainer, SizesBeyondWhatTheFileStatesAreRefusedBeforeDecoding)
{
    TemporaryDirectory dir;
    const auto file = encoded(dir, "forged", "-q 80");
    const auto original = readFileBytes(file);
    ASSERT_TRUE(decodeFile(file));

    // The tile's stated size comes first: its stream now codes far more than it states. With
    // both forged, the grid's canvas no longer matches either.
    for (const auto& [count, fragment] : {std::pair{1, "coded frame (104 × 64)"}, {2, "canvas (97 × 63)"}}) {
        auto bytes = original;
        forgeStatedSize(bytes, 9, 5, count);
        writeFileBytes(file, bytes);
        expectError(decodeFile(file), ImageSourceError::Kind::corruptData, fragment);
    }

    // Stated far larger (3.6 gigapixels): reported, then refused unread.
    auto bytes = original;
    forgeStatedSize(bytes, 60000, 60000, 2);
    writeFileBytes(file, bytes);
    EXPECT_EQ(propertiesOf(file)->pixelWidth, 60000u);
    expectError(decodeFile(file), ImageSourceError::Kind::tooLarge);

    // AV1 frames are sized by their own headers: libheif decodes and the size is compared after.
    const auto avif = encoded(dir, "forged-av1", "-A -q 60");
    ASSERT_TRUE(decodeFile(avif));
    bytes = readFileBytes(avif);
    forgeStatedSize(bytes, 9, 5, 1);
    writeFileBytes(avif, bytes);
    expectError(decodeFile(avif), ImageSourceError::Kind::corruptData);
}
