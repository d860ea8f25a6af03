// ImageSource: one image file opened by content. Reads the file once into memory, recognises its
// format by magic bytes (never by name), and offers the header properties of image 0 without
// decoding pixels, and image 0 decoded.
//
// Errors are values with a clear message; nothing here throws or prints. A source is used from one
// thread at a time; separate sources are independent.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Imaging/Codecs/ImageDecoder.h"
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

    ImageFileType type() const { return type_; }
    Result<ImageProperties, ImageSourceError> properties();
    Result<Image, ImageSourceError> createImage();

private:
    ImageSource(ImageFileType type, std::unique_ptr<ImageDecoder> decoder);

    ImageFileType type_;
    std::unique_ptr<ImageDecoder> decoder_;
};

} // namespace pelorin
