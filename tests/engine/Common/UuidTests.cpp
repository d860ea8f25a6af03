// Identifiers of jobs and temporary files: version-4 random UUIDs that survive a round trip through
// their text form, and text that is not a UUID refused.
#include "engine/Common/Uuid.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace pelorin {
namespace {

TEST(Uuid, RandomIdsAreVersion4AndRoundTripThroughText)
{
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const Uuid id = Uuid::random();
        const std::string text = id.toString();
        ASSERT_EQ(text.size(), 36u);
        EXPECT_TRUE(text[14] == '4' && std::string("89AB").find(text[19]) != std::string::npos) << text;
        EXPECT_EQ(Uuid::parse(text), id);
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 1000u);
    EXPECT_FALSE(Uuid::parse("not-a-uuid"));
    EXPECT_FALSE(Uuid::parse("123e4567-e89b-12d3-a456-42661417400g"));
}

} // namespace
} // namespace pelorin
