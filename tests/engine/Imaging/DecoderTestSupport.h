// Helpers shared by the decoder tests: decoding a file through ImageSource, ImageMagick's own
// decoding of the same file as an independent reference, and comparing the two.
#pragma once

#include "engine/Imaging/ImageSource.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace pelorin::test {

// Decodes image 0, or reads its header, from a file or from bytes in memory, opened by content.
template <typename Input>
Result<Image, ImageSourceError> decodeFile(const Input& input)
{
    auto source = ImageSource::open(input);
    if (!source)
        return unexpected(source.error());
    return (*source)->createImage();
}

template <typename Input>
Result<ImageProperties, ImageSourceError> propertiesOf(const Input& input)
{
    auto source = ImageSource::open(input);
    if (!source)
        return unexpected(source.error());
    return (*source)->properties();
}

inline FileBytes shared(std::vector<uint8_t> bytes)
{
    return std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
}

// The value of a decode or header read that must succeed; otherwise the test fails there.
template <typename T>
T ok(Result<T, ImageSourceError> result)
{
    if (!result) {
        ADD_FAILURE() << result.error().description();
        throw std::runtime_error("decoding failed");
    }
    return std::move(*result);
}

inline std::string q(const std::filesystem::path& path)
{
    return shellQuote(path.string());
}

// Runs a shell command that makes a test file; fails the test when it does not succeed.
inline void make(const std::string& commandLine)
{
    ASSERT_EQ(runCommand(commandLine).exitCode, 0) << commandLine;
}

// Writes `out` from a cached sample photograph with ImageMagick `options`; returns `out`.
inline std::filesystem::path convertPhoto(const std::string& photo, const std::string& options,
                                          const std::filesystem::path& out)
{
    make("convert " + q(samplePhoto(photo)) + " " + options + " " + q(out));
    return out;
}

// ImageMagick's samples of the first frame in `layout` ("rgb", "rgba", "gray", "graya", "cmyk") at
// `depth` bits (16 little-endian, 32 as float), after `options`.
inline std::vector<uint8_t> magickRaw(const std::filesystem::path& file, const std::string& layout, int depth = 8,
                                      const std::string& options = "")
{
    const std::string fp = depth == 32 ? " -define quantum:format=floating-point" : "";
    const auto out = runCommand("convert " + shellQuote(file.string() + "[0]") + " " + options + fp + " -depth "
                                + std::to_string(depth) + " -endian LSB " + layout + ":-")
                         .output;
    return {out.begin(), out.end()};
}

// A failed decode of the expected kind whose description contains `fragment`.
template <typename T>
void expectError(const Result<T, ImageSourceError>& result, ImageSourceError::Kind kind,
                 const std::string& fragment = "")
{
    ASSERT_FALSE(result) << "succeeded; expected an error containing \"" << fragment << '"';
    EXPECT_EQ(result.error().kind, kind) << result.error().description();
    EXPECT_NE(result.error().description().find(fragment), std::string::npos) << result.error().description();
}

// The image's pixels packed row after row, without row padding.
inline std::vector<uint8_t> packedPixels(const Image& image)
{
    const size_t rowBytes = image.width() * image.bitsPerPixel() / 8;
    std::vector<uint8_t> packed;
    for (size_t y = 0; y < image.height(); ++y) {
        const auto row = image.bytes().subspan(y * image.bytesPerRow(), rowBytes);
        packed.insert(packed.end(), row.begin(), row.end());
    }
    return packed;
}

// The largest difference between two equally long sample lists; 256 when the lengths differ.
inline int maxDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    if (a.size() != b.size())
        return 256;
    int worst = 0;
    for (size_t i = 0; i < a.size(); ++i)
        worst = std::max(worst, std::abs(int{a[i]} - int{b[i]}));
    return worst;
}

// Decodes a photograph stored as 8-bit RGB and checks what every decoder must report for it: the
// same size from properties(), packed 8-bit RGB rows without alpha. (Comparing its samples with
// ImageMagick's checks the size.)
inline std::optional<Image> decodeRgb8Photo(const std::filesystem::path& path)
{
    auto properties = propertiesOf(path);
    auto image = decodeFile(path);
    if (!properties || !image) {
        ADD_FAILURE() << (properties ? image.error() : properties.error()).description();
        return std::nullopt;
    }
    const size_t w = image->width(), h = image->height();
    EXPECT_EQ(properties->pixelWidth, w);
    EXPECT_EQ(properties->pixelHeight, h);
    EXPECT_EQ(image->format(), (ImageFormat{w, h, 8, 24, w * 3, BitmapInfo::make(AlphaInfo::none)}));
    return std::move(*image);
}

} // namespace pelorin::test
