#include "engine/Imaging/Codecs/Tiff/TiffHandle.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace pelorin::tiff {

struct TiffHandle::Stream {
    // Memory streams read `data`; buffer streams grow `buffer`; descriptor streams use `fd` at
    // `base` + position.
    const uint8_t* data = nullptr;
    std::vector<uint8_t> buffer;
    int fd = -1;
    off_t base = 0;
    uint64_t position = 0;
    uint64_t length = 0; // memory: the byte count; buffer and descriptor: the furthest byte written
    TiffMessages* messages = nullptr;
};

namespace {
using Stream = TiffHandle::Stream;

// Big enough for any legitimate strip or tile buffer libtiff allocates itself (image buffers are
// ours and checked against ImageLimits); a forged header asking for more fails cleanly instead.
constexpr tmsize_t maxLibtiffAllocation = tmsize_t{1} << 30;

Stream& streamOf(thandle_t handle)
{
    return *static_cast<Stream*>(handle);
}

std::string format(const char* fmt, va_list ap)
{
    char buffer[512];
    const int n = std::vsnprintf(buffer, sizeof buffer, fmt, ap);
    if (n < 0)
        return "unreadable libtiff message";
    return std::string(buffer, std::min<size_t>(static_cast<size_t>(n), sizeof buffer - 1));
}

int recordError(TIFF*, void* user, const char*, const char* fmt, va_list ap)
{
    auto* messages = static_cast<TiffMessages*>(user);
    if (messages->firstError.empty())
        messages->firstError = format(fmt, ap);
    return 1; // handled: libtiff must not call the process-wide handlers
}

int recordWarning(TIFF*, void* user, const char*, const char* fmt, va_list ap)
{
    static_cast<TiffMessages*>(user)->lastWarning = format(fmt, ap);
    return 1;
}

tmsize_t memoryRead(thandle_t handle, void* buffer, tmsize_t size)
{
    Stream& s = streamOf(handle);
    if (size <= 0 || s.position >= s.length)
        return 0;
    const uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(size), s.length - s.position);
    std::memcpy(buffer, s.data + s.position, n);
    s.position += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t bufferRead(thandle_t handle, void* out, tmsize_t size)
{
    Stream& s = streamOf(handle);
    if (size <= 0 || s.position >= s.buffer.size())
        return 0;
    const uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(size), s.buffer.size() - s.position);
    std::memcpy(out, s.buffer.data() + s.position, n);
    s.position += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t bufferWrite(thandle_t handle, void* bytes, tmsize_t size)
{
    Stream& s = streamOf(handle);
    if (size < 0)
        return -1;
    try {
        if (s.buffer.size() < s.position + size)
            s.buffer.resize(s.position + size);
    } catch (...) { // out of memory, or a position past what a vector can hold
        return -1;
    }
    std::memcpy(s.buffer.data() + s.position, bytes, static_cast<size_t>(size));
    s.position += size;
    s.length = s.buffer.size();
    return size;
}

tmsize_t refuseWrite(thandle_t, void*, tmsize_t)
{
    return -1;
}

toff_t seek(thandle_t handle, toff_t offset, int whence)
{
    Stream& s = streamOf(handle);
    // Unsigned wrap-around makes "current + negative offset" come out right.
    uint64_t target = offset;
    if (whence == SEEK_CUR)
        target = s.position + offset;
    else if (whence == SEEK_END)
        target = s.length + offset;
    else if (whence != SEEK_SET)
        return static_cast<toff_t>(-1);
    if (target > static_cast<uint64_t>(INT64_MAX))
        return static_cast<toff_t>(-1);
    s.position = target;
    return target;
}

int closeNothing(thandle_t)
{
    return 0; // the bytes and the descriptor belong to the caller
}

toff_t streamSize(thandle_t handle)
{
    return streamOf(handle).length;
}

// Memory is mapped as it is: libtiff then decodes strips straight from the caller's bytes.
int mapMemory(thandle_t handle, void** base, toff_t* size)
{
    Stream& s = streamOf(handle);
    *base = const_cast<uint8_t*>(s.data); // libtiff maps read-only and never writes through it
    *size = s.length;
    return 1;
}

int mapNothing(thandle_t, void**, toff_t*)
{
    return 0;
}

void unmapNothing(thandle_t, void*, toff_t) {}

bool descriptorOffset(const Stream& s, uint64_t position, off_t& offset)
{
    if (position > static_cast<uint64_t>(INT64_MAX - s.base))
        return false;
    offset = s.base + static_cast<off_t>(position);
    return true;
}

tmsize_t descriptorRead(thandle_t handle, void* buffer, tmsize_t size)
{
    Stream& s = streamOf(handle);
    if (size <= 0)
        return 0;
    size_t done = 0;
    while (done < static_cast<size_t>(size)) {
        off_t at;
        if (!descriptorOffset(s, s.position + done, at))
            return -1;
        const ssize_t n = ::pread(s.fd, static_cast<uint8_t*>(buffer) + done, static_cast<size_t>(size) - done, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    s.position += done;
    return static_cast<tmsize_t>(done);
}

bool writeAt(Stream& s, const uint8_t* bytes, size_t size)
{
    size_t done = 0;
    while (done < size) {
        off_t at;
        if (!descriptorOffset(s, s.position + done, at)) {
            errno = EFBIG;
            return false;
        }
        const ssize_t n = ::pwrite(s.fd, bytes + done, size - done, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    s.position += size;
    s.length = std::max(s.length, s.position);
    return true;
}

tmsize_t descriptorWrite(thandle_t handle, void* buffer, tmsize_t size)
{
    Stream& s = streamOf(handle);
    if (size < 0)
        return -1;
    if (!writeAt(s, static_cast<const uint8_t*>(buffer), static_cast<size_t>(size))) {
        if (s.messages->writeErrno == 0)
            s.messages->writeErrno = errno;
        return -1;
    }
    return size;
}

struct OptionsDeleter {
    void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};

std::unique_ptr<TIFFOpenOptions, OptionsDeleter> quietOptions(TiffMessages& messages)
{
    std::unique_ptr<TIFFOpenOptions, OptionsDeleter> options(TIFFOpenOptionsAlloc());
    if (!options)
        return options;
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), recordError, &messages);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), recordWarning, &messages);
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), maxLibtiffAllocation);
    return options;
}

