#include "engine/Imaging/Codecs/Png/PngFileSink.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <unistd.h>

namespace pelorin::png {

bool PngFileSink::write(std::span<const uint8_t> bytes)
{
    if (error_ != 0)
        return false;
    if (buffer_.capacity() < capacity_) {
        try {
            buffer_.reserve(capacity_);
        } catch (const std::bad_alloc&) {
            error_ = ENOMEM;
            return false;
        }
    }
    if (buffer_.size() + bytes.size() > capacity_ && !flush())
        return false;
    if (bytes.size() >= capacity_)
        return writeOut(bytes.data(), bytes.size()); // large blocks skip the copy
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    return true;
}

bool PngFileSink::flush()
{
    if (error_ != 0)
        return false;
    const bool written = writeOut(buffer_.data(), buffer_.size());
    buffer_.clear();
    return written;
}

bool PngFileSink::writeOut(const uint8_t* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error_ = errno;
            return false;
        }
        if (n == 0) {
            error_ = EIO; // a regular file that accepts nothing will not accept more later
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::string PngFileSink::failureText() const
{
    return error_ != 0 ? std::strerror(error_) : "no error";
}

} // namespace pelorin::png
