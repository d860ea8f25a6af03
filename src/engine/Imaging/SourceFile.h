// SourceFile: an image file opened for reading: a regular, non-empty file within the file-size
// limit. Bytes are copied out with pread, never mapped: another program may truncate a source
// while we read it, and a mapped page past the new end raises SIGBUS instead of an error.
#pragma once

#include "engine/Common/FileDescriptor.h"
#include "engine/Common/Result.h"
#include "engine/Imaging/ImageSourceError.h"

#include <cstdint>
#include <filesystem>
#include <vector>

namespace pelorin {

class SourceFile {
public:
    // Fails with a clear reason for a missing or unreadable path, a folder, a FIFO or device, an
    // empty file, or one over maxImageFileSize. Never blocks on a FIFO.
    static Result<SourceFile, ImageSourceError> open(const std::filesystem::path& path);

    // The byte size when opened.
    uint64_t size() const { return size_; }

    // Extends `bytes`, which holds the file's first bytes.size() bytes, to its first `end` bytes
    // (at most size()). Stops early when the file has shrunk since it was opened: the codec then
    // reports the truncation.
    Result<void, ImageSourceError> readUpTo(std::vector<uint8_t>& bytes, uint64_t end) const;

    // Only the bytes asked for are wanted: the kernel's read-ahead would otherwise fetch most of a
    // photo from disk for a 256 KiB header read.
    void adviseNoReadAhead() const;

private:
    SourceFile(FileDescriptor file, uint64_t size) : file_(std::move(file)), size_(size) {}

    FileDescriptor file_;
    uint64_t size_ = 0;
};

} // namespace pelorin
