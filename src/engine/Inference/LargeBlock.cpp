#include "engine/Inference/LargeBlock.h"

#include <new>

namespace pelorin::inference {

LargeBlock allocateLargeBlock(size_t bytes)
{
    if (bytes == 0)
        return {};
    constexpr size_t page = 4096;
    auto* block = static_cast<std::byte*>(std::aligned_alloc(page, (bytes + page - 1) / page * page));
    if (!block)
        throw std::bad_alloc();
    return LargeBlock(block);
}

} // namespace pelorin::inference
