// Identifiers of jobs and temporary files.
#include "engine/Common/Uuid.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace pelorin {
namespace {

// The text form's syntax is not pinned: nothing reads it back; names must only never collide.
TEST(Uuid, RandomIdsAreDistinct)
{
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i)
        seen.insert(Uuid::random().toString());
    EXPECT_EQ(seen.size(), 1000u);
}

} // namespace
} // namespace pelorin
