// Shared pieces of the fuzz targets: a reader over the fuzzer's bytes, a
// check that aborts (so that libFuzzer keeps the input), and guarded inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/support/guarded_buffer.h"

// A failed check is a finding: report it and abort so the fuzzer saves the input.
#define FUZZ_CHECK(condition)                                                                                    \
    do {                                                                                                         \
        if (!(condition)) {                                                                                      \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);                   \
            std::abort();                                                                                        \
        }                                                                                                        \
    } while (0)

// Takes values from the front of the input; past its end every value is 0.
class FuzzReader {
public:
    FuzzReader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
    uint16_t Word() { return uint16_t(Byte() | (Byte() << 8)); }
    uint32_t Dword() { return uint32_t(Word()) | (uint32_t(Word()) << 16); }
    // The bytes not consumed yet.
    const uint8_t* Rest() const { return data_ + position_; }
    std::size_t Remaining() const { return size_ - position_; }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

// The input of the stream decoder targets: two bytes of destination size
// (little-endian, 0..65535), then the stream, copied into a buffer that ends
// against a guard page, and a guarded destination of that size.
struct StreamInput {
    FuzzReader reader;
    std::size_t destinationSize;
    GuardedBuffer source;
    GuardedBuffer destination;

    StreamInput(const uint8_t* data, std::size_t size)
        : reader(data, size), destinationSize(reader.Word()), source(reader.Remaining()), destination(destinationSize)
    {
        if (reader.Remaining()) std::memcpy(source.data(), reader.Rest(), reader.Remaining());
    }
    bool Intact() const { return source.Intact() && destination.Intact(); }
};
