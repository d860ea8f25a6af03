// One real photograph per input format goes end to end: decode, read metadata, composite a mask,
// write PNG and TIFF, with and without edge refinement. exiftool and ImageMagick then check that the
// cutout kept what the source had: ICC profile byte for byte, bit depth, orientation, resolution,
// EXIF sub-IFD tags, alpha equal to the (refined) mask, colour equal to the stored pixels (with
// refinement: wherever alpha is 0 or full); and that GPS and camera make/model are gone.
#include "engine/Extensions/ImageAlpha.h"
#include "engine/Extensions/ImageMetadata.h"
#include "engine/Imaging/ImageSource.h"
#include "engine/Matting/EdgeRefiner.h"
#include "engine/Matting/ForegroundEstimator.h"
#include "engine/Services/ImageProcessor.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace pelorin {
namespace {

using test::exiftoolTag;
using test::runCommand;
using test::shellQuote;

const std::filesystem::path iccProfile = "/usr/share/color/icc/ghostscript/a98.icc";

struct SourceCase {
    std::string file; // name of the source in the fixture folder
    std::string make; // shell commands; $P is the photo folder, $ICC the profile, $F the file
    size_t bits;      // bits per component the source decodes to
    bool hasICC;
    std::optional<int> orientation;
    std::optional<double> dpi;
    bool hasExif;
};

const std::string exifTags =
    "exiftool -q -overwrite_original -n -Orientation=6 -DateTimeOriginal='2021:03:04 05:06:07' "
    "-ExposureTime=0.004 -FNumber=2.8 -ISO=200 -Make=Acme -Model=Cam9 -GPSLatitude=48.85 "
    "-GPSLatitudeRef=N -GPSLongitude=2.35 -GPSLongitudeRef=E \"$F\"";

std::vector<SourceCase> sourceCases()
{
    // exiftool creates an EXIF resolution with the JFIF density (300 for the HEIC source, made
    // from a JPEG) or its default of 72 dpi (the WebP source), which those formats report.
    const std::string assign = " -profile \"$ICC\" -density 300 -units PixelsPerInch ";
    return {
        {"photo8.png", "convert \"$P/chelsea.png\"" + assign + "\"$F\" && " + exifTags, 8, true, 6, 300, true},
        {"photo16.png", "convert \"$P/chelsea.png\" -depth 16 -gamma 1.1" + assign + "PNG48:\"$F\" && " + exifTags, 16,
         true, 6, 300, true},
        {"photo.jpg", "convert \"$P/chelsea.png\" -quality 95" + assign + "\"$F\" && " + exifTags, 8, true, 6, 300,
         true},
        {"photo.jpeg", "convert \"$P/rocket.jpg\" -density 72 -units PixelsPerInch \"$F\"", 8, false, std::nullopt, 72,
         false},
        {"photo8.tif", "convert \"$P/chelsea.png\" -endian LSB -compress zip" + assign + "\"$F\" && " + exifTags, 8,
         true, 6, 300, true},
        {"photo16.tiff", "convert \"$P/chelsea.png\" -depth 16 -endian MSB" + assign + "\"$F\" && " + exifTags, 16,
         true, 6, 300, true},
        {"photo16le.tiff", "convert \"$P/chelsea.png\" -depth 16 -endian LSB" + assign + "\"$F\" && " + exifTags, 16,
         true, 6, 300, true},
        {"photo.webp",
         "convert \"$P/chelsea.png\" -quality 95 \"$F.tmp.webp\" && webpmux -set icc \"$ICC\" \"$F.tmp.webp\" -o "
         "\"$F\" && rm \"$F.tmp.webp\" && "
             + exifTags,
         8, true, 6, 72, true},
        // The container's rotation is applied on decode, so the orientation is reported as 1.
        {"photo.heic",
         "convert \"$P/chelsea.png\" -quality 95" + assign + "\"$F.jpg\" && F=\"$F.jpg\" && " + exifTags
             + " && heif-enc -q 90 \"$F\" -o \"${F%.jpg}\" >/dev/null && rm \"$F\"",
         8, true, 1, 300, true},
        {"photo16.heif",
         "convert \"$P/chelsea.png\" -depth 16 -gamma 1.1 PNG48:\"$F.png\" && heif-enc -b 10 -q 90 \"$F.png\" -o "
         "\"$F\" >/dev/null && rm \"$F.png\"",
         16, false, 1, std::nullopt, false},
        {"photo.bmp", "convert \"$P/chelsea.png\" -density 300 -units PixelsPerInch bmp3:\"$F\"", 8, false,
         std::nullopt, 300, false},
    };
}

class CutoutFidelity : public ::testing::TestWithParam<std::tuple<SourceCase, bool>> {
protected:
    test::TemporaryDirectory folder_;
};

// A soft mask with every value 0…255 somewhere: a diagonal ramp with a hard-edged hole.
Image makeMask(size_t width, size_t height)
{
    std::vector<uint8_t> bytes(width * height);
    for (size_t y = 0; y < height; ++y)
        for (size_t x = 0; x < width; ++x) {
            const bool hole = x > width / 3 && x < width / 2 && y > height / 3 && y < height / 2;
            bytes[y * width + x] = hole ? 0 : static_cast<uint8_t>((x + 2 * y) % 256);
        }
    return test::makeImage({width, height, 8, 8, width, 0}, bytes, linearGrayColorSpace());
}

// What a command prints, as bytes.
std::vector<uint8_t> outputOf(const std::string& command)
{
    const auto text = runCommand(command).output;
    return {text.begin(), text.end()};
}

TEST_P(CutoutFidelity, CutoutKeepsWhatTheSourceHad)
{
    const auto& [c, refine] = GetParam();
    const auto source = folder_.path() / c.file;
    const std::string env = "P=" + shellQuote(test::samplePhoto("chelsea.png").parent_path().string())
        + " ICC=" + shellQuote(iccProfile.string()) + " F=" + shellQuote(source.string()) + "; ";
    ASSERT_EQ(runCommand("bash -c " + shellQuote(env + c.make)).exitCode, 0) << c.make;
    ASSERT_TRUE(std::filesystem::exists(source));

    const Image image = ImageSource::open(source).value()->createImage().value();
    ASSERT_EQ(image.bitsPerComponent(), c.bits);
    const auto metadata = ImageMetadata::read(source);
    ASSERT_TRUE(metadata);
    EXPECT_EQ(metadata->orientation, c.orientation);

    Image mask = makeMask(image.width(), image.height());
    if (refine)
        mask = EdgeRefiner({.gridSize = 256}).refine(image, mask).value(); // a grid coarser than the photo
    const ImageProcessor processor;
    auto cutout = processor.composite(image, mask);
    ASSERT_TRUE(cutout) << cutout.error().description();
    if (refine)
        cutout = ForegroundEstimator().estimate(*cutout).value();

    // exiftool extracts profiles; the cutout must carry the source's, whatever it is.
    const auto iccOf = [](const std::filesystem::path& file) {
        return outputOf("exiftool -b -icc_profile " + shellQuote(file.string()));
    };
    const auto sourceICC = iccOf(source);
    ASSERT_TRUE(!c.hasICC || sourceICC == test::readFileBytes(iccProfile)) << "fixture lacks its profile";

    for (auto format : OutputFormats::allCases) {
        const auto out = folder_.path()
            / (source.stem().string() + "-" + source.extension().string().substr(1) + "-cutout."
               + std::string(OutputFormats::fileExtension(format)));
        SCOPED_TRACE(out.filename().string());
        ASSERT_TRUE(processor.save(*cutout, out, format, metadata));

        EXPECT_EQ(iccOf(out), sourceICC) << "ICC profile differs";

        EXPECT_EQ(test::identifyFormat(out, "%z"), std::to_string(c.bits));
        EXPECT_EQ(exiftoolTag(out, "Orientation"), c.orientation ? std::to_string(*c.orientation) : "");
        const auto back = ImageMetadata::read(out);
        ASSERT_TRUE(back);
        if (c.dpi) {
            ASSERT_TRUE(back->dpiWidth && back->dpiHeight);
            // PNG stores whole pixels per metre, so 300 dpi comes back as 299.9994.
            EXPECT_NEAR(*back->dpiWidth, *c.dpi, 0.05);
            EXPECT_NEAR(*back->dpiHeight, *c.dpi, 0.05);
            const auto xres = exiftoolTag(out, format == OutputFormat::png ? "PixelsPerUnitX" : "XResolution");
            EXPECT_NEAR(std::stod(xres.empty() ? "0" : xres), format == OutputFormat::png ? *c.dpi / 0.0254 : *c.dpi,
                        0.6);
        } else {
            EXPECT_FALSE(back->dpiWidth);
        }
        for (const auto& [tag, value] : {std::pair{"DateTimeOriginal", "2021:03:04 05:06:07"},
                                         {"ExposureTime", "0.004"},
                                         {"FNumber", "2.8"},
                                         {"ISO", "200"}})
            EXPECT_TRUE(!c.hasExif || exiftoolTag(out, tag) == value) << tag << ": " << exiftoolTag(out, tag);
        for (const char* dropped : {"GPSLatitude", "GPSLongitude", "Make", "Model"})
            EXPECT_EQ(exiftoolTag(out, dropped), "") << dropped << " must not reach a cutout";
        EXPECT_TRUE(format != OutputFormat::tiff || exiftoolTag(out, "Compression") == "5") << "TIFF without LZW";

        // Pixels, read by ImageMagick: colour as the source stored it, alpha as the mask; 16-bit big-endian.
        const auto rgba = outputOf("convert " + shellQuote(out.string()) + " -depth " + std::to_string(c.bits)
                                   + " -endian MSB rgba:-");
        const size_t c16 = c.bits / 8, w = image.width(), h = image.height();
        ASSERT_EQ(rgba.size(), w * h * 4 * c16);
        const auto read = [c16](const uint8_t* p, bool big) {
            return c16 == 1 ? p[0] : big ? p[0] << 8 | p[1] : p[1] << 8 | p[0];
        };
        const bool srcBig = BitmapInfo::is16BitBigEndian(image.bitmapInfo());
        size_t colourMismatches = 0, alphaMismatches = 0, softPixels = 0;
        for (size_t y = 0; y < h; ++y)
            for (size_t x = 0; x < w; ++x) {
                const uint8_t* s = image.bytes().data() + y * image.bytesPerRow() + x * (image.bitsPerPixel() / 8);
                const uint8_t* o = rgba.data() + (y * w + x) * 4 * c16;
                const uint8_t m = mask.bytes()[y * w + x];
                const bool soft = refine && m != 0 && m != 255;
                softPixels += soft;
                for (size_t ch = 0; ch < 3 && !soft; ++ch)
                    colourMismatches += read(s + ch * c16, srcBig) != read(o + ch * c16, true);
                alphaMismatches += read(o + 3 * c16, true) != mask.bytes()[y * w + x] * (c16 == 2 ? 257 : 1);
            }
        EXPECT_EQ(colourMismatches, 0u);
        EXPECT_EQ(alphaMismatches, 0u);
        EXPECT_LT(softPixels, w * h) << "no pixel left to check the colour of";
    }
}

INSTANTIATE_TEST_SUITE_P(EveryInputFormat, CutoutFidelity,
                         ::testing::Combine(::testing::ValuesIn(sourceCases()), ::testing::Bool()),
                         [](const auto& info) {
                             std::string name =
                                 std::get<0>(info.param).file + (std::get<1>(info.param) ? "_refined" : "");
                             std::ranges::replace_if(
                                 name, [](unsigned char ch) { return !std::isalnum(ch); }, '_');
                             return name;
                         });

} // namespace
} // namespace pelorin
