// PixelBlock and DataProvider: the one block of bytes behind an image.
// A PixelBlock is owned by whoever allocated it until it is handed to a DataProvider, which then
// owns it for as long as any image refers to it (images share the provider through shared_ptr).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace pelorin {

class PixelBlock {
public:
    PixelBlock() = default;
    // Allocation failure yields an empty block, never an exception.
    static PixelBlock allocate(size_t size);

    uint8_t* data() { return bytes_.get(); }
    const uint8_t* data() const { return bytes_.get(); }
    size_t size() const { return size_; }
    bool empty() const { return bytes_ == nullptr; }
    std::span<uint8_t> span() { return {bytes_.get(), size_}; }

private:
    struct Free {
        void operator()(uint8_t* p) const;
    };
    std::unique_ptr<uint8_t, Free> bytes_;
    size_t size_ = 0;
};

class DataProvider {
public:
    explicit DataProvider(PixelBlock block) : block_(std::move(block)) {}
    // Null when `block` is empty.
    static std::shared_ptr<const DataProvider> make(PixelBlock block);

    // The stored bytes, read in place. Valid while the provider lives.
    std::span<const uint8_t> bytes() const { return {block_.data(), block_.size()}; }

private:
    PixelBlock block_;
};

} // namespace pelorin