// libtiff over `stream`, reporting into `messages`; null when it could not open (the reason is
// in `messages`).
TIFF* openStream(Stream& stream, TiffMessages& messages, const char* name, const char* mode, TIFFReadWriteProc read,
                 TIFFReadWriteProc write, TIFFMapFileProc map)
{
    auto options = quietOptions(messages);
    if (!options) {
        messages.firstError = "out of memory";
        return nullptr;
    }
    return TIFFClientOpenExt(name, mode, &stream, read, write, seek, closeNothing, streamSize, map, unmapNothing,
                             options.get());
}
} // namespace

TiffHandle::TiffHandle() : stream_(std::make_unique<Stream>())
{
    stream_->messages = &messages_;
}

TiffHandle::~TiffHandle()
{
    if (tif_)
        TIFFClose(tif_); // calls closeNothing: the stream's owner keeps its bytes or descriptor
}

std::unique_ptr<TiffHandle> TiffHandle::openMemory(std::span<const uint8_t> bytes)
{
    std::unique_ptr<TiffHandle> handle(new TiffHandle());
    handle->stream_->data = bytes.data();
    handle->stream_->length = bytes.size();
    handle->tif_ = openStream(*handle->stream_, handle->messages_, "memory", "r", memoryRead, refuseWrite, mapMemory);
    return handle;
}

std::unique_ptr<TiffHandle> TiffHandle::openBuffer()
{
    std::unique_ptr<TiffHandle> handle(new TiffHandle());
    handle->tif_ = openStream(*handle->stream_, handle->messages_, "buffer", "wl", bufferRead, bufferWrite, mapNothing);
    return handle;
}

std::span<const uint8_t> TiffHandle::buffer() const
{
    return stream_->buffer;
}

std::unique_ptr<TiffHandle> TiffHandle::openForWriting(int fd)
{
    std::unique_ptr<TiffHandle> handle(new TiffHandle());
    Stream& s = *handle->stream_;
    s.fd = fd;
    s.base = ::lseek(fd, 0, SEEK_CUR);
    if (s.base < 0) {
        handle->messages_.writeErrno = errno;
        return handle;
    }
    // "l": little-endian, so EXIF values (kept little-endian) are copied as they are.
    handle->tif_ =
        openStream(*handle->stream_, handle->messages_, "output", "wl", descriptorRead, descriptorWrite, mapNothing);
    return handle;
}

uint64_t TiffHandle::nextAppendOffset() const
{
    return stream_->length + (stream_->length % 2);
}

bool TiffHandle::append(std::span<const uint8_t> bytes)
{
    Stream& s = *stream_;
    static constexpr uint8_t padding = 0;
    s.position = s.length;
    // TIFF directories and values start at even offsets.
    const bool written = (s.length % 2 == 0 || writeAt(s, &padding, 1)) && writeAt(s, bytes.data(), bytes.size());
    if (!written && messages_.writeErrno == 0)
        messages_.writeErrno = errno;
    return written;
}

bool TiffHandle::seekDescriptorToEnd()
{
    off_t end;
    if (!descriptorOffset(*stream_, stream_->length, end))
        errno = EFBIG;
    else if (::lseek(stream_->fd, end, SEEK_SET) >= 0)
        return true;
    if (messages_.writeErrno == 0)
        messages_.writeErrno = errno;
    return false;
}

std::string TiffHandle::failureText() const
{
    if (messages_.writeErrno != 0)
        return std::strerror(messages_.writeErrno);
    if (!messages_.firstError.empty())
        return messages_.firstError;
    if (!messages_.lastWarning.empty())
        return messages_.lastWarning;
    return "libtiff gave no reason";
}

} // namespace pelorin::tiff
