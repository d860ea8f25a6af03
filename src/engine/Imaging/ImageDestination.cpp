#include "engine/Imaging/ImageDestination.h"

#include "engine/Imaging/Codecs/ImageEncoder.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelorin {

Result<std::unique_ptr<ImageDestination>, std::string> ImageDestination::create(const std::filesystem::path& path,
                                                                                DestinationType type, size_t imageCount)
{
    if (imageCount != 1)
        return unexpected(std::string("Only one image per file is supported."));
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0)
        return unexpected(std::string(std::strerror(errno)));
    // Only ever write (and, on failure, remove) a regular file: never a device or a FIFO.
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return unexpected(std::string("Not a regular file."));
    }
    return std::unique_ptr<ImageDestination>(new ImageDestination(path, type, fd));
}

ImageDestination::ImageDestination(std::filesystem::path path, DestinationType type, int fd)
    : path_(std::move(path)),
      type_(type),
      fd_(fd)
{
}

ImageDestination::~ImageDestination()
{
    if (!finalized_ && !discarded_)
        discard();
}

void ImageDestination::discard()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
    discarded_ = true;
}

void ImageDestination::addImage(const Image& image, const ImageProperties& properties)
{
    ++imagesAdded_;
    if (imagesAdded_ == 1) {
        image_ = image;
        properties_ = properties;
    }
}

Result<void, std::string> ImageDestination::finalize()
{
    if (finalized_ || fd_ < 0)
        return unexpected(std::string("The destination was already finalized."));
    if (imagesAdded_ != 1 || !image_) {
        discard();
        return unexpected(
            std::string(imagesAdded_ == 0 ? "No image was added." : "Only one image per file is supported."));
    }
    const auto written =
        type_ == DestinationType::png ? encodePng(fd_, *image_, properties_) : encodeTiff(fd_, *image_, properties_);
    if (!written) {
        discard();
        return unexpected(written.error());
    }
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0) {
        const std::string reason = std::string("Closing the file failed: ") + std::strerror(errno);
        discard();
        return unexpected(reason);
    }
    finalized_ = true;
    return {};
}

} // namespace pelorin
