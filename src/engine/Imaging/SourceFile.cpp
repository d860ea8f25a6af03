#include "engine/Imaging/SourceFile.h"

#include "engine/Imaging/ImageLimits.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace pelorin {

namespace {
using Kind = ImageSourceError::Kind;

ImageSourceError fileError(const std::string& what, int error)
{
    return {Kind::unreadableFile, what + ": " + std::strerror(error) + "."};
}
} // namespace

Result<SourceFile, ImageSourceError> SourceFile::open(const std::filesystem::path& path)
{
    // O_NONBLOCK so that a FIFO named like an image does not hang the open.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!file.isOpen())
        return unexpected(fileError("The file could not be opened", errno));
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        return unexpected(fileError("The file could not be read", errno));
    if (S_ISDIR(info.st_mode))
        return unexpected(ImageSourceError{Kind::unreadableFile, "This is a folder, not an image file."});
    if (!S_ISREG(info.st_mode))
        return unexpected(ImageSourceError{Kind::unreadableFile, "This is not a regular file."});
    if (info.st_size <= 0)
        return unexpected(ImageSourceError{Kind::emptyFile, "The file is empty."});
    if (static_cast<uint64_t>(info.st_size) > maxImageFileSize)
        return unexpected(ImageSourceError{Kind::tooLarge, "The file is too large to open (over 2 GiB)."});
    return SourceFile(std::move(file), static_cast<uint64_t>(info.st_size));
}

Result<void, ImageSourceError> SourceFile::readUpTo(std::vector<uint8_t>& bytes, uint64_t end) const
{
    const size_t start = bytes.size();
    const size_t target = static_cast<size_t>(std::min(end, size_));
    if (target <= start)
        return {};
    try {
        bytes.resize(target);
    } catch (const std::bad_alloc&) {
        bytes.resize(start);
        return unexpected(ImageSourceError{Kind::outOfMemory, "Not enough memory to read the file."});
    }
    size_t filled = start;
    while (filled < target) {
        const ssize_t n = ::pread(file_.get(), bytes.data() + filled, target - filled, static_cast<off_t>(filled));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            bytes.resize(filled);
            return unexpected(fileError("The file could not be read", error));
        }
        if (n == 0)
            break; // shrank since it was opened
        filled += static_cast<size_t>(n);
    }
    bytes.resize(filled);
    return {};
}

void SourceFile::adviseNoReadAhead() const
{
    ::posix_fadvise(file_.get(), 0, 0, POSIX_FADV_RANDOM); // advice only: nothing to do if refused
}

} // namespace pelorin
