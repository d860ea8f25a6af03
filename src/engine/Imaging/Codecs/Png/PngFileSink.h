// PngFileSink: buffers an encoder's output and writes it to a file descriptor in large blocks,
// retrying short writes and EINTR. The first failure is kept (errno) and every later write is
// refused, so a full disk is reported once and nothing after it is attempted.
// Does not own the descriptor and never closes it. Use from one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace pelorin::png {

class PngFileSink {
public:
    // `capacity` bytes are allocated on the first write.
    explicit PngFileSink(int fd, size_t capacity = size_t{1} << 20) : fd_(fd), capacity_(capacity) {}

    // False once any write failed.
    bool write(std::span<const uint8_t> bytes);
    // Writes out what is buffered.
    bool flush();

    bool failed() const { return error_ != 0; }
    // Why the sink failed, as a sentence fragment ("No space left on device").
    std::string failureText() const;

private:
    bool writeOut(const uint8_t* data, size_t size);

    int fd_;
    size_t capacity_;
    std::vector<uint8_t> buffer_;
    int error_ = 0;
};

} // namespace pelorin::png
