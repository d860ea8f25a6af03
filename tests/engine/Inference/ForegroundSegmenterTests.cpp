// The segmenter around the network: what the model is fed (in every pixel layout), how its output
// becomes a mask buffer, the no-subject rule, and the real model on pictures without a subject.
#include "engine/Inference/ForegroundSegmenter.h"

#include "engine/Imaging/LanczosResampler.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <tuple>

namespace pelorin {
namespace {

using test::makeImage;

// A stand-in network: records what it is given and answers with `respond(input)`.
class FakeNetwork final : public Network {
public:
    using Response = std::function<std::vector<float>(std::span<const float>)>;

    FakeNetwork(size_t height, size_t width, Response respond) : Network(height, width), respond_(std::move(respond)) {}
    static std::shared_ptr<FakeNetwork> constant(size_t height, size_t width, std::vector<float> output)
    {
        return std::make_shared<FakeNetwork>(
            height, width, [output](std::span<const float>) { return output; });
    }

    Result<AlignedFloats, std::string> run(std::span<const float> input) const override
    {
        {
            std::lock_guard lock(mutex_);
            ++runs;
            lastInput.assign(input.begin(), input.end());
        }
        const auto output = respond_(input);
        return AlignedFloats(output.begin(), output.end());
    }

    mutable std::vector<float> lastInput; // read when no run is under way
    mutable std::atomic<int> runs = 0;

private:
    Response respond_;
    mutable std::mutex mutex_;
};

// Seeded 16-bit colours and alpha of a small picture, stored in any layout. The two bytes of a value
// differ, so a 16-bit store read in the wrong byte order shows.
struct Picture {
    size_t width, height;
    std::vector<uint16_t> rgb, alpha; // 3 colour values per pixel, 1 alpha

    static Picture random(size_t width, size_t height, uint32_t seed)
    {
        const auto bytes = test::randomBytes(width * height * 4, seed);
        Picture p{width, height, {}, {}};
        for (size_t i = 0; i < bytes.size(); ++i)
            (i % 4 == 3 ? p.alpha : p.rgb).push_back(uint16_t(bytes[i] << 8 | (bytes[i] ^ 0xA5)));
        return p;
    }

    // Components in memory order; `order` names each: 'r', 'g', 'b', 'a' (alpha), 'x' (padding),
    // 'k' (grey, from red). 8-bit stores keep the top bytes; 7 spare bytes end every row.
    Image store(const std::string& order, size_t bitsPerComponent, uint32_t bitmapInfo) const
    {
        const size_t bytesPerComponent = bitsPerComponent / 8, pixel = order.size() * bytesPerComponent;
        const size_t row = width * pixel + 7;
        const bool big = BitmapInfo::is16BitBigEndian(bitmapInfo);
        std::vector<uint8_t> bytes(row * height, 0x5A);
        const std::string_view rgbk = "rgbk";
        for (size_t i = 0; i < width * height; ++i)
            for (size_t k = 0; k < order.size(); ++k) {
                const char name = order[k];
                // 'k' reads red: "rgbk" % 3.
                const uint16_t v = name == 'a' ? alpha[i] : name == 'x' ? 0x1234 : rgb[3 * i + rgbk.find(name) % 3];
                uint8_t* s = bytes.data() + (i / width) * row + (i % width) * pixel + k * bytesPerComponent;
                s[bytesPerComponent == 1 || big ? 0 : 1] = uint8_t(v >> 8);
                if (bytesPerComponent == 2)
                    s[big ? 1 : 0] = uint8_t(v);
            }
        const bool grey = order.find('k') != std::string::npos;
        return makeImage({width, height, bitsPerComponent, pixel * 8, row, bitmapInfo}, std::move(bytes),
                         ColorSpace::named(grey ? ColorSpace::Name::deviceGray : ColorSpace::Name::sRGB));
    }

