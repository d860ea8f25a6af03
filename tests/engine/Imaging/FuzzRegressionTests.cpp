// Inputs the fuzzers (fuzz/) found, or the nastiest of what they produced, kept in
// tests/engine/Imaging/regressions/<format>-<what>.<ext>. Each must decode through ImageSource, in both
// orders of properties() and createImage(), to a clear error or to a self-consistent image whose
// size is the one properties() reported; never a crash.
#include "engine/Imaging/ImageSource.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

namespace pelorin {
namespace {

std::filesystem::path regressionFolder()
{
    return std::filesystem::path(PELORIN_SOURCE_DIR) / "tests" / "engine" / "Imaging" / "regressions";
}

std::vector<std::filesystem::path> regressionFiles()
{
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(regressionFolder(), error))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

void expectConsistent(const Image& image, const std::string& file)
{
    ASSERT_GT(image.width(), 0u) << file;
    ASSERT_GT(image.height(), 0u) << file;
    ASSERT_TRUE(image.dataProvider()) << file;
    ASSERT_EQ(image.bitsPerPixel() % 8, 0u) << file;
    ASSERT_GE(image.bitsPerPixel(), image.bitsPerComponent()) << file;
    EXPECT_GE(image.bytesPerRow(), image.width() * image.bitsPerPixel() / 8) << file;
    EXPECT_GE(image.bytes().size(), image.bytesPerRow() * image.height()) << file;
}

void expectCleanError(const ImageSourceError& error, const std::string& file)
{
    EXPECT_FALSE(error.description().empty()) << file;
    EXPECT_EQ(error.description().back(), '.') << file << ": " << error.description();
}

// One pass: the source is opened afresh, so decoder state left by one order cannot help the other.
void decodeOnce(const std::filesystem::path& path, bool decodeFirst)
{
    const std::string file = path.filename().string() + (decodeFirst ? " (decode first)" : "");
    auto source = ImageSource::open(path);
    if (!source) {
        expectCleanError(source.error(), file);
        return;
    }
    std::optional<Result<Image, ImageSourceError>> image;
    if (decodeFirst)
        image = (*source)->createImage();
    const auto properties = (*source)->properties();
    if (!decodeFirst)
        image = (*source)->createImage();

    if (!properties)
        expectCleanError(properties.error(), file);
    if (!*image) {
        expectCleanError(image->error(), file);
        return;
    }
    expectConsistent(**image, file);
    if (properties) {
        EXPECT_EQ(properties->pixelWidth, (*image)->width()) << file;
        EXPECT_EQ(properties->pixelHeight, (*image)->height()) << file;
    }
}

TEST(FuzzRegression, EveryKeptInputDecodesToAnErrorOrAConsistentImage)
{
    const auto files = regressionFiles();
    ASSERT_FALSE(files.empty()) << "no inputs in " << regressionFolder();
    for (const auto& path : files) {
        decodeOnce(path, false);
        decodeOnce(path, true);
    }
}

// A coded stream, grid or overlay whose data claims a canvas beyond the size the container states:
// libheif would decode to that other size, or allocate and clear it (gigabytes) before any size
// could be compared.
TEST(FuzzRegression, HeifCanvasesBeyondTheirHeaderAreRefusedBeforeDecoding)
{
    for (const char* name : {"heif-coded-size-differs-from-ispe.heic", "heif-grid-canvas-far-larger-than-its-header.heic",
                             "heif-overlay-tile-canvas-far-larger-than-its-header.heic"}) {
        auto source = ImageSource::open(regressionFolder() / name);
        ASSERT_TRUE(source) << name;
        const auto image = (*source)->createImage();
        ASSERT_FALSE(image) << name;
        EXPECT_EQ(image.error().kind, ImageSourceError::Kind::corruptData) << name;
        EXPECT_NE(image.error().description().find("canvas"), std::string::npos) << image.error().description();
    }
}

// A 17 × 1526 bilevel TIFF of 1.6 KB claiming 65,280 samples per pixel: its fax-coded strips
// expand to 211 MB of samples that were all unpacked, for the five any pixel can use.
TEST(FuzzRegression, TiffWithThousandsOfSamplesPerPixelIsRefusedUnread)
{
    auto source = ImageSource::open(regressionFolder() / "tiff-65280-samples-per-pixel.tif");
    ASSERT_TRUE(source);
    const auto image = (*source)->createImage();
    ASSERT_FALSE(image);
    EXPECT_EQ(image.error().kind, ImageSourceError::Kind::unsupported);
    EXPECT_NE(image.error().description().find("65280 samples per pixel"), std::string::npos)
        << image.error().description();
}

} // namespace
} // namespace pelorin
