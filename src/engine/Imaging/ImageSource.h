// ImageSource: one image file opened by content. Reads the file once into memory (never mapped),
// recognises its format by magic bytes (never by name), and offers the header properties of image
// 0 without decoding pixels, and image 0 decoded: a job takes both from one open. readHeader()
// serves a queue that needs only the pixel size, from a bounded prefix of the file.
//
// Errors are values with a clear message; nothing here throws or prints. A source is used from one
// thread at a time; separate sources are independent, and readHeader() may run on any thread.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Imaging/Codecs/ImageDecoder.h"
#include "engine/Imaging/ImageHeader.h"
#include "engine/Imaging/ImageFileType.h"

#include <filesystem>
#include <memory>

namespace pelorin {

class ImageSource {
public:
    // Fails when the file cannot be read, is empty, too big, or not an image we decode.
    static Result<std::unique_ptr<ImageSource>, ImageSourceError> open(const std::filesystem::path& path);
    // Same, over bytes already in memory.
    static Result<std::unique_ptr<ImageSource>, ImageSourceError> open(FileBytes bytes);

    // The header of the file at `path` from its first headerPrefixSize bytes; only a header that
    // lies further in (a TIFF directory at the end, JPEG segments before the frame header larger
    // than the prefix) costs a read of the whole file. Fails as open() and properties() would.
    static Result<ImageHeader, ImageSourceError> readHeader(const std::filesystem::path& path);
    // Holds the header of every camera photo we have seen, EXIF and embedded previews included.
    static constexpr size_t headerPrefixSize = 256 * 1024;

    ImageFileType type() const { return type_; }
    Result<ImageProperties, ImageSourceError> properties();
    Result<Image, ImageSourceError> createImage();

private:
    ImageSource(ImageFileType type, std::unique_ptr<ImageDecoder> decoder);

    ImageFileType type_;
    std::unique_ptr<ImageDecoder> decoder_;
};

} // namespace pelorin
