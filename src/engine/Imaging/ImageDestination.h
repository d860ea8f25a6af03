// ImageDestination: writes one image, with a properties dictionary, as a PNG or TIFF file.
//
// create() opens (creating or truncating) the file at once, so a folder that is missing or not
// writable is reported before any encoding; finalize() encodes and reports whether the whole file
// was written. A destination destroyed without a successful finalize removes the file it created,
// so a failed write never leaves a partial file behind. Use from one thread at a time.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Imaging/Image.h"
#include "engine/Imaging/ImageProperties.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace pelorin {

enum class DestinationType { png, tiff };

class ImageDestination {
public:
    // Fails, saying why, when the type cannot hold `imageCount` images (only one is supported) or
    // the file cannot be created.
    static Result<std::unique_ptr<ImageDestination>, std::string> create(const std::filesystem::path& path,
                                                                         DestinationType type, size_t imageCount = 1);

    ~ImageDestination();
    ImageDestination(const ImageDestination&) = delete;
    ImageDestination& operator=(const ImageDestination&) = delete;

    // Queues the image; a second image replaces nothing and makes finalize() fail.
    void addImage(const Image& image, const ImageProperties& properties);
    // Encodes the queued image and closes the file; fails, saying why, unless the file was
    // written completely (and then it is removed).
    Result<void, std::string> finalize();

private:
    ImageDestination(std::filesystem::path path, DestinationType type, int fd);
    void discard();

    std::filesystem::path path_;
    DestinationType type_;
    int fd_;
    std::optional<Image> image_;
    ImageProperties properties_;
    size_t imagesAdded_ = 0;
    bool finalized_ = false;
    bool discarded_ = false;
};

} // namespace pelorin
