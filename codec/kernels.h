// The codec's vector kernels beyond SSE2: compiled per function (GCC and
// Clang target attributes) into every x86 build, whose baseline stays at
// SSE2, and chosen at run time by what the processor runs.
#pragma once

#if defined(__SSE2__) && defined(__GNUC__)
#define KESTRUN_CODEC_WIDE 1
#endif

enum class CodecKernel { Sse2, Avx2, Avx512 };

// The widest kernel each family may use; the tests lower a ceiling to check
// every kernel below it against the reference.
inline CodecKernel transformKernelCeiling = CodecKernel::Avx512; // forward median transform
inline CodecKernel packingKernelCeiling = CodecKernel::Avx512;   // packed 4:2:2 to planar and back

// Whether this build has the kernel and the processor runs it. The packing
// family has no AVX2 kernel, and its AVX-512 one needs VBMI as well as BW.
bool TransformKernelAvailable(CodecKernel kernel);
bool PackingKernelAvailable(CodecKernel kernel);
