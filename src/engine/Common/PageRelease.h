// PageRelease: gives the pages of a block back to the system from its start up to a point that
// only moves forward, as a single pass over the block leaves them behind. Whole pages only: the
// partial pages at either end may hold the allocator's own records. Released bytes read as zero
// afterwards, so the block must have no other reader; the owner frees it as usual.
#pragma once

#include <cstdint>

namespace pelorin {

class PageRelease {
public:
    explicit PageRelease(const uint8_t* block);

    // Releases every whole page before `end` not yet released. Does nothing where the system
    // cannot (the pages then stay until the block is freed).
    void releaseUpTo(const uint8_t* end);

private:
    uintptr_t next_;
};

} // namespace pelorin
