#include "engine/Models/OutputFormat.h"
#include "engine/Models/ProcessingSettings.h"

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

} // namespace
} // namespace pelorin
