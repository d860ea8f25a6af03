// MaskPixelBuffer: a one-component mask as the segmenter hands it over: a four-character pixel
// format code, width, height, row stride (which may exceed the row's payload) and the bytes, which
// are readable only between a read-only lock and its unlock.
//
// Contract: the contents never change after make(). Copies refer to the same buffer and share its
// lock count, like retained references. When the buffer has storage, it holds at least
// bytesPerRow × height bytes and, for the two mask formats, a row's payload (width × sample size)
// fits in bytesPerRow, so a reader that stays within the dimensions never leaves the buffer.
// Locking and unlocking are thread-safe; baseAddress() is null while no lock is held and when the
// buffer has no storage.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Imaging/DataProvider.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace pelorin {

namespace MaskPixelFormat {
inline constexpr uint32_t oneComponent8 = 0x4C303038;       // 'L008': one unsigned byte per pixel
inline constexpr uint32_t oneComponent32Float = 0x4C303066; // 'L00f': one native-order float per pixel, 0–1

// Bytes per pixel of the two mask formats; absent for any other code.
std::optional<size_t> bytesPerPixel(uint32_t format);
} // namespace MaskPixelFormat

class MaskPixelBuffer {
public:
    // Takes ownership of `storage`, which may be empty (a buffer without a base address). Fails
    // when non-empty storage is shorter than bytesPerRow × height, or a row of a mask format does
    // not fit in bytesPerRow. Other format codes are kept as they are, so readers can refuse them.
    static Result<MaskPixelBuffer, std::string> make(uint32_t pixelFormat, size_t width, size_t height,
                                                     size_t bytesPerRow, PixelBlock storage);

    uint32_t pixelFormat() const;
    size_t width() const;
    size_t height() const;
    size_t bytesPerRow() const;

    // Read-only locks nest; each lock needs its own unlock.
    void lockReadOnly() const;
    // False, changing nothing, when no lock is held.
    bool unlockReadOnly() const;
    // Locks currently held, and locks ever taken (tests check that readers never leave one
    // behind, and refuse some buffers without locking them).
    int lockCount() const;
    int timesLocked() const;
    // The first byte of row 0 while locked; null when unlocked or without storage.
    const uint8_t* baseAddress() const;

    // Holds a read-only lock for its lifetime.
    class ReadOnlyLock {
    public:
        explicit ReadOnlyLock(const MaskPixelBuffer& buffer) : buffer_(buffer) { buffer_.lockReadOnly(); }
        ~ReadOnlyLock() { buffer_.unlockReadOnly(); }
        ReadOnlyLock(const ReadOnlyLock&) = delete;
        ReadOnlyLock& operator=(const ReadOnlyLock&) = delete;

    private:
        const MaskPixelBuffer& buffer_;
    };

private:
    struct State;
    explicit MaskPixelBuffer(std::shared_ptr<State> state) : state_(std::move(state)) {}

    std::shared_ptr<State> state_;
};

} // namespace pelorin