    // What the model should see: each channel resampled on its own (the resampler is checked
    // against a direct reference in LanczosResamplerTests), clamped, centred as (v − 128) / 256, planar.
    std::vector<float> modelInput(size_t inputWidth, size_t inputHeight, size_t bitsPerComponent) const
    {
        std::vector<uint16_t> values = rgb; // host order: little-endian
        for (uint16_t& v : values)
            v = bitsPerComponent == 8 ? uint16_t((v >> 8) * 257) : v;
        const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(values.data()), values.size() * 2);
        auto resampler = LanczosResampler::make(width, height, inputWidth, inputHeight);
        EXPECT_TRUE(resampler);
        std::vector<float> input(3 * inputWidth * inputHeight);
        for (size_t c = 0; c < 3; ++c) {
            const PlaneView plane{bytes.subspan(2 * c), width, height, width * 6, 6, SampleFormat::uint16LittleEndian};
            const std::span<float> out(&input[c * inputWidth * inputHeight], inputWidth * inputHeight);
            EXPECT_TRUE(resampler && resampler->resample(plane, out));
            for (float& v : out)
                v = (std::clamp(v, 0.0f, 1.0f) * 255.0f - 128.0f) / 256.0f;
        }
        return input;
    }
};

Image blankImage(size_t width, size_t height)
{
    return makeImage({width, height, 8, 24, width * 3, 0}, std::vector<uint8_t>(width * height * 3));
}

// ---- the model's input ----------------------------------------------------------------------

std::vector<float> inputFor(const Image& image, size_t inputWidth, size_t inputHeight)
{
    auto network = FakeNetwork::constant(inputHeight, inputWidth, std::vector<float>(inputWidth * inputHeight, 0.f));
    auto detected = ForegroundSegmenter(network).detect(image);
    EXPECT_TRUE(detected) << detected.error();
    return network->lastInput;
}

void expectClose(const std::vector<float>& actual, const std::vector<float>& expected, const std::string& what)
{
    ASSERT_EQ(actual.size(), expected.size()) << what;
    double worst = 0.0;
    size_t where = 0;
    for (size_t i = 0; i < actual.size(); ++i)
        if (const double d = std::fabs(double(actual[i]) - expected[i]); !(d <= worst)) // NaN is worst
            worst = d, where = i;
    EXPECT_LE(worst, 1e-5) << what << ": largest difference at value " << where << " (" << actual[where] << " vs "
                           << expected[where] << ")";
}

// Unscaled, shrunk, enlarged and stretched; then every branch of the pixel reader: colour after or
// before the extra component, 8-bit, 16-bit in each byte order, grey (which alpha info means which
// component order is PixelLayout's, checked through RowNormalizer). Alpha is ignored.
TEST(ForegroundSegmenterInput, IsTheResampledColourPlanesWhateverTheSizeAndLayout)
{
    for (auto [width, height, inW, inH] :
         {std::array<size_t, 4>{6, 4, 6, 4}, {37, 23, 16, 12}, {9, 7, 16, 12}, {40, 5, 8, 16}}) {
        const auto picture = Picture::random(width, height, uint32_t(width * 100 + height));
        expectClose(inputFor(picture.store("rgb", 8, 0), inW, inH), picture.modelInput(inW, inH, 8),
                    std::to_string(width) + "×" + std::to_string(height) + " → " + std::to_string(inW));
    }

    auto picture = Picture::random(21, 13, 5);
    using BitmapInfo::make;
    const std::tuple<const char*, size_t, uint32_t> layouts[] = {
        {"rgba", 8, make(AlphaInfo::premultipliedLast)},
        {"xrgb", 8, make(AlphaInfo::noneSkipFirst)},
        {"rgb", 16, make(AlphaInfo::none, BitmapInfo::byteOrder16Little)},
        {"rgb", 16, make(AlphaInfo::none)},
        {"argb", 16, make(AlphaInfo::first, BitmapInfo::byteOrder16Big)},
        {"k", 8, 0},
        {"ka", 16, make(AlphaInfo::last)},
    };
    for (const auto& [order, bits, info] : layouts) {
        if (order[0] == 'k') // grey: the same grey in all three channels
            for (size_t i = 0; i < picture.alpha.size(); ++i)
                picture.rgb[3 * i + 1] = picture.rgb[3 * i + 2] = picture.rgb[3 * i];
        expectClose(inputFor(picture.store(order, bits, info), 16, 16), picture.modelInput(16, 16, bits),
                    std::string(order) + " " + std::to_string(bits) + "-bit, info " + std::to_string(info));
    }
}

// Layouts no decoder produces (sub-byte samples, alpha only) are not listed: the same branches.
TEST(ForegroundSegmenterInput, UnreadableImagesAreRefusedWithoutRunningTheModel)
{
    auto network = FakeNetwork::constant(8, 8, std::vector<float>(64, 1.f));
    const ForegroundSegmenter segmenter(network);
    const auto srgb = ColorSpace::named(ColorSpace::Name::sRGB);
    const std::vector<uint8_t> pixels(4096, 0x80);
    const std::pair<Image, const char*> cases[] = {
        {makeImage({4, 4, 32, 96, 48, BitmapInfo::floatComponents}, pixels),
         "Floating-point images cannot be segmented."},
        {makeImage({4, 4, 8, 32, 16, 0}, pixels, ColorSpace::named(ColorSpace::Name::deviceCMYK)),
         "CMYK images cannot be segmented."},
        {makeImage({4, 4, 8, 24, 11, 0}, pixels), "The image's rows are shorter than its pixels."},
        {makeImage({4, 4, 8, 24, 12, 0}, std::vector<uint8_t>(47)), "The image's pixel data is truncated."},
        {Image({4, 4, 8, 24, 12, 0}, srgb, nullptr), "The image's pixel data is truncated."},
        {makeImage({0, 4, 8, 24, 0, 0}, pixels), "The image has no pixels."},
    };
    for (const auto& [image, message] : cases) {
        auto detected = segmenter.detect(image);
        ASSERT_FALSE(detected) << message;
        EXPECT_EQ(detected.error(), message);
    }
    EXPECT_EQ(network->runs, 0);
    // Exactly enough bytes: the last row needs only its pixels.
    EXPECT_TRUE(segmenter.detect(makeImage({4, 4, 8, 24, 16, 0}, std::vector<uint8_t>(16 * 3 + 12))));
}

// ---- from the network's output to the mask ----------------------------------------------------

// Reads a float mask buffer into packed rows, checking the padding stays outside them.
std::vector<float> maskValues(const MaskPixelBuffer& mask)
{
    const MaskPixelBuffer::ReadOnlyLock lock(mask);
    std::vector<float> values(mask.width() * mask.height());
    for (size_t y = 0; y < mask.height(); ++y)
        std::memcpy(&values[y * mask.width()], mask.baseAddress() + y * mask.bytesPerRow(),
                    mask.width() * sizeof(float));
    return values;
}

TEST(ForegroundSegmenterMask, IsTheOutputResampledToTheSourceInFloatRows)
{
    // Rows and columns both vary, with hard edges, so any misplaced row or column shows.
    const size_t n = 16;
    std::vector<float> output(n * n);
    for (size_t y = 0; y < n; ++y)
        for (size_t x = 0; x < n; ++x)
            output[y * n + x] = (x < 9 && y > 3) ? 1.0f : float(y) / 40.0f;
    const ForegroundSegmenter segmenter(FakeNetwork::constant(n, n, output));
    for (auto [width, height] : {std::pair<size_t, size_t>{100, 37}, {5, 3}, {16, 16}, {64, 200}}) {
        SCOPED_TRACE(std::to_string(width) + "×" + std::to_string(height));
        auto detected = segmenter.detect(blankImage(width, height));
        ASSERT_TRUE(detected && detected->has_value());
        auto mask = (*detected)->generateScaledMask();
        ASSERT_TRUE(mask) << mask.error();
        EXPECT_EQ(mask->pixelFormat(), MaskPixelFormat::oneComponent32Float);
        EXPECT_EQ(std::pair(mask->width(), mask->height()), std::pair(width, height));
        // The same resampling done directly into packed rows, then clamped.
        std::vector<float> expected(width * height);
        auto resampler = LanczosResampler::make(n, n, width, height);
        ASSERT_TRUE(resampler
                    && resampler->resample(PlaneView::packed(std::span<const float>(output), n, n), expected));
        for (float& v : expected)
            v = std::clamp(v, 0.0f, 1.0f);
        EXPECT_EQ(maskValues(*mask), expected);

        // Byte rows: the resampler's own 8-bit output, spread to the same 64-byte row stride.
        auto bytes = (*detected)->generateScaledMask(MaskPixelFormat::oneComponent8);
        ASSERT_TRUE(bytes) << bytes.error();
        EXPECT_EQ(bytes->pixelFormat(), MaskPixelFormat::oneComponent8);
        EXPECT_EQ(bytes->bytesPerRow() % 64, 0u);
        std::vector<uint8_t> expectedBytes(width * height);
        ASSERT_TRUE(resampler->resample(PlaneView::packed(std::span<const float>(output), n, n), expectedBytes));
        const MaskPixelBuffer::ReadOnlyLock lock(*bytes);
        for (size_t y = 0; y < height; ++y)
            ASSERT_TRUE(std::equal(expectedBytes.begin() + ptrdiff_t(y * width),
                                   expectedBytes.begin() + ptrdiff_t((y + 1) * width),
                                   bytes->baseAddress() + y * bytes->bytesPerRow()))
                << "row " << y;
    }
}

TEST(ForegroundSegmenterMask, NoSubjectBelowTheMinimumShareOfHalfOpaqueOutput)
{
    const size_t n = 100; // 10,000 output pixels; the rule needs 10 at or above one half
    const auto image = blankImage(20, 20);
    auto detect = [&](size_t count, float level) {
        std::vector<float> output(n * n, 0.49f);
        std::fill_n(output.begin(), count, level);
        auto detected = ForegroundSegmenter(FakeNetwork::constant(n, n, std::move(output))).detect(image);
        EXPECT_TRUE(detected);
        return detected ? std::move(*detected) : std::nullopt;
    };
    EXPECT_FALSE(detect(9, 1.0f));
    auto found = detect(10, 0.5f);
    ASSERT_TRUE(found);
    EXPECT_DOUBLE_EQ(found->subjectFraction(), 0.001);
}

TEST(ForegroundSegmenterMask, ConcurrentCallsRunTheNetworkOneAtATime)
{
    std::atomic<int> inside{0}, most{0};
    auto network = std::make_shared<FakeNetwork>(32, 32, [&](std::span<const float>) {
        const int now = ++inside;
        most = std::max(most.load(), now);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        --inside;
        return std::vector<float>(32 * 32, 1.0f);
    });
    const ForegroundSegmenter segmenter(network);
    const auto image = makeImage({40, 30, 8, 24, 120, 0}, test::randomBytes(3600, 3));
    std::atomic<int> masks{0};
    {
        std::vector<std::jthread> jobs(4);
        for (auto& job : jobs)
            job = std::jthread([&] {
                auto d = segmenter.detect(image);
                masks += d && d->has_value() && (*d)->generateScaledMask();
            });
    }
    EXPECT_EQ(masks, 4);
    EXPECT_EQ(network->runs, 4);
    EXPECT_EQ(most, 1);
}

// ---- the real model -----------------------------------------------------------------------

// Photographs are the oracle's (the network) and the batch's (the whole pipeline), an empty sky the
// batch's too.
TEST(ForegroundSegmenterRealModel, FlatGreyAndNoiseHaveNoSubject)
{
    for (const auto& [name, pixels] : {std::pair{"grey", std::vector<uint8_t>(800 * 600 * 3, 128)},
                                       {"noise", test::randomBytes(800 * 600 * 3, 7)}}) {
        auto detected = ForegroundSegmenter::shared().detect(makeImage({800, 600, 8, 24, 800 * 3, 0}, pixels));
        ASSERT_TRUE(detected) << detected.error();
        EXPECT_FALSE(detected->has_value())
            << name << ": subject covers " << (*detected)->subjectFraction() * 100 << "% of the output";
    }
}

} // namespace
} // namespace pelorin
