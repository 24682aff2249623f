// The Huffman coder's inner parts, shared by the encoder, the decoder, the
// reference paths and the tests; not part of the coder's interface.
#pragma once

#include "huffman.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>

#include "platform/cpu.h"

constexpr int DecodeTableBits = 12;
constexpr int DecodeTableSize = 1 << DecodeTableBits;

struct HuffmanNode {
    int16_t symbol = 0;
    int16_t left = -1;   // child for a 0 bit; -1 in a leaf
    int16_t right = -1;  // child for a 1 bit; -1 in a leaf
    int16_t parent = -1; // -1 while the node has none
    int32_t weight = 0;
};

struct HuffmanCode {
    int32_t code;   // in the low `length` bits, first bit most significant
    int32_t length; // bits
};

// One entry of the 4096-entry decode table, 16 bytes.
struct DecodeEntry {
    uint8_t bitsUsed;    // total length of the codes completed; 0: first code longer than 12 bits
    uint8_t symbolCount; // codes completed, 0..12
    uint8_t symbols[12]; // when bitsUsed is 0: bytes 0-1 hold continueNode (little-endian)
    uint8_t unused[2];
};
static_assert(sizeof(DecodeEntry) == 16);
// The decode table's allocation: the 4096 entries, then their bitsUsed again as
// 4096 packed bytes (256 entries' worth). The decoder's critical path needs only
// bitsUsed, and 4 KB stay in the first-level cache where 64 KB may not.
constexpr int DecodeTableAllocatedEntries = DecodeTableSize + DecodeTableSize / static_cast<int>(sizeof(DecodeEntry));
inline uint8_t* DecodeTableBitsUsed(DecodeEntry* table) { return reinterpret_cast<uint8_t*>(table + DecodeTableSize); }

// The state of one encode or decode call: the byte counts or weights, the
// tree, the codes or the decode table.
struct HuffmanCoder {
    int32_t firstSymbol = 0;
    int32_t alphabetSize = 0;
    int32_t usedCount = 0;
    int32_t* histogram = nullptr;
    HuffmanNode* nodes = nullptr;
    int32_t nodeCapacity = 0;
    int32_t nodeCount = 0;
    HuffmanCode* codes = nullptr;
    DecodeEntry* decodeTable = nullptr;
    uint8_t* cursor = nullptr;
    uint32_t bitBuffer = 0;
    int32_t bitCount = 0;
    int32_t totalBits = 0;

    HuffmanCoder() = default;
    HuffmanCoder(const HuffmanCoder&) = delete;
    HuffmanCoder& operator=(const HuffmanCoder&) = delete;
    ~HuffmanCoder();
    void Reset(); // releases the arrays and zeroes the counters
};

// Merges the coder's `usedCount` leaves (nodes 0..usedCount-1) into a tree;
// shared by encoder and decoder, tie-breaks included.
void BuildTree(HuffmanCoder& coder);

// Building blocks, shared by encoder and decoder.

// Counts the bytes into a fresh `histogram` (256 entries) and sets `usedCount`
// and `firstSymbol` (-1 when the input is empty).
HuffmanResult CountSymbols(HuffmanCoder& coder, const uint8_t* source, uint32_t length);

// One count scaled into 1..4095 against the largest count `largest` (> 4095),
// step by step in single precision as the format defines it.
int32_t ScaleWeight(int32_t count, int32_t largest);

// Makes one leaf per used value from `histogram`, scaling the weights (and the
// histogram entries) when the largest count exceeds 4095. Needs usedCount > 0.
HuffmanResult BuildLeaves(HuffmanCoder& coder);

// Creates `codes` and fills it by walking the tree from the root.
HuffmanResult AssignCodes(HuffmanCoder& coder);

// Fills `decodeTable` (created when null) from the tree. The entries' unused
// bytes are scratch for the builder. With a leaf for root every entry is zero.
HuffmanResult BuildDecodeTable(HuffmanCoder& coder);

// The kernels, chosen from the processor's features.
//
// Counting: the bytes source[0, split) into partial[0] and partial[1], those
// from split to length into partial[2] and partial[3] (added to them).
using CountKernel = void (*)(const uint8_t* source, uint32_t length, uint32_t split, uint32_t (*partial)[256]);
std::span<const Kernel<CountKernel>> HuffmanCountKernels();
// Coding: the two-writer loop built for the baseline or for BMI2's shifts.
enum class CodingLoop { Baseline, Bmi2 };
std::span<const Kernel<CodingLoop>> HuffmanCodingKernels();

// Whether codes are joined by pairs: by the input's length and longest code
// (what HuffmanEncode does), or always where the longest code allows, or never.
enum class PairCoding { ByLength, Always, Never };
struct EncodeOptions {
    CountKernel count;
    CodingLoop loop;
    PairCoding pairs;
};
// The options HuffmanEncode runs with.
EncodeOptions DefaultEncodeOptions();
// HuffmanEncode with the given options; every choice writes the same stream.
HuffmanResult HuffmanEncodeWith(const EncodeOptions& options, const uint8_t* source, uint32_t length,
                                uint8_t* destination, std::size_t capacity, std::size_t* written);

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

// Counts into the coder's histogram with `count` (null: the chosen kernel)
// and, when `firstHalfCounts` is not null, the first EncodeSplit(length) bytes
// alone into it.
HuffmanResult CountHalves(HuffmanCoder& coder, const uint8_t* source, uint32_t length, uint32_t* firstHalfCounts,
                          CountKernel count);

// Everything the encoder needs before writing: counts, leaves, tree, codes.
// `counts` receives the raw byte counts (the histogram may be scaled) and
// `firstHalfCounts`, unless null, those of the first EncodeSplit(length) bytes.
HuffmanResult PrepareEncoder(HuffmanCoder& coder, const uint8_t* source, uint32_t length, uint32_t counts[256],
                             uint32_t* firstHalfCounts = nullptr, CountKernel count = nullptr);

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
