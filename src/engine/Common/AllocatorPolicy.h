// AllocatorPolicy: how a front end asks the C library to hand freed image buffers back to the
// system instead of keeping them for later.
//
// glibc serves a request above its mmap threshold with a mapping of its own and unmaps it on free,
// but the threshold slides up to the largest block freed so far (up to 32 MiB). After a model
// load or a first photo, the next masks, network inputs and encoder bands (1–12 MiB) come from the
// per-thread heaps instead, where freed space stays resident and is rarely reused across threads:
// a 2-job batch of 12-MP photos kept about 65 MiB so, at its peak.
#pragma once

#include <cstddef>

namespace pelorin {

// Blocks of at least this size are mapped on their own and unmapped when freed.
inline constexpr size_t promptlyReleasedBlockBytes = size_t{1} << 20;

// Fixes the threshold at promptlyReleasedBlockBytes for the whole process (no sliding). Call once
// from main before any work starts; later calls change nothing. Returns false where the C library
// has no such setting (the process then runs as before).
bool releaseLargeBlocksPromptly();

} // namespace pelorin
