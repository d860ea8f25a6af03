#include "engine/Extensions/ImageMetadata.h"

#include "engine/Imaging/ImageSource.h"

namespace pelorin {

std::optional<ImageMetadata> ImageMetadata::read(const std::filesystem::path& url)
{
    auto source = ImageSource::open(url);
    if (!source)
        return std::nullopt;
    auto properties = (*source)->properties();
    if (!properties)
        return std::nullopt;
    return from(*properties);
}

ImageMetadata ImageMetadata::from(const ImageProperties& properties)
{
    return ImageMetadata{properties.orientation, properties.exif, properties.dpiWidth, properties.dpiHeight};
}

void ImageMetadata::merge(ImageProperties& properties) const
{
    if (orientation)
        properties.orientation = orientation;
    if (dpiWidth)
        properties.dpiWidth = dpiWidth;
    if (dpiHeight)
        properties.dpiHeight = dpiHeight;
    if (exif && !exif->empty())
        properties.exif = exif;
}

} // namespace pelorin
