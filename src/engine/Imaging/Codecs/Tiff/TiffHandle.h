// TiffHandle: a libtiff handle over file bytes in memory (reading), over a file descriptor
// (writing), or over a growing buffer of its own (scratch writing), with errors and warnings
// recorded on the handle instead of printed. libtiff's global handlers are process-wide, so every
// handle brings its own through TIFFOpenOptions.
//
// Contract: owns the TIFF* (closed on destruction) and the stream state libtiff calls back into. A
// memory handle does not own the bytes, which must outlive it; libtiff reads them in place. A
// descriptor handle never closes the descriptor and addresses the file relative to the descriptor's
// offset at open. Not copyable or movable (libtiff keeps a pointer to the state). One thread at a
// time per handle.
#pragma once

#include <tiffio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace pelorin::tiff {

// What libtiff said about one handle.
struct TiffMessages {
    std::string firstError; // the first error, the one that explains a failure best
    std::string lastWarning;
    int writeErrno = 0; // errno of the first failed write, 0 when every write succeeded
};

class TiffHandle {
public:
    // Opens the bytes for reading (directory 0 is read at once). Check valid() afterwards.
    static std::unique_ptr<TiffHandle> openMemory(std::span<const uint8_t> bytes);
    // Starts a new little-endian TIFF file at the descriptor's current offset.
    static std::unique_ptr<TiffHandle> openForWriting(int fd);
    // Starts a new little-endian TIFF file in memory; buffer() shows what was written so far.
    static std::unique_ptr<TiffHandle> openBuffer();

    ~TiffHandle();
    TiffHandle(const TiffHandle&) = delete;
    TiffHandle& operator=(const TiffHandle&) = delete;

    bool valid() const { return tif_ != nullptr; }
    TIFF* get() const { return tif_; }
    const TiffMessages& messages() const { return messages_; }

    // Descriptor handles: raw bytes written at nextAppendOffset() (the first even offset past
    // what was written, relative to the start offset). libtiff never overwrites them because it
    // appends all new data at the end of the file. False on failure, with writeErrno set.
    uint64_t nextAppendOffset() const;
    bool append(std::span<const uint8_t> bytes);
    // Moves the descriptor's offset to the end of what was written.
    bool seekDescriptorToEnd();

    // Buffer handles: the bytes written so far; valid until the next write.
    std::span<const uint8_t> buffer() const;

    // A short English account of the recorded failure, for error messages.
    std::string failureText() const;

    struct Stream; // libtiff's client data: the memory span or the descriptor

private:
    TiffHandle();

    std::unique_ptr<Stream> stream_;
    TiffMessages messages_;
    TIFF* tif_ = nullptr;
};

} // namespace pelorin::tiff
