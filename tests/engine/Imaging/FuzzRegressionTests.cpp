// Inputs the fuzzers (fuzz/) found, or the nastiest of what they produced, kept in
// tests/engine/Imaging/regressions/<format>-<what>.<ext>. Each must decode through ImageSource, in both
// orders of properties() and createImage(), to a clear error or to a self-consistent image whose
// size is the one properties() reported; never a crash.
#include "DecoderTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

namespace pelorin {
namespace {

std::filesystem::path regressionFolder()
{
    return std::filesystem::path(PELORIN_SOURCE_DIR) / "tests" / "engine" / "Imaging" / "regressions";
}

void expectConsistent(const Image& image)
{
    ASSERT_TRUE(image.width() > 0 && image.height() > 0 && image.dataProvider());
    ASSERT_EQ(image.bitsPerPixel() % 8, 0u);
    ASSERT_GE(image.bitsPerPixel(), image.bitsPerComponent());
    EXPECT_GE(image.bytesPerRow(), image.width() * image.bitsPerPixel() / 8);
    EXPECT_GE(image.bytes().size(), image.bytesPerRow() * image.height());
}

void expectCleanError(const ImageSourceError& error)
{
    EXPECT_TRUE(error.description().ends_with('.')) << error.description();
}

// One pass: the source is opened afresh, so decoder state left by one order cannot help the other.
void decodeOnce(const std::filesystem::path& path, bool decodeFirst)
{
    SCOPED_TRACE(path.filename().string() + (decodeFirst ? " (decode first)" : ""));
    auto source = ImageSource::open(path);
    if (!source) {
        expectCleanError(source.error());
        return;
    }
    std::optional<Result<Image, ImageSourceError>> image;
    if (decodeFirst)
        image = (*source)->createImage();
    const auto properties = (*source)->properties();
    if (!decodeFirst)
        image = (*source)->createImage();

    if (!properties)
        expectCleanError(properties.error());
    if (!*image) {
        expectCleanError(image->error());
        return;
    }
    expectConsistent(**image);
    if (properties) {
        EXPECT_EQ(properties->pixelWidth, (*image)->width());
        EXPECT_EQ(properties->pixelHeight, (*image)->height());
    }
}

TEST(FuzzRegression, EveryKeptInputDecodesToAnErrorOrAConsistentImage)
{
    size_t inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(regressionFolder())) {
        decodeOnce(entry.path(), false);
        decodeOnce(entry.path(), true);
        ++inputs;
    }
    EXPECT_GT(inputs, 0u) << "no inputs in " << regressionFolder();
}

// A coded stream, grid or overlay whose data claims a canvas beyond the size the container states:
// libheif would decode to that other size, or allocate and clear it (gigabytes) before any size
// could be compared.
TEST(FuzzRegression, HeifCanvasesBeyondTheirHeaderAreRefusedBeforeDecoding)
{
    for (const char* name :
         {"heif-coded-size-differs-from-ispe.heic", "heif-grid-canvas-far-larger-than-its-header.heic",
          "heif-overlay-tile-canvas-far-larger-than-its-header.heic"}) {
        SCOPED_TRACE(name);
        auto source = ImageSource::open(regressionFolder() / name);
        ASSERT_TRUE(source);
        test::expectError((*source)->createImage(), ImageSourceError::Kind::corruptData, "canvas");
    }
}

// A 17 × 1526 bilevel TIFF of 1.6 KB claiming 65,280 samples per pixel: its fax-coded strips
// expand to 211 MB of samples that were all unpacked, for the five any pixel can use.
TEST(FuzzRegression, TiffWithThousandsOfSamplesPerPixelIsRefusedUnread)
{
    auto source = ImageSource::open(regressionFolder() / "tiff-65280-samples-per-pixel.tif");
    ASSERT_TRUE(source);
    test::expectError((*source)->createImage(), ImageSourceError::Kind::unsupported, "65280 samples per pixel");
}

} // namespace
} // namespace pelorin
