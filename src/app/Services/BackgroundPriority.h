// BackgroundPriority: lowers the calling thread to the bottom of the CPU and disk queues, for work
// the user may want but that must never slow a batch (thumbnails). Linux only in effect; elsewhere
// it does nothing.
#pragma once

namespace pelorin {

// True when the thread's nice value was raised to the lowest priority (best-effort I/O as well).
bool lowerCurrentThreadPriority();

} // namespace pelorin
