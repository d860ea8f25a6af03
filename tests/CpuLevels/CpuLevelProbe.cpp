// Prints where a per-level run runs ("cpu-level AVX2: AMD EPYC, oneDNN 2.6.3 runs avx2") and exits
// 77, which ctest reads as skipped, when ONEDNN_MAX_CPU_ISA asks for a level this CPU lacks.
#include "support/CpuLevel.h"

#include <cstdio>

int main()
{
    std::printf("%s\n", pelorin::test::cpuLevelLine().c_str());
    if (const auto missing = pelorin::test::missingCpuLevel()) {
        std::printf("cpu level not available: %s\n", missing->c_str());
        return 77;
    }
    return 0;
}
