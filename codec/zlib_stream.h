// The codec's only contact with zlib streams: one-call deflate into a
// bounded buffer, the stronger archive encoder, and an exact-size inflate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "inflate_result.h"
#include "platform/cpu.h"

enum class ZlibResult { Ok, DoesNotFit, NoMemory, BadData };

// Deflates `size` bytes into at most `capacity` bytes with zlib: window bits
// 15, memory level 9, the filtered strategy, at `level` (5 for frames, 0 for
// the stored fallback), in one call with Z_FINISH. Ok only when the stream
// was finished; `*written` is its length.
ZlibResult DeflateInto(const uint8_t* source, std::size_t size, uint8_t* destination, std::size_t capacity,
                       int level, std::size_t* written);

// The archive coder: a stronger, slower deflate encoder (libdeflate at a high
// level where it is available, zlib's best level otherwise). Its output is an
// ordinary zlib stream that every decoder of the format reads.
ZlibResult DeflateArchiveInto(const uint8_t* source, std::size_t size, uint8_t* destination, std::size_t capacity,
                              std::size_t* written);

// Inflates a zlib stream of at most `sourceSize` bytes into exactly
// `destinationSize` bytes. Ok only when the stream ends, its checksum holds
// and it produced exactly `destinationSize` bytes; `*consumed` is then the
// stream's length (bytes after it are not read). Uses the fastest decoder
// built in; a failure says what was wrong with the stream.
InflateResult InflateExact(const uint8_t* source, std::size_t sourceSize, uint8_t* destination,
                           std::size_t destinationSize, std::size_t* consumed);
// The same through zlib's inflate, whatever else is built in: the reference
// the other decoders are held to.
InflateResult InflateExactZlib(const uint8_t* source, std::size_t sourceSize, uint8_t* destination,
                               std::size_t destinationSize, std::size_t* consumed);

// The decoders InflateExact chooses from: the codec's own, and libdeflate's
// where the build has it. Neither depends on the processor word (libdeflate
// picks its own kernels).
using InflateKernel = InflateResult (*)(const uint8_t* source, std::size_t sourceSize, uint8_t* destination,
                                        std::size_t destinationSize, std::size_t* consumed);
std::span<const Kernel<InflateKernel>> InflateKernels();
