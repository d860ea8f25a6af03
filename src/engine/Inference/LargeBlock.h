// LargeBlock: page-aligned heap memory for the executor's activation arena, so that every tensor
// placed at a page offset inside it is tensor-aligned.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

namespace pelorin::inference {

struct LargeBlockDeleter {
    void operator()(std::byte* block) const { std::free(block); }
};
using LargeBlock = std::unique_ptr<std::byte[], LargeBlockDeleter>;

// Empty for zero bytes; throws std::bad_alloc when the memory cannot be had. Huge pages are not
// asked for: faulting them in (compaction included) made the first inference 50 % slower for a
// few percent on the later ones.
LargeBlock allocateLargeBlock(size_t bytes);

} // namespace pelorin::inference
