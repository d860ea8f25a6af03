#include "engine/Services/CutoutService.h"

#include "engine/Common/TemporaryFile.h"
#include "engine/Extensions/ImageAlpha.h"
#include "engine/Imaging/ImageSource.h"
#include "engine/Services/BatchProcessingError.h"

#include <chrono>
#include <exception>
#include <fstream>
#include <iterator>

namespace pelorin {

namespace {

std::string writeReason(const ImageIOWriteError& error)
{
    std::string reason = error.description();
    if (!error.detail().empty())
        reason += " " + error.detail();
    return reason;
}

CutoutError sourceError(const std::string& name, const ImageSourceError& error)
{
    const bool notAnImage =
        error.kind == ImageSourceError::Kind::unknownFormat || error.kind == ImageSourceError::Kind::emptyFile;
    return {notAnImage ? CutoutError::Kind::notAnImage : CutoutError::Kind::unreadable,
            BatchProcessingError::sourceImageUnreadable(name).errorDescription(), error.description()};
}

CutoutError maskError(const BackgroundRemoverError& error)
{
    auto kind = CutoutError::Kind::failed;
    if (error.kind() == BackgroundRemoverError::Kind::noSubjectFound)
        kind = CutoutError::Kind::noSubject;
    else if (error.kind() == BackgroundRemoverError::Kind::visionRequestFailed)
        kind = CutoutError::Kind::modelUnavailable;
    return {kind, BatchProcessingError::maskGenerationFailed(error.description()).errorDescription()};
}

std::optional<std::vector<uint8_t>> readWholeFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return bytes;
}

} // namespace

CutoutService::CutoutService(std::shared_ptr<const BackgroundRemoving> remover,
                             std::shared_ptr<const ImageProcessing> processor, int maxConcurrency, int queueLimit,
                             std::filesystem::path scratchFolder)
    : remover_(std::move(remover)),
      processor_(std::move(processor)),
      gate_(std::make_unique<AdmissionGate>(maxConcurrency, queueLimit)),
      scratchFolder_(std::move(scratchFolder))
{
}

Result<EncodedCutout, CutoutError> CutoutService::process(const CutoutRequest& request) const
{
    auto ticket = gate_->enter();
    if (!ticket)
        return unexpected(CutoutError::busy());
    try {
        return run(request);
    } catch (const std::exception& exception) {
        // A library ran out of memory, most likely; the request fails alone, its data released.
        return unexpected(CutoutError(CutoutError::Kind::failed,
                                      BatchProcessingError::compositeFailed(exception.what()).errorDescription()));
    }
}

Result<EncodedCutout, CutoutError> CutoutService::run(const CutoutRequest& request) const
{
    if (!request.bytes)
        return unexpected(sourceError(request.name, {ImageSourceError::Kind::emptyFile, "The image is empty."}));
    auto opened = ImageSource::open(request.bytes);
    if (!opened)
        return unexpected(sourceError(request.name, opened.error()));
    std::optional<ImageMetadata> metadata;
    if (auto properties = (*opened)->properties())
        metadata = ImageMetadata::from(*properties);
    // The source's and the mask's pixels live only in this scope: the output holds its own.
    std::optional<Image> output;
    OutputFormat format = request.format;
    double maskSeconds = 0;
    {
        auto source = (*opened)->createImage();
        if (!source)
            return unexpected(sourceError(request.name, source.error()));
        opened->reset(); // the decoder's copy of the bytes is no longer needed

        const auto started = std::chrono::steady_clock::now();
        auto mask = remover_->generateMask(*source);
        maskSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (!mask)
            return unexpected(maskError(mask.error()));

        if (request.output == CutoutOutput::mask) {
            auto grey = maskAsLinearGrayImage(*mask, source->width(), source->height());
            if (!grey)
                return unexpected(CutoutError(
                    CutoutError::Kind::failed,
                    BatchProcessingError::writeFailed(request.name, grey.error().description()).errorDescription()));
            output.emplace(std::move(grey).value());
            format = OutputFormat::png;
            metadata.reset(); // a mask carries no metadata, as the sidecar does not
        } else {
            auto composited = processor_->compositeReleasingSource(std::move(*source), *mask);
            if (!composited)
                return unexpected(CutoutError(
                    CutoutError::Kind::failed,
                    BatchProcessingError::compositeFailed(composited.error().description()).errorDescription()));
            output.emplace(std::move(composited).value());
        }
    }

    auto bytes = encode(*output, format, metadata);
    if (!bytes)
        return unexpected(bytes.error());
    return EncodedCutout{std::move(bytes).value(), OutputFormats::utType(format), maskSeconds};
}

Result<std::vector<uint8_t>, CutoutError> CutoutService::encode(const Image& image, OutputFormat format,
                                                                const std::optional<ImageMetadata>& metadata) const
{
    // The encoders write files; a scratch file that lives only for this call keeps them unchanged.
    TemporaryFile scratch(TemporaryFile::makePath(scratchFolder_));
    const auto failure = [&](const std::string& reason) {
        return unexpected(CutoutError(CutoutError::Kind::failed,
                                      BatchProcessingError::writeFailed(scratch.path(), reason).errorDescription()));
    };
    if (auto saved = processor_->save(image, scratch.path(), format, metadata); !saved) {
        if (saved.error().is<ImageIOWriteError::UnsupportedFormat>())
            return unexpected(CutoutError(CutoutError::Kind::failed,
                                          BatchProcessingError::unsupportedOutputFormat(format).errorDescription()));
        return failure(writeReason(saved.error()));
    }
    auto bytes = readWholeFile(scratch.path());
    if (!bytes)
        return failure("the encoded image could not be read back");
    return std::move(bytes).value();
}

Result<void, CutoutError> CutoutService::warmUp() const
{
    // Mid-grey RGBX: small enough to cost nothing but the inference itself.
    constexpr size_t side = 64;
    PixelBlock block = PixelBlock::allocate(side * side * 4);
    if (block.empty())
        return unexpected(CutoutError(CutoutError::Kind::failed, "Could not allocate the warm-up image."));
    std::fill(block.data(), block.data() + side * side * 4, uint8_t(128));
    const uint32_t noneSkipLast = 5;
    const Image image(ImageFormat{side, side, 8, 32, side * 4, noneSkipLast}, ColorSpace::named(ColorSpace::Name::sRGB),
                      DataProvider::make(std::move(block)), false, RenderingIntent::defaultIntent);
    auto mask = remover_->generateMask(image);
    if (!mask && mask.error().kind() != BackgroundRemoverError::Kind::noSubjectFound)
        return unexpected(maskError(mask.error()));
    return {};
}

} // namespace pelorin
