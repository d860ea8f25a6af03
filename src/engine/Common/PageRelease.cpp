#include "engine/Common/PageRelease.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace pelorin {

namespace {

uintptr_t pageSize()
{
#if defined(__linux__)
    static const uintptr_t size = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    return size;
#else
    return 4096;
#endif
}

} // namespace

PageRelease::PageRelease(const uint8_t* block)
    : next_((reinterpret_cast<uintptr_t>(block) + pageSize() - 1) & ~(pageSize() - 1))
{
}

void PageRelease::releaseUpTo(const uint8_t* end)
{
#if defined(__linux__)
    const uintptr_t to = reinterpret_cast<uintptr_t>(end) & ~(pageSize() - 1);
    if (to <= next_)
        return;
    if (::madvise(reinterpret_cast<void*>(next_), to - next_, MADV_DONTNEED) == 0)
        next_ = to;
#else
    (void)end;
#endif
}

} // namespace pelorin
