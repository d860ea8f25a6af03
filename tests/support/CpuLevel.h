// The CPU level a test program runs at: the processor's name, the oneDNN level asked for with
// ONEDNN_MAX_CPU_ISA and the one in effect. The per-level test runs print these and skip a level
// this processor lacks instead of silently running a lower one.
#pragma once

#include <optional>
#include <string>

namespace testing {
class Environment;
}

namespace pelorin::test {

// Whether the 3×3 convolutions run Winograd: oneDNN's at AVX-512 and above, else ours with AVX2.
bool winogradAvailable();
// A sentence saying why the requested level cannot run here, or nothing when it can.
std::optional<std::string> missingCpuLevel();
// One line for logs: "cpu-level AVX2: AMD EPYC, oneDNN 2.6.3 runs avx2".
std::string cpuLevelLine();
// A GoogleTest environment that prints cpuLevelLine() and skips every test when missingCpuLevel()
// says the requested level cannot run here (printing "cpu level not available: …").
testing::Environment* makeCpuLevelEnvironment();

} // namespace pelorin::test
