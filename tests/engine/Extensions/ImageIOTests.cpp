// Write failures that leave no file. What a written cutout carries (metadata merged into the empty
// properties of a write), orientation written but not applied, is CutoutFidelity's, read by exiftool
// and ImageMagick; metadata of files that are not images is DamagedFileTests'.
#include "engine/Extensions/ImageIO.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace pelorin {
namespace {

using test::makeImage;
using test::TemporaryDirectory;

TEST(ImageIO, FailuresSayWhichFileAndLeaveNoFile)
{
    TemporaryDirectory dir;
    const ImageFormat rgba{3, 2, 8, 32, 12, BitmapInfo::make(AlphaInfo::last)};
    auto refused = write(makeImage(rgba, std::vector<uint8_t>(24), std::nullopt), dir / "none.png", OutputFormat::png,
                         std::nullopt);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), ImageIOWriteError::missingColorSpace());
    EXPECT_FALSE(std::filesystem::exists(dir / "none.png"));

    auto nowhere = write(makeImage(rgba, std::vector<uint8_t>(24)), dir / "missing-folder" / "out.tiff",
                         OutputFormat::tiff, std::nullopt);
    ASSERT_FALSE(nowhere);
    EXPECT_NE(nowhere.error().description().find("out.tiff"), std::string::npos);

    // A float image passes the colour-space check but no encoder can store it.
    const Image floats = makeImage({2, 2, 32, 128, 32, BitmapInfo::make(AlphaInfo::last, BitmapInfo::floatComponents)},
                                   std::vector<uint8_t>(64));
    for (auto format : OutputFormats::allCases) {
        const auto url = dir / ("float." + std::string(OutputFormats::fileExtension(format)));
        auto failed = write(floats, url, format, std::nullopt);
        ASSERT_FALSE(failed);
        EXPECT_NE(failed.error().description().find(url.filename().string()), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(url)) << "no partial file remains";
    }
}

} // namespace
} // namespace pelorin
