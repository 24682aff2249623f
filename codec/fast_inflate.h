// A zlib-stream decoder of our own for whole frames: the same contract and
// the same verdicts as zlib's inflate on one exact-size buffer, faster on the
// literal-heavy streams that picture residuals make.
#pragma once

#include <cstddef>
#include <cstdint>

#include "inflate_result.h"

// Inflates a zlib stream of at most `sourceSize` bytes into exactly
// `destinationSize` bytes. Ok only when the stream ends, its checksum holds
// and it produced exactly `destinationSize` bytes; `*consumed` is then the
// stream's length. Never reads outside the source or writes outside the
// destination, whatever the stream says; on failure the destination holds
// whatever had been decoded, and the result says what was wrong.
InflateResult FastInflateExact(const uint8_t* source, std::size_t sourceSize, uint8_t* destination,
                               std::size_t destinationSize, std::size_t* consumed);
