// Opening files by content: what happens before any codec sees the bytes.
#include "engine/Imaging/ImageFileType.h"
#include "engine/Imaging/ImageLimits.h"
#include "engine/Imaging/ImageSource.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace pelorin {
namespace {

using test::TemporaryDirectory;
using Kind = ImageSourceError::Kind;

std::vector<uint8_t> bytesOf(std::string_view text)
{
    return {text.begin(), text.end()};
}

TEST(ImageFileType, RecognisesEachFormatByItsMagicBytes)
{
    EXPECT_EQ(detectImageFileType(bytesOf("\x89PNG\r\n\x1a\n....")), ImageFileType::png);
    EXPECT_EQ(detectImageFileType(bytesOf("\xFF\xD8\xFF\xE0")), ImageFileType::jpeg);
    EXPECT_EQ(detectImageFileType(bytesOf(std::string_view("II*\0\x08\0\0\0", 8))), ImageFileType::tiff);
    EXPECT_EQ(detectImageFileType(bytesOf(std::string_view("MM\0*\0\0\0\x08", 8))), ImageFileType::tiff);
    EXPECT_EQ(detectImageFileType(bytesOf(std::string_view("RIFF\x10\0\0\0WEBPVP8 ", 16))), ImageFileType::webp);
    EXPECT_EQ(detectImageFileType(bytesOf(std::string_view("BM\x36\0\0\0", 6))), ImageFileType::bmp);
    EXPECT_EQ(detectImageFileType(bytesOf(std::string_view("\0\0\0\x18" "ftypheic\0\0\0\0mif1heic", 24))), ImageFileType::heif);
    EXPECT_EQ(detectImageFileType(bytesOf(std::string_view("\0\0\0\x18" "ftypmif1\0\0\0\0mif1heic", 24))), ImageFileType::heif);
    // An MP4 video shares the container but not the brands.
    EXPECT_FALSE(detectImageFileType(bytesOf(std::string_view("\0\0\0\x18" "ftypisom\0\0\0\0isomavc1", 24))));
    EXPECT_FALSE(detectImageFileType(bytesOf("GIF89a")));
    EXPECT_FALSE(detectImageFileType(bytesOf("\x89PN")));
    EXPECT_FALSE(detectImageFileType({}));
}

TEST(ImageSource, RefusesWhatIsNotAnImageFileWithAClearReason)
{
    TemporaryDirectory dir;
    struct Case {
        std::string name;
        Kind kind;
        std::string messageFragment;
    };
    test::writeFileBytes(dir / "empty.png", {});
    test::writeFileBytes(dir / "notes.png", bytesOf("these are my holiday notes\n"));
    std::filesystem::create_directory(dir / "folder.jpg");
    ASSERT_EQ(::mkfifo((dir / "pipe.png").c_str(), 0600), 0);
    // Permissions do not stop root, but a link loop stops everyone.
    std::filesystem::create_symlink("loop-b.png", dir / "loop-a.png");
    std::filesystem::create_symlink("loop-a.png", dir / "loop-b.png");
    const std::vector<Case> cases = {
        {"empty.png", Kind::emptyFile, "empty"},
        {"notes.png", Kind::unknownFormat, "not an image"},
        {"folder.jpg", Kind::unreadableFile, "folder"},
        {"pipe.png", Kind::unreadableFile, "not a regular file"},
        {"missing.png", Kind::unreadableFile, "No such file"},
        {"loop-a.png", Kind::unreadableFile, "could not be opened"},
    };
    for (const auto& c : cases) {
        auto source = ImageSource::open(dir / c.name);
        ASSERT_FALSE(source) << c.name;
        EXPECT_EQ(source.error().kind, c.kind) << c.name;
        EXPECT_NE(source.error().description().find(c.messageFragment), std::string::npos)
            << c.name << ": " << source.error().description();
    }
}

TEST(ImageLimits, RefusesAbsurdDimensionsAndAcceptsLargePhotos)
{
    EXPECT_FALSE(checkImageDimensions(12000, 9000));
    EXPECT_FALSE(checkImageDimensions(65535, 4096));
    EXPECT_EQ(checkImageDimensions(65536, 1)->kind, Kind::tooLarge);
    EXPECT_EQ(checkImageDimensions(20000, 20000)->kind, Kind::tooLarge);
    EXPECT_EQ(checkImageDimensions(0, 10)->kind, Kind::corruptData);
    EXPECT_NE(checkImageDimensions(100000, 100000)->description().find("100000 × 100000"), std::string::npos);
}

} // namespace
} // namespace pelorin
