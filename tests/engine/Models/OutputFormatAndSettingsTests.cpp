#include "engine/Models/OutputFormat.h"
#include "engine/Models/ProcessingJob.h"
#include "engine/Models/ProcessingSettings.h"

#include <gtest/gtest.h>

#include <set>

namespace pelorin {
namespace {

TEST(OutputFormat, CasesInOrderWithTheirStoredNamesExtensionsAndTypes)
{
    struct Case {
        OutputFormat format;
        const char *raw, *display, *extension, *type;
    };
    const Case cases[] = {{OutputFormat::png, "png", "PNG", "png", "image/png"},
                          {OutputFormat::tiff, "tiff", "TIFF", "tiff", "image/tiff"}};
    ASSERT_EQ(OutputFormats::allCases.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(OutputFormats::allCases[i], c.format);
        EXPECT_EQ(OutputFormats::rawValue(c.format), c.raw);
        EXPECT_EQ(OutputFormats::fromRawValue(c.raw), c.format);
        EXPECT_EQ(OutputFormats::displayName(c.format), c.display);
        EXPECT_EQ(OutputFormats::fileExtension(c.format), c.extension);
        EXPECT_EQ(OutputFormats::utType(c.format), c.type);
    }
    for (const char* stored : {"TIFF", "PNG", "jpeg", "jpg", "", " png", "png "})
        EXPECT_FALSE(OutputFormats::fromRawValue(stored)) << '"' << stored << '"';
}

TEST(ProcessingSettings, SupportedExtensionsAreTheNineLowerCaseNames)
{
    const auto& extensions = ProcessingSettings::supportedExtensions();
    const std::set<std::string> expected = {"png", "jpg", "jpeg", "heic", "heif", "tiff", "tif", "webp", "bmp"};
    EXPECT_EQ(std::set<std::string>(extensions.begin(), extensions.end()), expected);
}

TEST(ProcessingSettings, IsSupportedImageLooksOnlyAtTheLowerCasedExtension)
{
    for (const char* accepted : {"/p/a.HEIC", "/p/b.Tif", "/p/c.webp", "photo.JPG", "/p/x.y.jpeg", "/p/.hidden.png"})
        EXPECT_TRUE(ProcessingSettings::isSupportedImage(accepted)) << accepted;
    for (const char* rejected : {"/p/d", "/p/e.gif", "/p/f.png.txt", "/p/folder/", "/p/png", "/p/.png", "/p/g."})
        EXPECT_FALSE(ProcessingSettings::isSupportedImage(rejected)) << rejected;
}

TEST(ProcessingSettings, DefaultsAndEqualityOverEveryField)
{
    const ProcessingSettings defaults;
    EXPECT_EQ(defaults.outputFormat, OutputFormat::png);
    EXPECT_FALSE(defaults.outputDirectory);
    EXPECT_FALSE(defaults.exportMaskSeparately);
    ProcessingSettings masks, folder, tiff;
    masks.exportMaskSeparately = true;
    folder.outputDirectory = "/out";
    tiff.outputFormat = OutputFormat::tiff;
    for (const auto& other : {masks, folder, tiff})
        EXPECT_NE(other, defaults);
    EXPECT_EQ(folder, ProcessingSettings{folder});

    const Uuid id = Uuid::random();
    const ProcessingJob plain(id, "/in/a.jpg", "/out/a-cutout.png", std::nullopt, OutputFormat::png);
    EXPECT_EQ(plain, ProcessingJob(id, "/in/a.jpg", "/out/a-cutout.png", std::nullopt, OutputFormat::png));
    const ProcessingJob withMask(id, "/in/a.jpg", "/out/a-cutout.png", "/out/a-cutout-mask.png", OutputFormat::png);
    for (const auto& other : {withMask, ProcessingJob(id, "/in/a.jpg", "/out/a-cutout.png", std::nullopt, OutputFormat::tiff),
                              ProcessingJob(Uuid::random(), "/in/a.jpg", "/out/a-cutout.png", std::nullopt, OutputFormat::png)})
        EXPECT_NE(plain, other);
    EXPECT_EQ(withMask.maskOutputURL(), std::filesystem::path("/out/a-cutout-mask.png"));
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
