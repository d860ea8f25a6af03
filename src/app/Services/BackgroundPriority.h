// BackgroundPriority: lowers the calling thread in the CPU and disk queues, for work the user may
// want but that must not slow a batch (thumbnails at the bottom, the viewer's pictures a little
// above). Linux only in effect; elsewhere it does nothing.
#pragma once

namespace pelorin {

// True when the thread's nice value was set to `niceness` (0–19; 19 is the lowest); its disk
// priority goes to the lowest best-effort level as well.
bool lowerCurrentThreadPriority(int niceness = 19);

} // namespace pelorin
