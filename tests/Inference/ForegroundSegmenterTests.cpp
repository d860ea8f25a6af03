// The segmenter around the network: what the model is fed (against a slow, direct Lanczos-3
// reference, in every pixel layout), how its output becomes a mask buffer, the no-subject rule,
// load failures that say how to install the model, and the real model on real photographs and on
// images without a subject made by ImageMagick.
#include "Imaging/Inference/ForegroundSegmenter.h"

#include "Imaging/ImageDestination.h"
#include "Imaging/ImageSource.h"
#include "Imaging/Inference/ModelLocator.h"
#include "Imaging/LanczosResampler.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <mutex>
#include <numbers>
#include <thread>

namespace pelorin {
namespace {

using test::makeImage;

// A stand-in network: records what it is given and answers with `respond(input)`.
class FakeNetwork final : public Network {
public:
    using Response = std::function<Result<std::vector<float>, std::string>(std::span<const float>)>;

    FakeNetwork(size_t height, size_t width, Response respond)
        : Network(height, width), respond_(std::move(respond))
    {
    }
    // Answers every input with the same output.
    static std::shared_ptr<FakeNetwork> constant(size_t height, size_t width, std::vector<float> output)
    {
        return std::make_shared<FakeNetwork>(height, width, [output](std::span<const float>) { return output; });
    }

    Result<std::vector<float>, std::string> run(std::span<const float> input) const override
    {
        {
            std::lock_guard lock(mutex_);
            ++runs_;
            lastInput_.assign(input.begin(), input.end());
        }
        return respond_(input);
    }
    std::vector<float> lastInput() const
    {
        std::lock_guard lock(mutex_);
        return lastInput_;
    }
    int runs() const
    {
        std::lock_guard lock(mutex_);
        return runs_;
    }

private:
    Response respond_;
    mutable std::mutex mutex_;
    mutable std::vector<float> lastInput_;
    mutable int runs_ = 0;
};

// ---- a slow reference of the model's input ----------------------------------------------------

double lanczos3(double x)
{
    if (x == 0.0)
        return 1.0;
    if (std::fabs(x) >= 3.0)
        return 0.0;
    auto sinc = [](double t) { return std::sin(std::numbers::pi * t) / (std::numbers::pi * t); };
    return sinc(x) * sinc(x / 3.0);
}

// Weights of every source sample for output i of an axis scaled from `source` to `target`:
// centres aligned, kernel widened when shrinking, edges repeating the outermost sample.
std::vector<double> axisWeights(size_t source, size_t target, size_t i)
{
    const double scale = double(source) / double(target), stretch = std::max(scale, 1.0);
    const double center = (double(i) + 0.5) * scale;
    std::vector<double> w(source, 0.0);
    double total = 0.0;
    for (long j = long(std::floor(center - 3 * stretch)) - 1; j <= long(std::ceil(center + 3 * stretch)) + 1; ++j) {
        const double k = lanczos3((double(j) + 0.5 - center) / stretch);
        w[size_t(std::clamp(j, 0L, long(source) - 1))] += k;
        total += k;
    }
    for (double& v : w)
        v /= total;
    return w;
}

// What the model should see for an RGB image given as fractions of full scale per channel.
std::vector<float> referenceInput(const std::vector<double> (&channels)[3], size_t width, size_t height,
                                  size_t inputWidth, size_t inputHeight)
{
    std::vector<float> input(3 * inputWidth * inputHeight);
    for (size_t y = 0; y < inputHeight; ++y) {
        const auto wy = axisWeights(height, inputHeight, y);
        for (size_t x = 0; x < inputWidth; ++x) {
            const auto wx = axisWeights(width, inputWidth, x);
            for (size_t c = 0; c < 3; ++c) {
                double sum = 0.0;
                for (size_t sy = 0; sy < height; ++sy)
                    for (size_t sx = 0; sx < width; ++sx)
                        sum += wy[sy] * wx[sx] * channels[c][sy * width + sx];
                const double v = std::clamp(sum, 0.0, 1.0) * 255.0;
                input[(c * inputHeight + y) * inputWidth + x] = float((v - 128.0) / 256.0);
            }
        }
    }
    return input;
}

// Seeded colours and alpha of a small picture, stored in any layout.
struct Picture {
    size_t width, height;
    std::vector<uint16_t> rgb; // 16-bit values, 3 per pixel
    std::vector<uint16_t> alpha;

