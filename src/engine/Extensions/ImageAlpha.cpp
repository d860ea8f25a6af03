#include "engine/Extensions/ImageAlpha.h"

#include "engine/Common/CpuFeatures.h"
#include "engine/Common/PageRelease.h"
#include "engine/Common/ParallelFor.h"
#include "engine/Imaging/PixelLayout.h"
#include "engine/Imaging/LanczosResampler.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <type_traits>

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#endif

namespace pelorin {

namespace {

using Error = AlphaCompositionError;

// Component indices of red, green and blue within one source pixel, in memory order.
struct ChannelLayout {
    size_t red;
    size_t green;
    size_t blue;
};

Result<ChannelLayout, Error> channelLayout(uint32_t alphaInfo, size_t bitsPerPixel, size_t bytesPerComponent)
{
    const size_t components = bitsPerPixel / (8 * bytesPerComponent);
    const auto layout = PixelLayout::of(alphaInfo);
    if (!layout || components != (layout->extra ? 4u : 3u))
        return unexpected(Error::unsupportedPixelFormat(8 * bytesPerComponent, bitsPerPixel, alphaInfo));
    const size_t red = layout->colorOffset();
    return ChannelLayout{red, red + 1, red + 2};
}

bool inputIsBigEndian16(uint32_t bitmapInfo)
{
    return BitmapInfo::byteOrder(bitmapInfo) == BitmapInfo::byteOrder16Big;
}

uint32_t matchedByteOrder16(const Image& source)
{
    return BitmapInfo::make(AlphaInfo::last,
                            inputIsBigEndian16(source.bitmapInfo()) ? BitmapInfo::byteOrder16Big
                                                                    : BitmapInfo::byteOrder16Little);
}

// A fresh photo-sized block is all page faults on first write; asking for huge pages turns
// thousands of them into a few dozen. Only a hint: where it is refused, nothing changes.
void preferHugePages(PixelBlock& block)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t huge = uintptr_t(2) << 20;
    const auto begin = (reinterpret_cast<uintptr_t>(block.data()) + huge - 1) & ~(huge - 1);
    const auto end = (reinterpret_cast<uintptr_t>(block.data()) + block.size()) & ~(huge - 1);
    if (end > begin)
        ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)block;
#endif
}

// Source bytes composited between two releases: small beside a photo, large enough that the
// workers' start-up and the system calls cost nothing measurable.
constexpr size_t releaseBandBytes = size_t{4} << 20;

// Mask values at the target size, one byte per pixel, row y at y × bytesPerRow: either the mask's
// own stored rows, read in place, or a block made for them.
struct ScaledMask {
    std::shared_ptr<const DataProvider> borrowed; // keeps read-in-place bytes alive
    PixelBlock owned;
    const uint8_t* bytes = nullptr;
    size_t bytesPerRow = 0;
};

// An 8-bit one-channel mask already of the target size. Its bytes are read where they are; a
// copy would only cost time.
Result<ScaledMask, Error> maskBytesVerbatim(const Image& mask, size_t width, size_t height)
{
    const auto& provider = mask.dataProvider();
    if (!provider || provider->bytes().data() == nullptr)
        return unexpected(Error::maskScalingFailed());
    const auto data = provider->bytes();
    size_t needed = 0;
    // Rows shorter than the width would run each into the next and the last past the data.
    if (mask.bytesPerRow() < width || __builtin_mul_overflow(mask.bytesPerRow(), height, &needed)
        || data.size() < needed)
        return unexpected(Error::maskScalingFailed());
    ScaledMask scaled;
    scaled.borrowed = provider;
    scaled.bytes = data.data();
    scaled.bytesPerRow = mask.bytesPerRow();
    return scaled;
}

// How the resampler reads the mask, or nothing when the mask's format is not one it reads.
std::optional<PlaneView> maskPlane(const Image& mask)
{
    const uint32_t info = mask.bitmapInfo();
    const size_t bpc = mask.bitsPerComponent();
    PlaneView plane;
    if (BitmapInfo::hasFloatComponents(info)) {
        if (bpc != 32)
            return std::nullopt;
        plane.format = BitmapInfo::byteOrder(info) == BitmapInfo::byteOrder32Big ? SampleFormat::float32BigEndian
                                                                                 : SampleFormat::float32LittleEndian;
    } else if (bpc == 8) {
        plane.format = SampleFormat::uint8;
    } else if (bpc == 16) {
        plane.format =
            BitmapInfo::is16BitBigEndian(info) ? SampleFormat::uint16BigEndian : SampleFormat::uint16LittleEndian;
    } else {
        return std::nullopt;
    }
    const size_t sample = bpc / 8;
    plane.bytesPerPixel = mask.bitsPerPixel() / 8;
    // The first colour component: skip an alpha or padding component stored first, unless the
    // pixel has no room for another (then its one component is the mask).
    const auto layout = PixelLayout::of(mask.alphaInfo());
    const bool leading = layout && layout->extraFirst;
    const size_t offset = leading && 2 * sample <= plane.bytesPerPixel ? sample : 0;
    const auto data = mask.bytes();
    size_t needed = 0;
    if (data.data() == nullptr || __builtin_mul_overflow(mask.bytesPerRow(), mask.height(), &needed)
        || data.size() < needed || data.size() < offset)
        return std::nullopt;
    plane.bytes = data.subspan(offset);
    plane.width = mask.width();
    plane.height = mask.height();
    plane.bytesPerRow = mask.bytesPerRow();
    return plane;
}

