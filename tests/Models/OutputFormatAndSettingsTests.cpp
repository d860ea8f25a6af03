#include "Models/OutputFormat.h"
#include "Models/ProcessingJob.h"
#include "Models/ProcessingSettings.h"

#include <gtest/gtest.h>

#include <set>

namespace pelorin {
namespace {

TEST(OutputFormat, RawValuesRoundTripAndNothingElseIsAccepted)
{
    EXPECT_EQ(OutputFormats::fromRawValue("tiff"), OutputFormat::tiff);
    EXPECT_EQ(OutputFormats::fromRawValue("png"), OutputFormat::png);
    for (const char* stored : {"TIFF", "PNG", "jpeg", "jpg", "", " png", "png "})
        EXPECT_FALSE(OutputFormats::fromRawValue(stored)) << '"' << stored << '"';
    for (auto format : OutputFormats::allCases)
        EXPECT_EQ(OutputFormats::fromRawValue(OutputFormats::rawValue(format)), format);
}

TEST(OutputFormat, CasesInOrderWithTheirNamesExtensionsAndTypes)
{
    ASSERT_EQ(OutputFormats::allCases.size(), 2u);
    EXPECT_EQ(OutputFormats::allCases[0], OutputFormat::png);
    EXPECT_EQ(OutputFormats::allCases[1], OutputFormat::tiff);
    EXPECT_EQ(OutputFormats::displayName(OutputFormat::png), "PNG");
    EXPECT_EQ(OutputFormats::displayName(OutputFormat::tiff), "TIFF");
    EXPECT_EQ(OutputFormats::fileExtension(OutputFormat::png), "png");
    EXPECT_EQ(OutputFormats::fileExtension(OutputFormat::tiff), "tiff");
    EXPECT_EQ(OutputFormats::utType(OutputFormat::png), "image/png");
    EXPECT_EQ(OutputFormats::utType(OutputFormat::tiff), "image/tiff");
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

TEST(ProcessingSettings, DefaultsAndEquality)
{
    const ProcessingSettings defaults;
    EXPECT_EQ(defaults.outputFormat, OutputFormat::png);
    EXPECT_FALSE(defaults.outputDirectory);
    EXPECT_FALSE(defaults.exportMaskSeparately);
    EXPECT_EQ(defaults, ProcessingSettings());

    ProcessingSettings masks;
    masks.exportMaskSeparately = true;
    EXPECT_NE(masks, defaults);

    ProcessingSettings a, b;
    a.outputDirectory = "/out";
    EXPECT_NE(a, b);
    b.outputDirectory = "/out";
    EXPECT_EQ(a, b);
}

TEST(ProcessingJob, EqualityComparesEveryField)
{
    const Uuid id = Uuid::random();
    const ProcessingJob plain(id, "/in/a.jpg", "/out/a-cutout.png", std::nullopt, OutputFormat::png);
    const ProcessingJob same(id, "/in/a.jpg", "/out/a-cutout.png", std::nullopt, OutputFormat::png);
    const ProcessingJob withMask(id, "/in/a.jpg", "/out/a-cutout.png", "/out/a-cutout-mask.png", OutputFormat::png);
    const ProcessingJob otherFormat(id, "/in/a.jpg", "/out/a-cutout.png", std::nullopt, OutputFormat::tiff);
    const ProcessingJob otherId(Uuid::random(), "/in/a.jpg", "/out/a-cutout.png", std::nullopt, OutputFormat::png);
    EXPECT_EQ(plain, same);
    EXPECT_NE(plain, withMask);
    EXPECT_NE(plain, otherFormat);
    EXPECT_NE(plain, otherId);
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
