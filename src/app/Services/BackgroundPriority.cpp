#include "app/Services/BackgroundPriority.h"

#ifdef __linux__
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace pelorin {

bool lowerCurrentThreadPriority(int niceness)
{
#ifdef __linux__
    // Nice 19 rather than SCHED_IDLE: an idle thread never runs while a batch keeps every core
    // busy, so thumbnails of the rows on screen would not appear until the run ended; at nice 19 it
    // gets about 1.5 % of a core against a normal thread.
    const pid_t thread = static_cast<pid_t>(syscall(SYS_gettid));
    const bool lowered = setpriority(PRIO_PROCESS, static_cast<id_t>(thread), niceness) == 0;
    // ioprio_set(IOPRIO_WHO_PROCESS, thread, best-effort class, level 7): the last in the disk queue.
    constexpr int whoProcess = 1;
    constexpr int bestEffortClass = 2;
    constexpr int lowestLevel = 7;
    (void)syscall(SYS_ioprio_set, whoProcess, thread, (bestEffortClass << 13) | lowestLevel);
    return lowered;
#else
    (void)niceness;
    return false;
#endif
}

} // namespace pelorin
