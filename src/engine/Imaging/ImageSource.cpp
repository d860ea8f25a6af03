#include "engine/Imaging/ImageSource.h"

#include "engine/Imaging/ImageLimits.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelorin {

namespace {
using Kind = ImageSourceError::Kind;

ImageSourceError fileError(const std::string& what, int error)
{
    return {Kind::unreadableFile, what + ": " + std::strerror(error) + "."};
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

Result<FileBytes, ImageSourceError> readWholeFile(const std::filesystem::path& path)
{
    // O_NONBLOCK so that a FIFO named like an image does not hang the open.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0)
        return unexpected(fileError("The file could not be opened", errno));
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        return unexpected(fileError("The file could not be read", errno));
    if (S_ISDIR(info.st_mode))
        return unexpected(ImageSourceError{Kind::unreadableFile, "This is a folder, not an image file."});
    if (!S_ISREG(info.st_mode))
        return unexpected(ImageSourceError{Kind::unreadableFile, "This is not a regular file."});
    if (info.st_size == 0)
        return unexpected(ImageSourceError{Kind::emptyFile, "The file is empty."});
    if (static_cast<uint64_t>(info.st_size) > maxImageFileSize)
        return unexpected(ImageSourceError{Kind::tooLarge, "The file is too large to open (over 2 GiB)."});

    auto bytes = std::make_shared<std::vector<uint8_t>>();
    const auto expected = static_cast<size_t>(info.st_size);
    try {
        bytes->resize(expected);
    } catch (const std::bad_alloc&) {
        return unexpected(ImageSourceError{Kind::outOfMemory, "Not enough memory to read the file."});
    }
    size_t filled = 0;
    while (filled < expected) {
        const ssize_t n = ::read(file.get(), bytes->data() + filled, expected - filled);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return unexpected(fileError("The file could not be read", errno));
        }
        if (n == 0)
            break; // shrank while reading: decode what is there, the codec reports truncation
        filled += static_cast<size_t>(n);
    }
    bytes->resize(filled);
    if (filled == 0)
        return unexpected(ImageSourceError{Kind::emptyFile, "The file is empty."});
    return FileBytes(std::move(bytes));
}

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
} // namespace

ImageSource::ImageSource(ImageFileType type, std::unique_ptr<ImageDecoder> decoder)
    : type_(type), decoder_(std::move(decoder))
{
}

Result<std::unique_ptr<ImageSource>, ImageSourceError> ImageSource::open(const std::filesystem::path& path)
{
    auto bytes = readWholeFile(path);
    if (!bytes)
        return unexpected(bytes.error());
    return open(std::move(*bytes));
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