Result<ScaledMask, Error> maskBytesViaLanczos(const Image& mask, size_t width, size_t height)
{
    const auto plane = maskPlane(mask);
    if (!plane)
        return unexpected(Error::maskScalingFailed());
    auto resampler = LanczosResampler::make(plane->width, plane->height, width, height);
    if (!resampler)
        return unexpected(Error::maskScalingFailed());
    ScaledMask scaled;
    scaled.owned = PixelBlock::allocate(width * height); // the resampler's limits keep this in range
    if (scaled.owned.empty())
        return unexpected(Error::maskScalingFailed());
    preferHugePages(scaled.owned);
    if (!resampler->resample(*plane, scaled.owned.span()))
        return unexpected(Error::maskScalingFailed());
    scaled.bytes = scaled.owned.data();
    scaled.bytesPerRow = width;
    return scaled;
}

Result<ScaledMask, Error> scaledMaskAs8BitLinearGray(const Image& mask, size_t width, size_t height)
{
    if (width == 0 || height == 0)
        return unexpected(Error::maskScalingFailed());
    if (mask.width() == width && mask.height() == height && mask.bitsPerComponent() == 8 && mask.bitsPerPixel() == 8)
        return maskBytesVerbatim(mask, width, height);
    return maskBytesViaLanczos(mask, width, height);
}

// Pixels from..width of one cutout row for a known layout: C bytes per component, P bytes per
// source pixel, red at component R with green and blue after it.
template <size_t C, size_t P, size_t R>
void compositePixels(const uint8_t* source, const uint8_t* mask, uint8_t* out, size_t from, size_t width)
{
    constexpr size_t colorBytes = 3 * C;
    constexpr size_t wordBytes = C == 1 ? 4 : 8;
    using Word = std::conditional_t<C == 1, uint32_t, uint64_t>;
    constexpr Word colorMask = (Word(1) << (8 * colorBytes)) - 1;
    size_t x = from;
    if constexpr (std::endian::native == std::endian::little) {
        // Whole-word moves: one load holds the pixel's colour (and a byte or two beyond it, so the
        // last pixel of a row is left to the byte loop), one store writes colour and alpha.
        const size_t wordPixels = R * C + wordBytes <= P ? width : width - 1;
        for (; x < wordPixels; ++x) {
            Word pixel;
            std::memcpy(&pixel, source + x * P + R * C, wordBytes);
            const Word alpha = C == 1 ? Word(mask[x]) : Word(mask[x]) * 0x0101;
            pixel = (pixel & colorMask) | (alpha << (8 * colorBytes));
            std::memcpy(out + x * 4 * C, &pixel, wordBytes);
        }
    }
    for (; x < width; ++x) {
        const uint8_t* s = source + x * P + R * C;
        uint8_t* o = out + x * 4 * C;
        std::memcpy(o, s, colorBytes);
        for (size_t i = 0; i < C; ++i)
            o[colorBytes + i] = mask[x];
    }
}

template <size_t C, size_t P, size_t R>
void compositeRowFixed(const uint8_t* source, const uint8_t* mask, uint8_t* out, size_t width)
{
    compositePixels<C, P, R>(source, mask, out, 0, width);
}

#if defined(__x86_64__) || defined(__i386__)
// Byte-shuffle controls for 16 output bytes (4 / C pixels): where each colour byte comes from in
// the 16 source bytes loaded at the first pixel, and where each alpha byte comes from among the
// mask bytes; 0x80 yields zero.
template <size_t C, size_t P, size_t R>
constexpr std::array<uint8_t, 16> colorShuffle()
{
    std::array<uint8_t, 16> control{};
    for (size_t j = 0; j < 16; ++j) {
        const size_t pixel = j / (4 * C), at = j % (4 * C);
        control[j] = at < 3 * C ? uint8_t(pixel * P + R * C + at) : 0x80;
    }
    return control;
}

