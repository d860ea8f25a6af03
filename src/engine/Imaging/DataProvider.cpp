#include "engine/Imaging/DataProvider.h"

#include <cstdlib>

namespace pelorin {

void PixelBlock::Free::operator()(uint8_t* p) const
{
    std::free(p);
}

PixelBlock PixelBlock::allocate(size_t size)
{
    PixelBlock block;
    // malloc(0) may return null or a unique pointer; ask for one byte so an empty image still owns a block.
    block.bytes_.reset(static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size)));
    block.size_ = block.bytes_ ? size : 0;
    return block;
}

std::shared_ptr<const DataProvider> DataProvider::make(PixelBlock block)
{
    if (block.empty())
        return nullptr;
    return std::make_shared<const DataProvider>(std::move(block));
}

} // namespace pelorin
