#include "engine/Inference/ForegroundSegmenter.h"

#include "engine/Imaging/ImageLimits.h"
#include "engine/Imaging/PixelLayout.h"
#include "engine/Inference/ModelLocator.h"
#include "engine/Imaging/LanczosResampler.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

namespace pelorin {

namespace {

constexpr const char* installAdvice = "Install it by running scripts/fetch-model.";
constexpr size_t maskRowAlignment = 64; // bytes; keeps every mask row cache-line aligned

// Where the colour components of an image lie: one plane view per channel (one for grey, three
// for RGB), each reading the image's bytes in place.
struct ColorPlanes {
    size_t count = 0;
    PlaneView views[3];
};

Result<ColorPlanes, std::string> colorPlanesOf(const Image& image)
{
    const size_t width = image.width(), height = image.height();
    if (width == 0 || height == 0)
        return unexpected(std::string("The image has no pixels."));
    if (auto error = checkImageDimensions(width, height))
        return unexpected(error->description());
    const uint32_t info = image.bitmapInfo();
    if (BitmapInfo::hasFloatComponents(info))
        return unexpected(std::string("Floating-point images cannot be segmented."));
    const size_t bpc = image.bitsPerComponent();
    if (bpc != 8 && bpc != 16)
        return unexpected("Images of " + std::to_string(bpc) + " bits per component cannot be segmented.");
    if (image.colorSpace() && image.colorSpace()->model() == ColorSpace::Model::cmyk)
        return unexpected(std::string("CMYK images cannot be segmented."));

    const size_t bytesPerComponent = bpc / 8;
    const size_t bpp = image.bitsPerPixel();
    if (bpp == 0 || bpp % bpc != 0)
        return unexpected("Images of " + std::to_string(bpp) + " bits per pixel at " + std::to_string(bpc)
                          + " bits per component cannot be segmented.");
    const size_t components = bpp / bpc;
    const auto layout = PixelLayout::of(image.alphaInfo());
    if (!layout)
        return unexpected("Images with alpha info " + std::to_string(image.alphaInfo())
                          + " have no colour to segment.");
    const bool extra = layout->extra;
    const size_t colorComponents = components - (extra ? 1 : 0);
    if (components <= (extra ? 1u : 0u) || (colorComponents != 1 && colorComponents != 3))
        return unexpected("Images with " + std::to_string(components) + " components per pixel cannot be segmented.");

    const size_t bytesPerPixel = bpp / 8;
    if (image.bytesPerRow() / bytesPerPixel < width)
        return unexpected(std::string("The image's rows are shorter than its pixels."));
    const auto bytes = image.bytes();
    // Every row but the last in full, and the last one's pixels.
    if (bytes.data() == nullptr || bytes.size() / image.bytesPerRow() < height - 1
        || bytes.size() - (height - 1) * image.bytesPerRow() < width * bytesPerPixel)
        return unexpected(std::string("The image's pixel data is truncated."));

    const SampleFormat format = bpc == 8     ? SampleFormat::uint8
        : BitmapInfo::is16BitBigEndian(info) ? SampleFormat::uint16BigEndian
                                             : SampleFormat::uint16LittleEndian;
    ColorPlanes planes;
    planes.count = colorComponents;
    for (size_t c = 0; c < colorComponents; ++c) {
        const size_t offset = (layout->colorOffset() + c) * bytesPerComponent;
        planes.views[c] = PlaneView{bytes.subspan(offset), width, height, image.bytesPerRow(), bytesPerPixel, format};
    }
    return planes;
}

// The network's input for `planes`: three planes of inputWidth × inputHeight, NCHW.
Result<AlignedFloats, std::string> makeInput(const ColorPlanes& planes, size_t inputWidth, size_t inputHeight)
{
    const auto& view = planes.views[0];
    auto resampler = LanczosResampler::make(view.width, view.height, inputWidth, inputHeight);
    if (!resampler)
        return unexpected(resampler.error());
    AlignedFloats input; // aligned, so the network reads it where it lies
    try {
        input.resize(3 * inputWidth * inputHeight);
    } catch (const std::bad_alloc&) {
        return unexpected(std::string("Not enough memory for the model's input."));
    }
    const size_t plane = inputWidth * inputHeight;
    for (size_t c = 0; c < planes.count; ++c) {
        const std::span<float> target(input.data() + c * plane, plane);
        if (auto resampled = resampler->resample(planes.views[c], target); !resampled)
            return unexpected(resampled.error());
        // The resampler gives fractions of full scale with a little ringing at edges; clamp as a
        // stored image would be, then centre as in training.
        for (float& v : target)
            v = (std::clamp(v, 0.0f, 1.0f) * 255.0f - 128.0f) / 256.0f;
    }
    if (planes.count == 1)
        for (size_t c = 1; c < 3; ++c)
            std::copy_n(input.data(), plane, input.data() + c * plane);
    return input;
}

Result<std::shared_ptr<const Network>, std::string> loadModel(const std::filesystem::path& file)
{
    auto loaded = Network::load(file);
    if (!loaded)
        return unexpected("The segmentation model " + file.string() + " could not be loaded (" + loaded.error() + "). "
                          + installAdvice);
    return loaded;
}

} // namespace

ForegroundObservation::ForegroundObservation(AlignedFloats output, size_t outputWidth, size_t outputHeight,
                                             size_t sourceWidth, size_t sourceHeight)
    : output_(std::move(output)),
      outputWidth_(outputWidth),
      outputHeight_(outputHeight),
      sourceWidth_(sourceWidth),
      sourceHeight_(sourceHeight)
{
}

double ForegroundObservation::subjectFraction() const
{
    if (output_.empty())
        return 0.0;
    const auto opaque = std::count_if(output_.begin(), output_.end(), [](float v) { return v >= 0.5f; });
    return double(opaque) / double(output_.size());
}

Result<MaskPixelBuffer, std::string> ForegroundObservation::generateScaledMask(uint32_t pixelFormat) const
{
    const bool bytes = pixelFormat == MaskPixelFormat::oneComponent8;
    if (!bytes && pixelFormat != MaskPixelFormat::oneComponent32Float)
        return unexpected(std::string("Masks come as one 8-bit or one float component per pixel."));
    const size_t width = sourceWidth_, height = sourceHeight_;
    if (auto error = checkImageDimensions(width, height))
        return unexpected(error->description());
    const size_t sample = bytes ? 1 : sizeof(float);
    const size_t payload = width * sample; // within limits after the check above
    const size_t bytesPerRow = (payload + maskRowAlignment - 1) / maskRowAlignment * maskRowAlignment;
    size_t total = 0;
    if (__builtin_mul_overflow(bytesPerRow, height, &total))
        return unexpected(std::string("The mask is too large."));
    PixelBlock block = PixelBlock::allocate(total);
    if (block.empty())
        return unexpected("Not enough memory for a " + std::to_string(width) + " × " + std::to_string(height)
                          + " mask.");

    auto resampler = LanczosResampler::make(outputWidth_, outputHeight_, width, height);
    if (!resampler)
        return unexpected(resampler.error());
    // Resample packed into the front of the block, then spread the rows to their stride from the
    // last one up: a row's destination never lies below its source, nor over rows still to move.
    const auto source = PlaneView::packed(std::span<const float>(output_), outputWidth_, outputHeight_);
    auto resampled = bytes
        ? resampler->resample(source, std::span<uint8_t>(block.data(), width * height))
        : resampler->resample(source, std::span<float>(reinterpret_cast<float*>(block.data()), width * height));
    if (!resampled)
        return unexpected(resampled.error());
    for (size_t y = height; y-- > 0;) {
        uint8_t* row = block.data() + y * bytesPerRow;
        std::memmove(row, block.data() + y * payload, payload);
        if (!bytes) {
            auto* values = reinterpret_cast<float*>(row);
            for (size_t x = 0; x < width; ++x)
                values[x] = std::clamp(values[x], 0.0f, 1.0f); // the filter's ringing
        }
        std::memset(row + payload, 0, bytesPerRow - payload);
    }
    return MaskPixelBuffer::make(pixelFormat, width, height, bytesPerRow, std::move(block));
}

const ForegroundSegmenter& ForegroundSegmenter::shared()
{
    static const ForegroundSegmenter instance;
    return instance;
}

ForegroundSegmenter::ForegroundSegmenter() = default;

ForegroundSegmenter::ForegroundSegmenter(std::shared_ptr<const Network> network) : network_(std::move(network)) {}

ForegroundSegmenter::ForegroundSegmenter(std::filesystem::path modelFile) : modelFile_(std::move(modelFile)) {}

Result<std::shared_ptr<const Network>, std::string> ForegroundSegmenter::network() const
{
    std::lock_guard lock(loadMutex_);
    if (network_)
        return network_;
    std::filesystem::path file;
    if (modelFile_) {
        file = *modelFile_;
    } else if (auto located = locateModel()) {
        file = *located;
    } else {
        // The description names every place searched and how to install the model.
        return unexpected(std::string("Cannot find ") + modelFileName + ": " + modelSearchDescription());
    }
    auto loaded = loadModel(file);
    if (loaded)
        network_ = *loaded;
    return loaded;
}

Result<std::optional<ForegroundObservation>, std::string> ForegroundSegmenter::detect(const Image& image) const
{
    auto planes = colorPlanesOf(image);
    if (!planes)
        return unexpected(planes.error());
    auto network = this->network();
    if (!network)
        return unexpected(network.error());
    const Network& model = **network;
    const size_t inputWidth = model.inputWidth(), inputHeight = model.inputHeight();
    auto input = makeInput(*planes, inputWidth, inputHeight);
    if (!input)
        return unexpected(input.error());

    Result<AlignedFloats, std::string> output = AlignedFloats{};
    try {
        std::lock_guard lock(runMutex_);
        output = model.run(*input);
    } catch (const std::exception& error) { // the executor reports by value; this keeps a batch alive if it slips
        output = unexpected(std::string(error.what()));
    }
    if (!output)
        return unexpected("The segmentation model failed: " + output.error());
    if (output->size() != inputWidth * inputHeight)
        return unexpected("The segmentation model returned " + std::to_string(output->size()) + " values instead of "
                          + std::to_string(inputWidth * inputHeight) + ".");

    ForegroundObservation observation(std::move(*output), inputWidth, inputHeight, image.width(), image.height());
    if (observation.subjectFraction() < minimumSubjectFraction)
        return std::optional<ForegroundObservation>();
    return std::optional<ForegroundObservation>(std::move(observation));
}

} // namespace pelorin