template <size_t C>
constexpr std::array<uint8_t, 16> alphaShuffle()
{
    std::array<uint8_t, 16> control{};
    for (size_t j = 0; j < 16; ++j)
        control[j] = j % (4 * C) < 3 * C ? 0x80 : uint8_t(j / (4 * C));
    return control;
}

// The same row, 16 output bytes per step with two byte shuffles; the scalar loop finishes where a
// 16-byte load would run past the row.
template <size_t C, size_t P, size_t R>
__attribute__((target("ssse3"))) void compositeRowShuffled(const uint8_t* source, const uint8_t* mask, uint8_t* out,
                                                           size_t width)
{
    static constexpr auto colorControl = colorShuffle<C, P, R>();
    static constexpr auto alphaControl = alphaShuffle<C>();
    constexpr size_t pixels = 4 / C;
    const __m128i colors = _mm_loadu_si128(reinterpret_cast<const __m128i*>(colorControl.data()));
    const __m128i alphas = _mm_loadu_si128(reinterpret_cast<const __m128i*>(alphaControl.data()));
    size_t x = 0;
    for (; x * P + 16 <= width * P; x += pixels) {
        const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + x * P));
        uint32_t m = 0;
        std::memcpy(&m, mask + x, pixels);
        const __m128i alpha = _mm_shuffle_epi8(_mm_cvtsi32_si128(int(m)), alphas);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x * 4 * C),
                         _mm_or_si128(_mm_shuffle_epi8(px, colors), alpha));
    }
    compositePixels<C, P, R>(source, mask, out, x, width);
}
#endif

// Any other layout the table admits (unusual pixel sizes); byte by byte.
void compositeRowGeneric(const uint8_t* source, const uint8_t* mask, uint8_t* out, size_t width, size_t c, size_t p,
                         const ChannelLayout& layout)
{
    for (size_t x = 0; x < width; ++x) {
        const uint8_t* s = source + x * p;
        uint8_t* o = out + x * 4 * c;
        for (size_t i = 0; i < c; ++i) {
            o[i] = s[layout.red * c + i];
            o[c + i] = s[layout.green * c + i];
            o[2 * c + i] = s[layout.blue * c + i];
            o[3 * c + i] = mask[x];
        }
    }
}

using RowFunction = void (*)(const uint8_t*, const uint8_t*, uint8_t*, size_t);

template <size_t C, size_t P, size_t R>
RowFunction rowFunction()
{
#if defined(__x86_64__) || defined(__i386__)
    if (cpuHasSsse3())
        return compositeRowShuffled<C, P, R>;
#endif
    return compositeRowFixed<C, P, R>;
}

// The dedicated row function for the common layouts, or null for the generic one.
RowFunction fixedRowFunction(size_t c, size_t p, const ChannelLayout& layout)
{
    const bool redFirst = layout.red == 0;
    if (c == 1 && p == 3)
        return rowFunction<1, 3, 0>();
    if (c == 1 && p == 4)
        return redFirst ? rowFunction<1, 4, 0>() : rowFunction<1, 4, 1>();
    if (c == 2 && p == 6)
        return rowFunction<2, 6, 0>();
    if (c == 2 && p == 8)
        return redFirst ? rowFunction<2, 8, 0>() : rowFunction<2, 8, 1>();
    return nullptr;
}

