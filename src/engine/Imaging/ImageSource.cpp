#include "engine/Imaging/ImageSource.h"

#include "engine/Imaging/SourceFile.h"

namespace pelorin {

namespace {
using Kind = ImageSourceError::Kind;

std::unique_ptr<ImageDecoder> makeDecoder(ImageFileType type, FileBytes bytes)
{
    switch (type) {
    case ImageFileType::png: return makePngDecoder(std::move(bytes));
    case ImageFileType::jpeg: return makeJpegDecoder(std::move(bytes));
    case ImageFileType::tiff: return makeTiffDecoder(std::move(bytes));
    case ImageFileType::webp: return makeWebPDecoder(std::move(bytes));
    case ImageFileType::heif: return makeHeifDecoder(std::move(bytes));
    case ImageFileType::bmp: return makeBmpDecoder(std::move(bytes));
    }
    return nullptr;
}

Result<ImageHeader, ImageSourceError> headerOf(FileBytes bytes)
{
    auto source = ImageSource::open(std::move(bytes));
    if (!source)
        return unexpected(source.error());
    auto properties = (*source)->properties();
    if (!properties)
        return unexpected(properties.error());
    return ImageHeader{(*source)->type(), properties->pixelWidth.value_or(0), properties->pixelHeight.value_or(0)};
}
} // namespace

ImageSource::ImageSource(ImageFileType type, std::unique_ptr<ImageDecoder> decoder)
    : type_(type),
      decoder_(std::move(decoder))
{
}

Result<std::unique_ptr<ImageSource>, ImageSourceError> ImageSource::open(const std::filesystem::path& path)
{
    auto file = SourceFile::open(path);
    if (!file)
        return unexpected(file.error());
    auto bytes = std::make_shared<std::vector<uint8_t>>();
    if (auto read = file->readUpTo(*bytes, file->size()); !read)
        return unexpected(read.error());
    return open(std::move(bytes));
}

Result<ImageHeader, ImageSourceError> ImageSource::readHeader(const std::filesystem::path& path)
{
    auto file = SourceFile::open(path);
    if (!file)
        return unexpected(file.error());
    file->adviseNoReadAhead();
    auto bytes = std::make_shared<std::vector<uint8_t>>();
    if (auto read = file->readUpTo(*bytes, headerPrefixSize); !read)
        return unexpected(read.error());
    auto header = headerOf(bytes);
    // Every decoder reports a header cut off by the end of its bytes as an error, so a failure on
    // a prefix may only mean "read on": then the rest is read and the header parsed again.
    const bool prefixOnly = bytes->size() == headerPrefixSize && file->size() > headerPrefixSize;
    if (header || !prefixOnly)
        return header;
    if (auto read = file->readUpTo(*bytes, file->size()); !read)
        return unexpected(read.error());
    return headerOf(bytes);
}

Result<std::unique_ptr<ImageSource>, ImageSourceError> ImageSource::open(FileBytes bytes)
{
    if (!bytes || bytes->empty())
        return unexpected(ImageSourceError{Kind::emptyFile, "The file is empty."});
    const auto type = detectImageFileType(*bytes);
    if (!type)
        return unexpected(ImageSourceError{Kind::unknownFormat, "The file is not an image in a format Pelorin reads."});
    auto decoder = makeDecoder(*type, std::move(bytes));
    if (!decoder)
        return unexpected(ImageSourceError{Kind::unsupported, "This image format is not supported."});
    return std::unique_ptr<ImageSource>(new ImageSource(*type, std::move(decoder)));
}

Result<ImageProperties, ImageSourceError> ImageSource::properties()
{
    return decoder_->properties();
}

Result<Image, ImageSourceError> ImageSource::createImage()
{
    return decoder_->decode();
}

} // namespace pelorin
