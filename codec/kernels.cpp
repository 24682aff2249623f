#include "kernels.h"

namespace {
#if defined(KESTRUN_CODEC_WIDE)
struct Features {
    bool avx2, avx512bw, avx512vbmi;
};

Features Probe()
{
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2");
    const bool bw = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
    return {avx2, bw, bw && __builtin_cpu_supports("avx512vbmi")};
}

// Asked once; the answer cannot change while the process runs.
const Features& Processor()
{
    static const Features features = Probe();
    return features;
}
#endif
} // namespace

bool TransformKernelAvailable(CodecKernel kernel)
{
#if defined(KESTRUN_CODEC_WIDE)
    switch (kernel) {
    case CodecKernel::Sse2: return true;
    case CodecKernel::Avx2: return Processor().avx2;
    case CodecKernel::Avx512: return Processor().avx512bw;
    }
    return false;
#elif defined(__SSE2__)
    return kernel == CodecKernel::Sse2;
#else
    (void)kernel;
    return false;
#endif
}

bool PackingKernelAvailable(CodecKernel kernel)
{
#if defined(KESTRUN_CODEC_WIDE)
    if (kernel == CodecKernel::Avx512) return Processor().avx512vbmi;
#endif
    return kernel == CodecKernel::Sse2 && TransformKernelAvailable(CodecKernel::Sse2);
}
