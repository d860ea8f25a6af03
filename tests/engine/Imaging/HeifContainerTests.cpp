// What the HEIF container and its parameter sets declare, read without decoding: checked on
// files heif-enc writes (HEVC and AV1, odd sizes so the coded size differs from the stated one),
// and on such files with their stated size forged smaller, which must be refused before libheif
// decodes anything.
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

const HeifItem& itemOfType(const HeifContainer& container, const std::string& type)
{
    for (const HeifItem& item : container.items)
        if (item.type == type)
            return item;
    throw std::runtime_error("no " + type + " item");
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

TEST(HeifContainer, ReadsTheStatedAndCodedSizesOfRealFiles)
{
    TemporaryDirectory dir;
    {
        const auto bytes = readFileBytes(encoded(dir, "hevc", "-q 80"));
        const auto container = readHeifContainer(bytes);
        ASSERT_TRUE(container);
        // libheif stores an odd-sized HEVC picture as one padded tile of a grid that crops it.
        const HeifItem* primary = container->item(container->primaryItemId);
        ASSERT_TRUE(primary);
        EXPECT_EQ(primary->type, "grid");
        EXPECT_EQ(primary->statedSize, (PixelSize{97, 63}));
        EXPECT_EQ(derivedImageCanvas(*primary), (PixelSize{97, 63}));

        const HeifItem& tile = itemOfType(*container, "hvc1");
        ASSERT_TRUE(tile.statedSize);
        EXPECT_EQ(*tile.statedSize, (PixelSize{98, 64}));
        ASSERT_TRUE(tile.dataLocated);
        ASSERT_EQ(tile.configurations.size(), 1u);
        EXPECT_EQ(tile.configurations[0].type, "hvcC");
        ASSERT_EQ(tile.extents.size(), 1u);
        const auto sizes = hevcFrameSizes(tile.configurations[0].body, tile.extents[0]);
        ASSERT_FALSE(sizes.empty());
        for (const PixelSize& coded : sizes) {
            // Whole coding blocks, cropped to the stated size afterwards.
            EXPECT_GE(coded.width, 98u);
            EXPECT_LT(coded.width, 98u + 64);
            EXPECT_EQ(coded.width % 8, 0u);
            EXPECT_GE(coded.height, 64u);
            EXPECT_LT(coded.height, 64u + 64);
        }
        EXPECT_FALSE(derivedImageCanvas(tile));
    }
    {
        const auto bytes = readFileBytes(encoded(dir, "av1", "-A -q 60"));
        const auto container = readHeifContainer(bytes);
        ASSERT_TRUE(container);
        const HeifItem& primary = itemOfType(*container, "av01");
        EXPECT_EQ(container->primaryItemId, primary.id);
        ASSERT_EQ(primary.configurations.size(), 1u);
        EXPECT_EQ(primary.configurations[0].type, "av1C");
        ASSERT_EQ(primary.extents.size(), 1u);
        const auto sizes = av1MaximumFrameSizes(primary.configurations[0].body, primary.extents[0]);
        ASSERT_FALSE(sizes.empty());
        for (const PixelSize& frame : sizes)
            EXPECT_EQ(frame, (PixelSize{97, 63}));
    }
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
    const std::vector<uint8_t> noise = randomBytes(4096, 7);
    EXPECT_FALSE(readHeifContainer(noise));
}

TEST(HeifContainer, SizesBeyondWhatTheFileStatesAreRefusedBeforeDecoding)
{
    TemporaryDirectory dir;
    const auto file = encoded(dir, "forged", "-q 80");
    const auto original = readFileBytes(file);
    ASSERT_TRUE(decodeFile(file));

    // The tile's stated size comes first: its stream now codes far more than it states.
    auto bytes = original;
    forgeStatedSize(bytes, 9, 5, 1);
    writeFileBytes(file, bytes);
    expectError(decodeFile(file), ImageSourceError::Kind::corruptData, "coded frame (104 × 64)");

    // Both: the grid's canvas no longer matches either.
    bytes = original;
    forgeStatedSize(bytes, 9, 5, 2);
    writeFileBytes(file, bytes);
    expectError(decodeFile(file), ImageSourceError::Kind::corruptData, "canvas (97 × 63)");

    // AV1 frames are sized by their own headers: libheif decodes and the size is compared after.
    const auto avif = encoded(dir, "forged-av1", "-A -q 60");
    bytes = readFileBytes(avif);
    forgeStatedSize(bytes, 9, 5, 1);
    writeFileBytes(avif, bytes);
    expectError(decodeFile(avif), ImageSourceError::Kind::corruptData);
}
