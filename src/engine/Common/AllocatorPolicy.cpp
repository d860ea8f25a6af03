#include "engine/Common/AllocatorPolicy.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace pelorin {

bool releaseLargeBlocksPromptly()
{
#if defined(__GLIBC__)
    // Setting the threshold explicitly also stops glibc from raising it (and the trim threshold)
    // on its own.
    return mallopt(M_MMAP_THRESHOLD, static_cast<int>(promptlyReleasedBlockBytes)) == 1;
#else
    return false;
#endif
}

} // namespace pelorin
