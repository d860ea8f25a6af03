#include "engine/Extensions/ImageIO.h"

#include "engine/Imaging/ImageDestination.h"

namespace pelorin {

namespace {
constexpr int tiffCompressionLZW = 5;

DestinationType destinationType(OutputFormat format)
{
    return format == OutputFormat::tiff ? DestinationType::tiff : DestinationType::png;
}
} // namespace

Result<void, ImageIOWriteError> write(const Image& image, const std::filesystem::path& url, OutputFormat format,
                                      const std::optional<ImageMetadata>& sourceMetadata)
{
    if (!image.colorSpace())
        return unexpected(ImageIOWriteError::missingColorSpace());

    const std::string filename = url.filename().string();
    auto created = ImageDestination::create(url, destinationType(format), 1);
    if (!created)
        return unexpected(ImageIOWriteError::destinationCreationFailed(filename).withDetail(created.error()));
    auto& destination = *created;

    ImageProperties properties;
    if (sourceMetadata)
        sourceMetadata->merge(properties);
    if (format == OutputFormat::tiff) {
        TIFFProperties tiff = properties.tiff.value_or(TIFFProperties{});
        tiff.compression = tiffCompressionLZW;
        properties.tiff = tiff;
    }

    destination->addImage(image, properties);
    if (auto finalized = destination->finalize(); !finalized) {
        // The destination has already removed its file; make sure nothing stays under the name.
        std::error_code ignored;
        std::filesystem::remove(url, ignored);
        return unexpected(ImageIOWriteError::finalizeFailed(filename).withDetail(finalized.error()));
    }
    return {};
}

} // namespace pelorin
