// Each run of the inference tests names the CPU level it ran at, and a level this processor lacks
// is skipped rather than quietly run lower.
#include "support/CpuLevel.h"

#include <gtest/gtest.h>

namespace {
[[maybe_unused]] const auto* const cpuLevel =
    testing::AddGlobalTestEnvironment(pelorin::test::makeCpuLevelEnvironment());
}
