// Helpers shared by the Huffman encoder, decoder and reference paths; not
// part of the coder's interface.
#pragma once

#include "huffman.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace huffman_detail {

inline uint64_t ByteSwap64(uint64_t v)
{
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_bswap64(v);
#else
    v = ((v & 0x00FF00FF00FF00FFull) << 8) | ((v >> 8) & 0x00FF00FF00FF00FFull);
    v = ((v & 0x0000FFFF0000FFFFull) << 16) | ((v >> 16) & 0x0000FFFF0000FFFFull);
    return (v << 32) | (v >> 32);
#endif
}

inline uint64_t LoadBigEndian64(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::little) v = ByteSwap64(v);
    return v;
}

inline void StoreBigEndian64(uint8_t* p, uint64_t v)
{
    if constexpr (std::endian::native == std::endian::little) v = ByteSwap64(v);
    std::memcpy(p, &v, 8);
}

// The encoder writes the codes of source[0, split) and source[split, length)
// with two writers at once; the counting keeps the first part's counts apart
// so that the bit where the second part starts is known before writing.
inline uint32_t EncodeSplit(uint32_t length) { return length / 4 * 2; }

// Tests set this to run the baseline coding loop where the processor would
// get the BMI2 one.
inline bool forceBaselineEncoder = false;
// And this to count with the portable loop where AVX-512 would be used.
inline bool forcePortableCounting = false;
// The encoder joins codes by pairs for long inputs whose codes are short;
// tests choose either way for any input.
enum class PairCoding { ByLength, Always, Never };
inline PairCoding pairCoding = PairCoding::ByLength;

// Everything the encoder needs before writing: counts, leaves, tree, codes.
// `counts` receives the raw byte counts (the histogram may be scaled) and
// `firstHalfCounts`, unless null, those of the first EncodeSplit(length) bytes.
HuffmanResult PrepareEncoder(HuffmanCoder& coder, const uint8_t* source, uint32_t length, uint32_t counts[256],
                             uint32_t* firstHalfCounts = nullptr);

// The exact stream length in bits, padding included, for a prepared coder.
uint64_t StreamBits(const HuffmanCoder& coder, const uint32_t counts[256]);

// Header and weight table through `put(value, bits)`, in stream order.
template <typename Put> void WriteHeaderAndWeights(const HuffmanCoder& coder, uint32_t length, Put&& put)
{
    put(length & 0xFF, 8);
    put((length >> 8) & 0xFF, 8);
    put((length >> 16) & 0xFF, 8);
    put(static_cast<uint32_t>(coder.firstSymbol < 0 ? 0 : coder.firstSymbol), 8);
    put(static_cast<uint32_t>(coder.usedCount - 1) & 0xFF, 8);
    int described = 0;
    for (int v = coder.firstSymbol; described < coder.usedCount; ++v) {
        uint32_t w = static_cast<uint32_t>(coder.histogram[v]);
        if (w >= 8) {
            put(1, 1);
            put(w, 12);
        } else {
            put(0, 1);
            put(w, 3);
        }
        if (w != 0) ++described;
    }
}

} // namespace huffman_detail
