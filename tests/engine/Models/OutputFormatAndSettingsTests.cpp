#include "engine/Models/OutputFormat.h"
#include "engine/Models/ProcessingSettings.h"
#include "engine/Models/Uuid.h"

#include <gtest/gtest.h>

#include <set>

namespace pelorin {
namespace {

TEST(OutputFormat, StoredNamesAreReadExactly)
{
    for (const auto format : OutputFormats::allCases)
        EXPECT_EQ(OutputFormats::fromRawValue(OutputFormats::rawValue(format)), format);
    for (const char* stored : {"TIFF", "PNG", "jpeg", "jpg", "", " png", "png "})
        EXPECT_FALSE(OutputFormats::fromRawValue(stored)) << '"' << stored << '"';
}

TEST(ProcessingSettings, IsSupportedImageLooksOnlyAtTheLowerCasedExtension)
{
    for (const char* accepted : {"/p/a.HEIC", "/p/b.Tif", "/p/c.webp", "photo.JPG", "/p/x.y.jpeg", "/p/.hidden.png"})
        EXPECT_TRUE(ProcessingSettings::isSupportedImage(accepted)) << accepted;
    for (const char* rejected : {"/p/d", "/p/e.gif", "/p/f.png.txt", "/p/folder/", "/p/png", "/p/.png", "/p/g."})
        EXPECT_FALSE(ProcessingSettings::isSupportedImage(rejected)) << rejected;
}

TEST(Uuid, RandomIdsAreVersion4AndRoundTripThroughText)
{
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const Uuid id = Uuid::random();
        const std::string text = id.toString();
        ASSERT_EQ(text.size(), 36u);
        EXPECT_EQ(text[14], '4');
        EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;
        EXPECT_EQ(text.find_first_of("abcdef"), std::string::npos) << "upper case expected: " << text;
        EXPECT_EQ(Uuid::parse(text), id);
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 1000u);
    EXPECT_FALSE(Uuid::parse("not-a-uuid"));
    EXPECT_FALSE(Uuid::parse("123e4567-e89b-12d3-a456-42661417400g"));
}

} // namespace
} // namespace pelorin
