// CpuFeatures: which instructions our own vector code may use on this processor.
//
// The engine is compiled for the x86-64 baseline (SSE2) and picks faster paths at run time.
// PELORIN_CPU_BASELINE=1 holds it to the baseline, and PELORIN_MAX_ISA (SSE41, AVX, AVX2,
// AVX512_CORE, ALL: the names oneDNN's ONEDNN_MAX_CPU_ISA takes) caps it at a level, so every path
// can be run, tested and compared on any machine. oneDNN's own level is set apart, with
// ONEDNN_MAX_CPU_ISA.
#pragma once

namespace pelorin {

// SSSE3 byte shuffles (every x86-64 processor since about 2008), unless held to the baseline.
bool cpuHasSsse3();
// F16C half-precision conversions (with AVX; every x86-64 processor since about 2012), unless held
// to the baseline.
bool cpuHasF16c();
// AVX2 with FMA (Intel since 2013, AMD since 2015), unless capped below AVX2.
bool cpuHasAvx2Fma();

} // namespace pelorin
