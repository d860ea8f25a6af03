#include "engine/Inference/MaskPixelBuffer.h"

#include <atomic>

namespace pelorin {

std::optional<size_t> MaskPixelFormat::bytesPerPixel(uint32_t format)
{
    switch (format) {
    case oneComponent8: return 1;
    case oneComponent32Float: return sizeof(float);
    default: return std::nullopt;
    }
}

struct MaskPixelBuffer::State {
    uint32_t pixelFormat;
    size_t width;
    size_t height;
    size_t bytesPerRow;
    PixelBlock storage;
    std::atomic<int> locks{0};
    std::atomic<int> lockHistory{0};
};

Result<MaskPixelBuffer, std::string> MaskPixelBuffer::make(uint32_t pixelFormat, size_t width, size_t height,
                                                           size_t bytesPerRow, PixelBlock storage)
{
    if (!storage.empty()) {
        size_t needed = 0;
        if (__builtin_mul_overflow(bytesPerRow, height, &needed) || storage.size() < needed)
            return unexpected("The mask buffer's storage (" + std::to_string(storage.size())
                              + " bytes) is shorter than its rows need.");
        size_t payload = 0;
        if (const auto pixel = MaskPixelFormat::bytesPerPixel(pixelFormat);
            pixel && (__builtin_mul_overflow(width, *pixel, &payload) || payload > bytesPerRow))
            return unexpected("The mask buffer's rows (" + std::to_string(bytesPerRow)
                              + " bytes) are shorter than its width needs.");
    }
    auto state = std::make_shared<State>(pixelFormat, width, height, bytesPerRow, std::move(storage));
    return MaskPixelBuffer(std::move(state));
}

uint32_t MaskPixelBuffer::pixelFormat() const
{
    return state_->pixelFormat;
}
size_t MaskPixelBuffer::width() const
{
    return state_->width;
}
size_t MaskPixelBuffer::height() const
{
    return state_->height;
}
size_t MaskPixelBuffer::bytesPerRow() const
{
    return state_->bytesPerRow;
}

void MaskPixelBuffer::lockReadOnly() const
{
    state_->locks.fetch_add(1);
    state_->lockHistory.fetch_add(1);
}

bool MaskPixelBuffer::unlockReadOnly() const
{
    int held = state_->locks.load();
    while (held > 0)
        if (state_->locks.compare_exchange_weak(held, held - 1))
            return true;
    return false;
}

int MaskPixelBuffer::lockCount() const
{
    return state_->locks.load();
}

int MaskPixelBuffer::timesLocked() const
{
    return state_->lockHistory.load();
}

const uint8_t* MaskPixelBuffer::baseAddress() const
{
    if (state_->locks.load() == 0 || state_->storage.empty())
        return nullptr;
    return state_->storage.data();
}

} // namespace pelorin
