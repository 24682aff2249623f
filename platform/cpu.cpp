// The one place the processor is asked what it runs.
#include "cpu.h"

#include <cstdlib>
#include <cstring>

namespace {
constexpr uint32_t Avx2Level = CpuSse2 | CpuAvx2 | CpuBmi2;
constexpr uint32_t Avx512Level = Avx2Level | CpuAvx512;
constexpr uint32_t IceLakeLevel = Avx512Level | CpuAvx512Vbmi | CpuAvx512Vbmi2 | CpuAvx512Vnni;
constexpr CpuLevel levels[] = {
    {"sse2", CpuSse2},
    {"avx2", Avx2Level},
    {"avx512", Avx512Level},
    {"avx512icl", IceLakeLevel},
};

uint32_t Probe()
{
    uint32_t features = 0;
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    // libgcc's answers include the operating system's consent (XGETBV) for
    // the AVX and AVX-512 register state.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("sse2")) features |= CpuSse2;
    if (__builtin_cpu_supports("avx2")) features |= CpuAvx2;
    if (__builtin_cpu_supports("bmi2")) features |= CpuBmi2;
    if ((features & CpuAvx2) && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("popcnt")) {
        features |= CpuAvx512;
        if (__builtin_cpu_supports("avx512vbmi")) features |= CpuAvx512Vbmi;
        if (__builtin_cpu_supports("avx512vbmi2")) features |= CpuAvx512Vbmi2;
        if (__builtin_cpu_supports("avx512vnni")) features |= CpuAvx512Vnni;
    }
#elif defined(__SSE2__) || defined(_M_X64)
    features |= CpuSse2;
#endif
    return features;
}

const CpuLevel* EnvironmentLevel(bool* set)
{
    const char* name = std::getenv("KESTRUN_CPU");
    *set = name && *name;
    if (!*set) return nullptr;
    for (const CpuLevel& level : levels)
        if (std::strcmp(level.name, name) == 0) return &level;
    return nullptr;
}

uint32_t Narrowed()
{
    bool set = false;
    const CpuLevel* level = EnvironmentLevel(&set);
    return ProcessorFeatures() & (level ? level->features : ~0u);
}
} // namespace

std::span<const CpuLevel> CpuLevels() { return levels; }

uint32_t ProcessorFeatures()
{
    static const uint32_t features = Probe();
    return features;
}

uint32_t CpuFeatures()
{
    static const uint32_t features = Narrowed();
    return features;
}

const char* CpuLevelName(uint32_t features)
{
    const char* name = "none";
    for (const CpuLevel& level : levels)
        if ((level.features & ~features) == 0) name = level.name;
    return name;
}

bool CpuEnvironmentIsValid()
{
    bool set = false;
    const CpuLevel* level = EnvironmentLevel(&set);
    return !set || level;
}
