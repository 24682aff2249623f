// The codec's only contact with zlib: one-call deflate into a bounded buffer
// and an exact-size inflate.
#pragma once

#include <cstddef>
#include <cstdint>

enum class ZlibResult { Ok, DoesNotFit, NoMemory, BadData };

// Deflates `size` bytes into at most `capacity` bytes with window bits 15,
// memory level 9 and the filtered strategy at `level` (5 for frames, 0 for
// the stored fallback), in one call with Z_FINISH. Ok only when the stream
// was finished; `*written` is its length.
ZlibResult DeflateInto(const uint8_t* source, std::size_t size, uint8_t* destination, std::size_t capacity,
                       int level, std::size_t* written);

// Inflates a zlib stream of at most `sourceSize` bytes into exactly
// `destinationSize` bytes. Ok only when the stream ends, its checksum holds
// and it produced exactly `destinationSize` bytes; `*consumed` is then the
// stream's length (bytes after it are not read).
ZlibResult InflateExact(const uint8_t* source, std::size_t sourceSize, uint8_t* destination,
                        std::size_t destinationSize, std::size_t* consumed);
