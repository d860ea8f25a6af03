// Real photographs in every input format, cut short or with damaged metadata: each must give a
// clear error value (or, for metadata damage, a good image without that metadata), never a crash
// and never a silently half-grey picture.
#include "DecoderTestSupport.h"
#include "engine/Extensions/ImageMetadata.h"

#include <gtest/gtest.h>

namespace pelorin {
namespace {

using test::shellQuote;

struct Format {
    std::string name;
    std::string make; // $P is the photo folder, $F the output file
};

class DamagedFile : public ::testing::TestWithParam<Format> {};

TEST_P(DamagedFile, TruncationIsAnErrorAtEveryCut)
{
    test::TemporaryDirectory dir;
    const auto whole = dir / ("whole." + GetParam().name);
    const std::string env = "P=" + shellQuote(test::samplePhoto("chelsea.png").parent_path().string())
        + " F=" + shellQuote(whole.string()) + "; ";
    test::make("bash -c " + shellQuote(env + GetParam().make));
    ASSERT_TRUE(test::decodeFile(whole)) << "the intact file decodes";

    const auto bytes = test::readFileBytes(whole);
    for (double fraction : {0.02, 0.1, 0.5, 0.9}) {
        SCOPED_TRACE(fraction);
        const auto cut = dir / ("cut." + GetParam().name);
        test::writeFileBytes(
            cut, std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(bytes.size() * fraction)));
        auto decoded = test::decodeFile(cut);
        ASSERT_FALSE(decoded) << "decoded anyway";
        EXPECT_NE(decoded.error().kind, ImageSourceError::Kind::tooLarge) << decoded.error().description();
        // Reading metadata of a damaged file never fails the caller: it is there or absent.
        (void)ImageMetadata::read(cut);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryInputFormat, DamagedFile,
                         ::testing::Values(Format{"png", "convert \"$P/chelsea.png\" \"$F\""},
                                           Format{"jpg", "convert \"$P/chelsea.png\" -quality 90 \"$F\""},
                                           Format{"tif", "convert \"$P/chelsea.png\" -compress lzw \"$F\""},
                                           Format{"webp", "cwebp -quiet -q 90 \"$P/chelsea.png\" -o \"$F\""},
                                           Format{"heic", "heif-enc -q 80 \"$P/chelsea.png\" -o \"$F\" >/dev/null"},
                                           Format{"bmp", "convert \"$P/chelsea.png\" bmp3:\"$F\""}),
                         [](const auto& info) { return info.param.name; });

// An EXIF block whose IFD entries point far outside it: the image still decodes, the damaged
// EXIF is simply not there.
TEST(DamagedExif, CorruptExifLeavesTheImageUsable)
{
    test::TemporaryDirectory dir;
    const auto file = dir / "exif.jpg";
    test::make("convert " + shellQuote(test::samplePhoto("chelsea.png").string()) + " " + shellQuote(file.string())
               + " && exiftool -q -overwrite_original -DateTimeOriginal='2020:01:01 00:00:00' -ISO=100 "
               + shellQuote(file.string()));
    auto bytes = test::readFileBytes(file);
    // Find the TIFF header inside APP1 and garble everything after it.
    const std::string marker = "Exif";
    auto at = std::search(bytes.begin(), bytes.end(), marker.begin(), marker.end());
    ASSERT_NE(at, bytes.end());
    const size_t tiff = static_cast<size_t>(at - bytes.begin()) + 6;
    const uint16_t segmentLength = static_cast<uint16_t>(bytes[tiff - 8] << 8 | bytes[tiff - 7]);
    for (size_t i = tiff + 4; i < tiff - 8 + segmentLength; ++i)
        bytes[i] = static_cast<uint8_t>(0xFF - i * 7);
    test::writeFileBytes(file, bytes);

    auto decoded = test::decodeFile(file);
    ASSERT_TRUE(decoded) << decoded.error().description();
    EXPECT_EQ(decoded->width(), 451u);
    // The file is still an image, so its metadata is a value, only without what was damaged.
    EXPECT_TRUE(ImageMetadata::read(file));
}

} // namespace
} // namespace pelorin
