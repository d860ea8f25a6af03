// Opening files by content: what happens before any codec sees the bytes, and how much of a file a
// header read costs.
#include "engine/Imaging/ImageLimits.h"
#include "DecoderTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

namespace pelorin {
namespace {

using test::TemporaryDirectory;
using Kind = ImageSourceError::Kind;

// Bytes this process has taken from files through read(2) and pread(2) so far.
uint64_t bytesReadSoFar()
{
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:")
            return value;
    return 0;
}

TEST(ImageSource, RefusesWhatIsNotAnImageFileWithAClearReason)
{
    TemporaryDirectory dir;
    test::writeFileBytes(dir / "empty.png", {});
    test::writeFileBytes(dir / "notes.png", {'n', 'o', 't', 'e', 's', '\n'});
    std::filesystem::create_directory(dir / "folder.jpg");
    ASSERT_EQ(::mkfifo((dir / "pipe.png").c_str(), 0600), 0);
    // Permissions do not stop root, but a link loop stops everyone.
    std::filesystem::create_symlink("loop-b.png", dir / "loop-a.png");
    std::filesystem::create_symlink("loop-a.png", dir / "loop-b.png");
    for (const auto& [name, kind, fragment] : {std::tuple{"empty.png", Kind::emptyFile, "empty"},
                                               {"notes.png", Kind::unknownFormat, "not an image"},
                                               {"folder.jpg", Kind::unreadableFile, "folder"},
                                               {"pipe.png", Kind::unreadableFile, "not a regular file"},
                                               {"missing.png", Kind::unreadableFile, "No such file"},
                                               {"loop-a.png", Kind::unreadableFile, "could not be opened"}}) {
        SCOPED_TRACE(name);
        test::expectError(ImageSource::open(dir / name), kind, fragment);
        test::expectError(ImageSource::readHeader(dir / name), kind, fragment);
    }
}

// A queue reads thousands of headers: a camera photo's costs its prefix, and a header further in
// (or a file of holes) still reads right.
TEST(ImageSource, HeaderComesFromAPrefixUnlessItLiesFurtherIn)
{
    TemporaryDirectory dir;
    const auto bigJpeg = test::samplePhoto("hubble_deep_field.jpg");
    const auto bigPng = test::samplePhoto("astronaut.png");
    ASSERT_GT(std::filesystem::file_size(bigJpeg), ImageSource::headerPrefixSize);

    // Five full application segments between the start marker and the frame header.
    const auto jpeg = test::readFileBytes(bigJpeg);
    std::vector<uint8_t> padded(jpeg.begin(), jpeg.begin() + 2);
    for (int i = 0; i < 5; ++i) {
        padded.insert(padded.end(), {0xFF, 0xEF, 0xFF, 0xFF});
        padded.insert(padded.end(), 0xFFFF - 2, uint8_t{0});
    }
    padded.insert(padded.end(), jpeg.begin() + 2, jpeg.end());
    test::writeFileBytes(dir / "late-frame.jpg", padded);
    // libtiff writes the directory after the pixels.
    test::make("convert " + test::q(bigPng) + " -compress none " + test::q(dir / "directory-at-end.tif"));

    // Each file, the one ImageMagick reads the size from, and whether the prefix is all it costs.
    for (const auto& [file, oracle, prefixOnly] :
         {std::tuple{bigJpeg, bigJpeg, true},
          {bigPng, bigPng, true},
          {dir / "late-frame.jpg", bigJpeg, false},
          {dir / "directory-at-end.tif", dir / "directory-at-end.tif", false}}) {
        SCOPED_TRACE(file);
        const uint64_t before = bytesReadSoFar();
        const auto header = ImageSource::readHeader(file);
        const uint64_t read = bytesReadSoFar() - before;
        ASSERT_TRUE(header) << header.error().description();
        EXPECT_EQ(std::to_string(header->pixelWidth) + " " + std::to_string(header->pixelHeight),
                  test::identifyFormat(oracle, "%w %h"));
        if (prefixOnly) // plus the few bytes of /proc/self/io itself
            EXPECT_LE(read, ImageSource::headerPrefixSize + 4096);
        else
            EXPECT_GE(read, std::filesystem::file_size(file));
    }
}

// Sides and areas beyond the limits are refused through each decoder's forged headers.
TEST(ImageLimits, AcceptsLargePhotosAndRefusesEmptyOnes)
{
    EXPECT_FALSE(checkImageDimensions(12000, 9000) || checkImageDimensions(65535, 4096));
    EXPECT_EQ(checkImageDimensions(0, 10)->kind, Kind::corruptData);
}

} // namespace
} // namespace pelorin
