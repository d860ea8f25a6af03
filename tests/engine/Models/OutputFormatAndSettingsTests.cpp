#include "engine/Models/ProcessingSettings.h"

#include <gtest/gtest.h>

namespace pelorin {
namespace {

TEST(ProcessingSettings, IsSupportedImageLooksOnlyAtTheLowerCasedExtension)
{
    for (const char* accepted : {"/p/a.HEIC", "/p/b.Tif", "/p/c.webp", "photo.JPG", "/p/x.y.jpeg", "/p/.hidden.png"})
        EXPECT_TRUE(ProcessingSettings::isSupportedImage(accepted)) << accepted;
    for (const char* rejected : {"/p/d", "/p/e.gif", "/p/f.png.txt", "/p/folder/", "/p/png", "/p/.png", "/p/g."})
        EXPECT_FALSE(ProcessingSettings::isSupportedImage(rejected)) << rejected;
}

} // namespace
} // namespace pelorin
