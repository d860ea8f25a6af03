// Whether image-sized buffers really leave the process once freed, read from the kernel's walk of
// the process's anonymous pages (smaps_rollup; RssAnon in status lags behind a thread's faults).
#include "engine/Common/AllocatorPolicy.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

namespace pelorin {
namespace {

long residentAnonymousKiB()
{
    std::ifstream rollup("/proc/self/smaps_rollup");
    for (std::string line; std::getline(rollup, line);)
        if (line.rfind("Anonymous:", 0) == 0)
            return std::stol(line.substr(10));
    return -1;
}

std::unique_ptr<char[]> touched(size_t bytes)
{
    auto block = std::make_unique_for_overwrite<char[]>(bytes);
    std::memset(block.get(), 1, bytes);
    asm volatile("" : : "r"(block.get()) : "memory"); // the pages must be written, not optimised away
    return block;
}

// A job thread frees a 30 MiB decoded photo, then a 12 MiB mask. Left to itself glibc would raise
// its threshold past 12 MiB at the first free and keep the mask's pages in the thread's heap.
TEST(AllocatorPolicy, FreedBuffersLeaveTheProcessAfterALargerOne)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's allocator replaces glibc's and quarantines freed blocks";
#endif
    ASSERT_GE(residentAnonymousKiB(), 0) << "no Anonymous in /proc/self/smaps_rollup";
    ASSERT_TRUE(releaseLargeBlocksPromptly());
    constexpr size_t mib = size_t{1} << 20;
    long grown = 0, retained = 0;
    std::thread job([&] {
        touched(30 * mib).reset();
        const long before = residentAnonymousKiB();
        auto mask = touched(12 * mib);
        grown = residentAnonymousKiB() - before;
        mask.reset();
        retained = residentAnonymousKiB() - before;
    });
    job.join();
    EXPECT_GE(grown, 11 * 1024) << "the mask's pages were never counted, so this test proves nothing";
    EXPECT_LT(retained, 2 * 1024) << "KiB still resident after the mask was freed";
}

} // namespace
} // namespace pelorin
