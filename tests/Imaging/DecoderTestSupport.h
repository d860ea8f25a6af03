// Helpers shared by the decoder tests: decoding a file through ImageSource, ImageMagick's own
// decoding of the same file as an independent reference, and comparing the two.
#pragma once

#include "Imaging/ImageSource.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace pelorin::test {

inline Result<Image, ImageSourceError> decodeFile(const std::filesystem::path& path)
{
    auto source = ImageSource::open(path);
    if (!source)
        return unexpected(source.error());
    return (*source)->createImage();
}

inline Result<ImageProperties, ImageSourceError> propertiesOf(const std::filesystem::path& path)
{
    auto source = ImageSource::open(path);
    if (!source)
        return unexpected(source.error());
    return (*source)->properties();
}

// Runs a shell command that makes a test file; fails the test when it does not succeed.
inline void make(const std::string& commandLine)
{
    ASSERT_EQ(runCommand(commandLine).exitCode, 0) << commandLine;
}

// ImageMagick's 8-bit samples of the first frame, in `layout` ("rgb", "rgba", "gray", "cmyk").
inline std::vector<uint8_t> magickSamples(const std::filesystem::path& file, const std::string& layout)
{
    const auto out = runCommand("convert " + shellQuote(file.string() + "[0]") + " -depth 8 " + layout + ":-").output;
    return {out.begin(), out.end()};
}

// The image's pixels packed row after row, without row padding.
inline std::vector<uint8_t> packedPixels(const Image& image)
{
    const size_t rowBytes = image.width() * image.bitsPerPixel() / 8;
    std::vector<uint8_t> packed;
    packed.reserve(rowBytes * image.height());
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

inline std::vector<uint8_t> iccOf(const Image& image)
{
    if (!image.colorSpace() || !image.colorSpace()->hasICCProfile())
        return {};
    const auto bytes = image.colorSpace()->iccProfile();
    return {bytes.begin(), bytes.end()};
}

} // namespace pelorin::test
