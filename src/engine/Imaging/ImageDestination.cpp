#include "engine/Imaging/ImageDestination.h"

#include "engine/Imaging/Codecs/ImageEncoder.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelorin {

namespace {
thread_local std::string createError;
}

std::unique_ptr<ImageDestination> ImageDestination::create(const std::filesystem::path& path,
                                                           DestinationType type,
                                                           size_t imageCount)
{
    if (imageCount != 1) {
        createError = "Only one image per file is supported.";
        return nullptr;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0) {
        createError = std::strerror(errno);
        return nullptr;
    }
    // Only ever write (and, on failure, remove) a regular file: never a device or a FIFO.
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        createError = "Not a regular file.";
        return nullptr;
    }
    createError.clear();
    return std::unique_ptr<ImageDestination>(new ImageDestination(path, type, fd));
}

std::string ImageDestination::lastCreateError()
{
    return createError;
}

ImageDestination::ImageDestination(std::filesystem::path path, DestinationType type, int fd)
    : path_(std::move(path)), type_(type), fd_(fd)
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

bool ImageDestination::finalize()
{
    if (finalized_ || fd_ < 0) {
        failureReason_ = "The destination was already finalized.";
        return false;
    }
    if (imagesAdded_ != 1 || !image_) {
        failureReason_ = imagesAdded_ == 0 ? "No image was added." : "Only one image per file is supported.";
        discard();
        return false;
    }
    const auto written = type_ == DestinationType::png ? encodePng(fd_, *image_, properties_)
                                                       : encodeTiff(fd_, *image_, properties_);
    if (!written) {
        failureReason_ = written.error();
        discard();
        return false;
    }
    if (::close(fd_) != 0) {
        fd_ = -1;
        failureReason_ = std::string("Closing the file failed: ") + std::strerror(errno);
        discard();
        return false;
    }
    fd_ = -1;
    finalized_ = true;
    failureReason_.clear();
    return true;
}

} // namespace pelorin
