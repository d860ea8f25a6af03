// What the HEIF container and its parameter sets declare, read without decoding: checked on
// files heif-enc writes (HEVC and AV1, odd sizes so the coded size differs from the stated one)
// with their stated size forged smaller, which must be refused before libheif decodes anything.
#include "DecoderTestSupport.h"
#include "engine/Imaging/Codecs/Heif/CodedFrameSize.h"
#include "engine/Imaging/Codecs/Heif/HeifContainer.h"

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

// HEVC grids, tiles and coded sizes are pinned through the refusals below (their messages give
// the sizes read); AV1 sizes only ever meet the overall limit, so they are checked here.
TEST(HeifContainer, ReadsTheFrameSizeOfAnAv1Item)
{
    TemporaryDirectory dir;
    const auto bytes = readFileBytes(encoded(dir, "av1", "-A -q 60"));
    const auto container = readHeifContainer(bytes);
    ASSERT_TRUE(container);
    const HeifItem* primary = container->item(container->primaryItemId);
    ASSERT_TRUE(primary && primary->type == "av01" && primary->configurations.size() == 1 && primary->extents.size() == 1);
    EXPECT_EQ(primary->configurations[0].type, "av1C");
    const auto sizes = av1MaximumFrameSizes(primary->configurations[0].body, primary->extents[0]);
    ASSERT_FALSE(sizes.empty());
    for (const PixelSize& frame : sizes)
        EXPECT_EQ(frame, (PixelSize{97, 63}));
}

TEST(HeifContainer, DamagedContainersReadAsLittleOrNothing)
{
    TemporaryDirectory dir;
    const auto bytes = readFileBytes(encoded(dir, "hevc", "-q 80"));
    // Every prefix: never a read past the end, never data that is not there.
    for (size_t length = 0; length < bytes.size(); length += 7) {
        const std::span<const uint8_t> prefix(bytes.data(), length);
        const auto container = readHeifContainer(prefix);
        if (!container)
            continue;
        for (const HeifItem& item : container->items)
            for (const auto& extent : item.extents) {
                EXPECT_GE(extent.data(), prefix.data()) << length;
                EXPECT_LE(extent.data() + extent.size(), prefix.data() + prefix.size()) << length;
            }
    }
    EXPECT_FALSE(readHeifContainer({}));
    EXPECT_FALSE(readHeifContainer(randomBytes(4096, 7)));
}

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

    // AV1 frames are sized by their own headers: libheif decodes and the size is compared after.
    const auto avif = encoded(dir, "forged-av1", "-A -q 60");
    auto bytes = readFileBytes(avif);
    forgeStatedSize(bytes, 9, 5, 1);
    writeFileBytes(avif, bytes);
    expectError(decodeFile(avif), ImageSourceError::Kind::corruptData);
}
