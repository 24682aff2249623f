// The processor features the kernels use, as one word probed once per
// process, and the small kernel tables every family chooses from.
//
// KESTRUN_CPU narrows the word for tests and benchmarks: set to a level's
// name (sse2, avx2, avx512, avx512icl) it hides every feature above that
// level, so that any machine runs, tests and measures each level it has down
// to the SSE2 baseline. It never changes what the codec writes, only which
// kernel writes it; any other value is ignored (CpuEnvironmentIsValid says so).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

enum CpuFeature : uint32_t {
    CpuSse2 = 1u << 0,
    CpuAvx2 = 1u << 1,
    CpuBmi2 = 1u << 2,
    CpuAvx512 = 1u << 3, // AVX-512 F, BW and VL (with POPCNT)
    CpuAvx512Vbmi = 1u << 4,
    CpuAvx512Vbmi2 = 1u << 5,
    CpuAvx512Vnni = 1u << 6,
};

// The levels KESTRUN_CPU names, each with the features of those below it.
struct CpuLevel {
    const char* name;
    uint32_t features;
};
std::span<const CpuLevel> CpuLevels();

// What the processor runs (and the operating system saves), narrowed by
// KESTRUN_CPU. Asked once; every later call gives the same word.
uint32_t CpuFeatures();
// The same without the narrowing.
uint32_t ProcessorFeatures();
// The highest level whose features the word holds ("none" below SSE2).
const char* CpuLevelName(uint32_t features);
// False when KESTRUN_CPU is set to something that names no level.
bool CpuEnvironmentIsValid();

// One kernel of a family: what the processor must have to run it, and the
// kernel itself (a function, or a record of functions that go together).
template <typename Function> struct Kernel {
    const char* name;
    uint32_t features;
    Function function;
};

// A family's kernels, the baseline first (needing nothing the build does not
// assume) and each further one faster where it runs: the last that `features`
// admits.
template <typename Function>
const Kernel<Function>& ChooseKernel(std::span<const Kernel<Function>> kernels, uint32_t features = CpuFeatures())
{
    std::size_t chosen = 0;
    for (std::size_t i = 1; i < kernels.size(); ++i)
        if ((kernels[i].features & ~features) == 0) chosen = i;
    return kernels[chosen];
}