Result<Image, Error> composite(const Image& source, const Image& mask, bool releaseSource)
{
    const size_t w = source.width(), h = source.height();
    if (w < 1 || h < 1)
        return unexpected(Error::invalidImageDimensions(w, h));
    const uint32_t info = source.bitmapInfo();
    if (BitmapInfo::hasFloatComponents(info))
        return unexpected(Error::unsupportedFloatPixelFormat());
    const size_t bpc = source.bitsPerComponent(), bpp = source.bitsPerPixel();
    const auto refuseFormat = [&] { return unexpected(Error::unsupportedPixelFormat(bpc, bpp, info)); };
    if (bpc != 8 && bpc != 16)
        return refuseFormat();
    if (!source.colorSpace())
        return unexpected(Error::missingColorSpace());
    const size_t c = bpc / 8, p = bpp / 8;
    if (p < 3 * c)
        return refuseFormat();
    const size_t r = source.bytesPerRow();
    size_t rowNeed = 0;
    if (__builtin_mul_overflow(w, p, &rowNeed) || r < rowNeed)
        return refuseFormat();
    const auto layout = channelLayout(source.alphaInfo(), bpp, c);
    if (!layout)
        return unexpected(layout.error());

    const auto& provider = source.dataProvider();
    if (!provider || provider->bytes().data() == nullptr)
        return unexpected(Error::unreadablePixelData());
    const auto data = provider->bytes();
    size_t expected = 0;
    if (__builtin_mul_overflow(r, h, &expected))
        return unexpected(Error::truncatedPixelData(SIZE_MAX, data.size()));
    if (data.size() < expected)
        return unexpected(Error::truncatedPixelData(expected, data.size()));

    auto scaled = scaledMaskAs8BitLinearGray(mask, w, h);
    if (!scaled)
        return unexpected(scaled.error());

    const size_t q = 4 * c;
    size_t o = 0, size = 0;
    if (__builtin_mul_overflow(w, q, &o) || __builtin_mul_overflow(o, h, &size))
        return unexpected(Error::outputAllocationFailed());
    auto block = PixelBlock::allocate(size);
    if (block.empty())
        return unexpected(Error::outputAllocationFailed());
    preferHugePages(block);

    const uint8_t* in = data.data();
    const uint8_t* maskBytes = scaled->bytes;
    const size_t maskRow = scaled->bytesPerRow;
    uint8_t* out = block.data();
    const RowFunction fixed = fixedRowFunction(c, p, *layout);
    const auto compositeRows = [&](size_t y0, size_t y1) {
        for (size_t y = y0; y < y1; ++y)
            if (fixed)
                fixed(in + y * r, maskBytes + y * maskRow, out + y * o, w);
            else
                compositeRowGeneric(in + y * r, maskBytes + y * maskRow, out + y * o, w, c, p, *layout);
    };
    if (!releaseSource) {
        parallelFor(h, compositeRows);
    } else {
        // Band by band, so the pages behind a finished band can go while the cutout's fill in.
        PageRelease release(in);
        const size_t bandRows = std::max<size_t>(1, releaseBandBytes / r);
        for (size_t band = 0; band < h; band += bandRows) {
            const size_t end = std::min(h, band + bandRows);
            parallelFor(end - band, [&](size_t y0, size_t y1) { compositeRows(band + y0, band + y1); });
            release.releaseUpTo(end == h ? in + data.size() : in + end * r);
        }
    }

    auto outputProvider = DataProvider::make(std::move(block));
    if (!outputProvider)
        return unexpected(Error::outputAllocationFailed());
    const uint32_t outputInfo = bpc == 8 ? BitmapInfo::make(AlphaInfo::last) : matchedByteOrder16(source);
    return Image(ImageFormat{w, h, bpc, 4 * bpc, o, outputInfo}, source.colorSpace(), std::move(outputProvider),
                 source.shouldInterpolate(), source.renderingIntent());
}

Result<Image, Error> linearGrayImage(const Image& mask, size_t width, size_t height)
{
    auto scaled = scaledMaskAs8BitLinearGray(mask, width, height);
    if (!scaled)
        return unexpected(scaled.error());
    PixelBlock block;
    if (!scaled->owned.empty() && scaled->bytesPerRow == width) {
        block = std::move(scaled->owned); // already exactly width × height, made for us
    } else {
        size_t size = 0;
        if (__builtin_mul_overflow(width, height, &size))
            return unexpected(Error::outputAllocationFailed());
        block = PixelBlock::allocate(size);
        if (block.empty())
            return unexpected(Error::outputAllocationFailed());
        preferHugePages(block);
        for (size_t y = 0; y < height; ++y)
            std::memcpy(block.data() + y * width, scaled->bytes + y * scaled->bytesPerRow, width);
    }
    auto provider = DataProvider::make(std::move(block));
    if (!provider)
        return unexpected(Error::outputAllocationFailed());
    return Image(ImageFormat{width, height, 8, 8, width, BitmapInfo::make(AlphaInfo::none)}, linearGrayColorSpace(),
                 std::move(provider), false, RenderingIntent::defaultIntent);
}

} // namespace

Result<Image, AlphaCompositionError> withMaskAsAlpha(const Image& source, const Image& mask)
{
    try {
        return composite(source, mask, false);
    } catch (const std::bad_alloc&) {
        return unexpected(Error::outputAllocationFailed());
    }
}

Result<Image, AlphaCompositionError> withMaskAsAlphaReleasingSource(Image&& source, const Image& mask)
{
    const Image image = std::move(source);
    // A block shared with another image (or with the mask) must stay readable for it.
    const bool sole = image.dataProvider() && image.dataProvider().use_count() == 1;
    try {
        return composite(image, mask, sole);
    } catch (const std::bad_alloc&) {
        return unexpected(Error::outputAllocationFailed());
    }
}

Result<Image, AlphaCompositionError> maskAsLinearGrayImage(const Image& mask, size_t width, size_t height)
{
    try {
        return linearGrayImage(mask, width, height);
    } catch (const std::bad_alloc&) {
        return unexpected(Error::outputAllocationFailed());
    }
}

} // namespace pelorin