    static Picture random(size_t width, size_t height, uint32_t seed)
    {
        const auto bytes = test::randomBytes(width * height * 4, seed);
        Picture p{width, height, {}, {}};
        for (size_t i = 0; i < width * height; ++i) {
            for (size_t c = 0; c < 3; ++c)
                p.rgb.push_back(uint16_t(bytes[4 * i + c] * 257));
            p.alpha.push_back(uint16_t(bytes[4 * i + 3] * 257));
        }
        return p;
    }

    // Components in memory order; `order` names each: 'r', 'g', 'b', 'a' (alpha), 'x' (padding),
    // 'k' (grey, from red). `rowPad` spare bytes end every row.
    Image store(const std::string& order, size_t bitsPerComponent, uint32_t bitmapInfo, size_t rowPad = 0) const
    {
        const size_t bytesPerComponent = bitsPerComponent / 8, pixel = order.size() * bytesPerComponent;
        const size_t row = width * pixel + rowPad;
        const bool big = BitmapInfo::is16BitBigEndian(bitmapInfo);
        std::vector<uint8_t> bytes(row * height, 0x5A);
        for (size_t i = 0; i < width * height; ++i)
            for (size_t k = 0; k < order.size(); ++k) {
                const char name = order[k];
                const uint16_t v = name == 'a' ? alpha[i] : name == 'x' ? 0x1234
                                 : rgb[3 * i + (name == 'g' ? 1 : name == 'b' ? 2 : 0)];
                uint8_t* s = bytes.data() + (i / width) * row + (i % width) * pixel + k * bytesPerComponent;
                if (bytesPerComponent == 1) {
                    s[0] = uint8_t(v >> 8);
                } else {
                    s[big ? 0 : 1] = uint8_t(v >> 8);
                    s[big ? 1 : 0] = uint8_t(v);
                }
            }
        const ImageFormat format{width, height, bitsPerComponent, pixel * 8, row, bitmapInfo};
        const bool grey = order.find('k') != std::string::npos;
        return makeImage(format, std::move(bytes),
                         ColorSpace::named(grey ? ColorSpace::Name::deviceGray : ColorSpace::Name::sRGB));
    }
};

std::vector<float> inputFor(const Image& image, size_t inputWidth, size_t inputHeight)
{
    auto network = FakeNetwork::constant(inputHeight, inputWidth, std::vector<float>(inputWidth * inputHeight, 0.f));
    const ForegroundSegmenter segmenter(network);
    auto detected = segmenter.detect(image);
    EXPECT_TRUE(detected) << detected.error();
    return network->lastInput();
}

void expectClose(const std::vector<float>& actual, const std::vector<float>& expected, double tolerance,
                 const std::string& what)
{
    ASSERT_EQ(actual.size(), expected.size()) << what;
    double worst = 0.0;
    size_t where = 0;
    for (size_t i = 0; i < actual.size(); ++i)
        if (const double d = std::fabs(double(actual[i]) - expected[i]); !(d <= worst))
            worst = d, where = i;
    EXPECT_LE(worst, tolerance) << what << ": largest difference at value " << where << " (" << actual[where]
                                << " vs " << expected[where] << ")";
}

TEST(ForegroundSegmenterInput, UnscaledImageIsCentredChannelByChannelInPlanarOrder)
{
    const auto picture = Picture::random(6, 4, 11);
    const auto input = inputFor(picture.store("rgb", 8, 0), 6, 4);
    ASSERT_EQ(input.size(), 3u * 6 * 4);
    for (size_t c = 0; c < 3; ++c)
        for (size_t i = 0; i < 24; ++i) {
            const double v = picture.rgb[3 * i + c] >> 8;
            ASSERT_NEAR(input[c * 24 + i], (v - 128.0) / 256.0, 1e-6) << "channel " << c << ", pixel " << i;
        }
}

TEST(ForegroundSegmenterInput, MatchesDirectLanczosWhenShrinkingAndEnlargingWithoutKeepingAspect)
{
    for (auto [width, height, inW, inH] : {std::array<size_t, 4>{37, 23, 16, 12}, {9, 7, 16, 12}, {40, 5, 8, 16}}) {
        const auto picture = Picture::random(width, height, uint32_t(width * 100 + height));
        std::vector<double> channels[3];
        for (size_t i = 0; i < width * height; ++i)
            for (size_t c = 0; c < 3; ++c)
                channels[c].push_back(double(picture.rgb[3 * i + c] >> 8) / 255.0);
        const auto expected = referenceInput(channels, width, height, inW, inH);
        const auto actual = inputFor(picture.store("rgb", 8, 0, 3), inW, inH);
        expectClose(actual, expected, 1e-4,
                    std::to_string(width) + "×" + std::to_string(height) + " → " + std::to_string(inW) + "×" +
                        std::to_string(inH));
    }
}

TEST(ForegroundSegmenterInput, EveryLayoutGivesTheSameInputAndAlphaIsIgnored)
{
    const auto picture = Picture::random(21, 13, 5);
    const auto expected = inputFor(picture.store("rgb", 8, 0), 16, 16);
    using BitmapInfo::make;
    const struct {
        const char* order;
        size_t bits;
        uint32_t info;
    } layouts[] = {
        {"rgba", 8, make(AlphaInfo::last)},
        {"argb", 8, make(AlphaInfo::first)},
        {"rgba", 8, make(AlphaInfo::premultipliedLast)},
        {"argb", 8, make(AlphaInfo::premultipliedFirst)},
        {"rgbx", 8, make(AlphaInfo::noneSkipLast)},
        {"xrgb", 8, make(AlphaInfo::noneSkipFirst)},
        {"rgb", 16, make(AlphaInfo::none, BitmapInfo::byteOrder16Little)},
        {"rgb", 16, make(AlphaInfo::none, BitmapInfo::byteOrder16Big)},
        {"rgb", 16, make(AlphaInfo::none)},
        {"argb", 16, make(AlphaInfo::first, BitmapInfo::byteOrder16Big)},
        {"rgba", 16, make(AlphaInfo::premultipliedLast, BitmapInfo::byteOrder16Little)},
    };
    for (const auto& layout : layouts)
        expectClose(inputFor(picture.store(layout.order, layout.bits, layout.info, 7), 16, 16), expected, 1e-5,
                    std::string(layout.order) + " " + std::to_string(layout.bits) + "-bit, info " +
                        std::to_string(layout.info));
}

TEST(ForegroundSegmenterInput, GreyFillsAllThreeChannelsLikeTheSameGreyInRgb)
{
    auto picture = Picture::random(19, 11, 8);
    for (size_t i = 0; i < picture.alpha.size(); ++i)
        picture.rgb[3 * i + 1] = picture.rgb[3 * i + 2] = picture.rgb[3 * i];
    const auto expected = inputFor(picture.store("rgb", 8, 0), 12, 12);
    expectClose(inputFor(picture.store("k", 8, 0), 12, 12), expected, 1e-6, "grey 8-bit");
    expectClose(inputFor(picture.store("ka", 16, BitmapInfo::make(AlphaInfo::last)), 12, 12), expected, 1e-5,
                "grey+alpha 16-bit");
}

TEST(ForegroundSegmenterInput, UnreadableImagesAreRefusedWithoutRunningTheModel)
{
    auto network = FakeNetwork::constant(8, 8, std::vector<float>(64, 1.f));
    const ForegroundSegmenter segmenter(network);
    const auto srgb = ColorSpace::named(ColorSpace::Name::sRGB);
    const std::vector<uint8_t> pixels(4096, 0x80);
    const struct {
        Image image;
        const char* message;
    } cases[] = {
        {makeImage({4, 4, 32, 96, 48, BitmapInfo::floatComponents}, pixels),
         "Floating-point images cannot be segmented."},
        {makeImage({4, 4, 8, 32, 16, 0}, pixels, ColorSpace::named(ColorSpace::Name::deviceCMYK)),
         "CMYK images cannot be segmented."},
        {makeImage({4, 4, 4, 12, 8, 0}, pixels), "Images of 4 bits per component cannot be segmented."},
        {makeImage({4, 4, 8, 8, 4, BitmapInfo::make(AlphaInfo::only)}, pixels),
         "Images with alpha info 7 have no colour to segment."},
        {makeImage({4, 4, 8, 16, 8, 0}, pixels), "Images with 2 components per pixel cannot be segmented."},
        {makeImage({4, 4, 8, 24, 11, 0}, pixels), "The image's rows are shorter than its pixels."},
        {makeImage({4, 4, 8, 24, 12, 0}, std::vector<uint8_t>(47)), "The image's pixel data is truncated."},
        {Image({4, 4, 8, 24, 12, 0}, srgb, nullptr), "The image's pixel data is truncated."},
        {makeImage({0, 4, 8, 24, 0, 0}, pixels), "The image has no pixels."},
    };
    for (const auto& c : cases) {
        auto detected = segmenter.detect(c.image);
        ASSERT_FALSE(detected) << c.message;
        EXPECT_EQ(detected.error(), c.message);
    }
    EXPECT_EQ(network->runs(), 0);
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

TEST(ForegroundSegmenterMask, IsTheOutputResampledToTheSourceInPaddedFloatRows)
{
    // Rows and columns both vary, with hard edges, so any misplaced row or column shows.
    const size_t n = 16;
    std::vector<float> output(n * n);
    for (size_t y = 0; y < n; ++y)
        for (size_t x = 0; x < n; ++x)
            output[y * n + x] = (x < 9 && y > 3) ? 1.0f : float(y) / 40.0f;
    const ForegroundSegmenter segmenter(FakeNetwork::constant(n, n, output));
    for (auto [width, height] : {std::pair<size_t, size_t>{100, 37}, {5, 3}, {16, 16}, {64, 200}}) {
        const auto image = makeImage({width, height, 8, 24, width * 3, 0}, std::vector<uint8_t>(width * height * 3));
        auto detected = segmenter.detect(image);
        ASSERT_TRUE(detected && detected->has_value());
        auto mask = (*detected)->generateScaledMask();
        ASSERT_TRUE(mask) << mask.error();
        EXPECT_EQ(mask->pixelFormat(), MaskPixelFormat::oneComponent32Float);
        EXPECT_EQ(mask->width(), width);
        EXPECT_EQ(mask->height(), height);
        EXPECT_EQ(mask->bytesPerRow() % 64, 0u);
        EXPECT_GE(mask->bytesPerRow(), width * 4);
        EXPECT_LT(mask->bytesPerRow(), width * 4 + 64);

        // The same resampling done directly into packed rows, then clamped.
        std::vector<float> expected(width * height);
        auto resampler = LanczosResampler::make(n, n, width, height);
        ASSERT_TRUE(resampler);
        ASSERT_TRUE(resampler->resample(PlaneView::packed(std::span<const float>(output), n, n), expected));
        for (float& v : expected)
            v = std::clamp(v, 0.0f, 1.0f);
        EXPECT_EQ(maskValues(*mask), expected) << width << "×" << height;
        EXPECT_EQ(mask->lockCount(), 0);
    }
}

TEST(ForegroundSegmenterMask, NoSubjectBelowTheMinimumShareOfHalfOpaqueOutput)
{
    const size_t n = 100; // 10,000 output pixels; the rule needs 10 at or above one half
    auto withOpaque = [&](size_t count, float level) {
        std::vector<float> output(n * n, 0.49f);
        std::fill_n(output.begin(), count, level);
        return output;
    };
    const auto image = makeImage({20, 20, 8, 24, 60, 0}, std::vector<uint8_t>(1200));
    auto detect = [&](std::vector<float> output) {
        auto detected = ForegroundSegmenter(FakeNetwork::constant(n, n, std::move(output))).detect(image);
        EXPECT_TRUE(detected);
        return detected ? std::move(*detected) : std::nullopt;
    };
    EXPECT_FALSE(detect(withOpaque(0, 1.0f)));
    EXPECT_FALSE(detect(withOpaque(9, 1.0f)));
    auto found = detect(withOpaque(10, 0.5f));
    ASSERT_TRUE(found);
    EXPECT_DOUBLE_EQ(found->subjectFraction(), 0.001);
    EXPECT_EQ(found->sourceWidth(), 20u);
    EXPECT_EQ(found->sourceHeight(), 20u);
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
    std::vector<std::thread> jobs;
    std::atomic<int> masks{0};
    for (int i = 0; i < 4; ++i)
        jobs.emplace_back([&] {
            auto detected = segmenter.detect(image);
            if (detected && detected->has_value() && (*detected)->generateScaledMask())
                ++masks;
        });
    for (auto& job : jobs)
        job.join();
    EXPECT_EQ(masks, 4);
    EXPECT_EQ(network->runs(), 4);
    EXPECT_EQ(most, 1);
}

// ---- finding and loading the model ----------------------------------------------------------

TEST(ForegroundSegmenterModel, MissingOrDamagedFileNamesItAndSaysHowToInstall)
{
    test::TemporaryDirectory dir;
    const auto image = makeImage({8, 8, 8, 24, 24, 0}, std::vector<uint8_t>(192));

    const auto missing = dir / "absent.onnx";
    auto detected = ForegroundSegmenter(missing).detect(image);
    ASSERT_FALSE(detected);
    EXPECT_NE(detected.error().find(missing.string()), std::string::npos) << detected.error();
    EXPECT_NE(detected.error().find("scripts/fetch-model"), std::string::npos) << detected.error();

    const auto damaged = dir / "damaged.onnx";
    test::writeFileBytes(damaged, test::randomBytes(4096, 9));
    detected = ForegroundSegmenter(damaged).detect(image);
    ASSERT_FALSE(detected);
    EXPECT_NE(detected.error().find(damaged.string()), std::string::npos) << detected.error();
    EXPECT_NE(detected.error().find("scripts/fetch-model"), std::string::npos) << detected.error();
}

// Sets environment variables for one scope, restoring them afterwards.
class ScopedEnvironment {
public:
    void set(const char* name, const char* value)
    {
        const char* old = std::getenv(name);
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnvironment()
    {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
            it->second ? setenv(it->first.c_str(), it->second->c_str(), 1) : unsetenv(it->first.c_str());
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(ForegroundSegmenterModel, NotFoundNamesThePlacesSearchedAndAFailedLoadIsRetried)
{
    const auto image = makeImage({8, 8, 8, 24, 24, 0}, std::vector<uint8_t>(192));
    const ForegroundSegmenter segmenter;
    {
        test::TemporaryDirectory emptyCache;
        ScopedEnvironment environment;
        environment.set("PELORIN_MODEL", nullptr);
        environment.set("XDG_CACHE_HOME", emptyCache.path().c_str());
        if (locateModel())
            GTEST_SKIP() << "a model is installed under the install prefix, so it cannot be missed";
        auto detected = segmenter.detect(image);
        ASSERT_FALSE(detected);
        EXPECT_EQ(detected.error().rfind("Cannot find isnet-general-fp16.onnx: ", 0), 0u) << detected.error();
        EXPECT_NE(detected.error().find(emptyCache.path().string()), std::string::npos) << detected.error();
        EXPECT_NE(detected.error().find("scripts/fetch-model"), std::string::npos) << detected.error();
    }
    // With the environment back, the same segmenter finds the installed model.
    ASSERT_TRUE(locateModel()) << "run scripts/fetch-model";
    EXPECT_TRUE(segmenter.detect(image));
}

// ---- the real model -----------------------------------------------------------------------

Image decode(const std::filesystem::path& path)
{
    auto source = ImageSource::open(path);
    EXPECT_TRUE(source) << path;
    auto image = source.value()->createImage();
    EXPECT_TRUE(image) << path;
    return std::move(image).value();
}

// Share of the mask at least half opaque over a rectangle given as fractions of its width and height.
double opaqueShare(const std::vector<float>& mask, size_t width, size_t height, double x0, double y0, double x1,
                   double y1)
{
    size_t opaque = 0, count = 0;
    for (size_t y = size_t(y0 * height); y < size_t(y1 * height); ++y)
        for (size_t x = size_t(x0 * width); x < size_t(x1 * width); ++x, ++count)
            opaque += mask[y * width + x] >= 0.5f;
    return double(opaque) / double(count);
}

// When PELORIN_MASK_OUTPUT is set, writes the mask there as an 8-bit grey PNG for a person to look at.
void keepForInspection(const std::vector<float>& mask, size_t width, size_t height, const std::string& name)
{
    const char* folder = std::getenv("PELORIN_MASK_OUTPUT");
    if (!folder)
        return;
    std::vector<uint8_t> bytes(mask.size());
    for (size_t i = 0; i < mask.size(); ++i)
        bytes[i] = uint8_t(std::lround(mask[i] * 255.0f));
    auto destination =
        ImageDestination::create(std::filesystem::path(folder) / (name + "-mask.png"), DestinationType::png);
    ASSERT_TRUE(destination) << ImageDestination::lastCreateError();
    destination->addImage(makeImage({width, height, 8, 8, width, 0}, std::move(bytes), linearGrayColorSpace()), {});
    EXPECT_TRUE(destination->finalize()) << destination->failureReason();
}

std::vector<float> realMask(const std::string& photo)
{
    const auto image = decode(test::samplePhoto(photo));
    auto detected = ForegroundSegmenter::shared().detect(image);
    EXPECT_TRUE(detected) << detected.error();
    if (!detected || !detected->has_value()) {
        ADD_FAILURE() << photo << ": no subject found";
        return {};
    }
    std::cout << photo << ": subject covers " << (*detected)->subjectFraction() * 100 << "% of the output\n";
    auto mask = (*detected)->generateScaledMask();
    EXPECT_TRUE(mask) << mask.error();
    if (!mask)
        return {};
    EXPECT_EQ(mask->width(), image.width());
    EXPECT_EQ(mask->height(), image.height());
    auto values = maskValues(*mask);
    keepForInspection(values, image.width(), image.height(), std::filesystem::path(photo).stem().string());
    return values;
}

TEST(ForegroundSegmenterRealModel, CatFaceIsSubjectAndTheWallBesideItIsNot)
{
    const auto mask = realMask("chelsea.png"); // 451 × 300, the face fills the middle
    ASSERT_FALSE(mask.empty());
    EXPECT_GT(opaqueShare(mask, 451, 300, 0.35, 0.3, 0.7, 0.8), 0.9);
    EXPECT_LT(opaqueShare(mask, 451, 300, 0.92, 0.35, 1.0, 0.65), 0.1);
}

TEST(ForegroundSegmenterRealModel, PortraitIsSubjectAndTheSkyBehindIsNot)
{
    const auto mask = realMask("grace_hopper.jpg"); // 512 × 600, face centred, blue backdrop top right
    ASSERT_FALSE(mask.empty());
    EXPECT_GT(opaqueShare(mask, 512, 600, 0.38, 0.3, 0.62, 0.5), 0.9);
    EXPECT_LT(opaqueShare(mask, 512, 600, 0.88, 0.0, 1.0, 0.15), 0.1);
}

TEST(ForegroundSegmenterRealModel, EveryPhotoOfAPersonAnimalOrObjectHasASubject)
{
    for (const char* photo : {"astronaut.png", "coffee.png", "rocket.jpg", "motorcycle_left.png"}) {
        const auto image = decode(test::samplePhoto(photo));
        auto detected = ForegroundSegmenter::shared().detect(image);
        ASSERT_TRUE(detected) << detected.error();
        ASSERT_TRUE(detected->has_value()) << photo;
        std::cout << photo << ": subject covers " << (*detected)->subjectFraction() * 100 << "% of the output\n";
    }
}

TEST(ForegroundSegmenterRealModel, SkyFlatGreyAndNoiseHaveNoSubject)
{
    test::TemporaryDirectory dir;
    const struct {
        const char* name;
        const char* arguments;
    } scenes[] = {
        {"sky", "-size 800x600 gradient:'#7aa7e0'-'#cfe3f7'"},
        {"grey", "-size 800x600 xc:gray50"},
        {"noise", "-size 800x600 xc:gray50 +noise Random"},
    };
    for (const auto& scene : scenes) {
        const auto file = dir / (std::string(scene.name) + ".png");
        ASSERT_EQ(test::runCommand(std::string("convert ") + scene.arguments + " " + test::shellQuote(file.string()))
                      .exitCode,
                  0);
        auto detected = ForegroundSegmenter::shared().detect(decode(file));
        ASSERT_TRUE(detected) << detected.error();
        EXPECT_FALSE(detected->has_value()) << scene.name << ": subject covers "
                                            << (*detected)->subjectFraction() * 100 << "% of the output";
    }
}

} // namespace
} // namespace pelorin
