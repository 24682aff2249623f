// The codec's static Huffman coder over byte values.
//
// Stream format (bits written most significant first, bytes in order):
//
//   length        24 bits, little-endian bytes: number of coded bytes
//   first symbol   8 bits: smallest used value (0 for empty input)
//   used count-1   8 bits (0xFF for empty input)
//   weight table  per value from the first symbol to the last used one:
//                   1 + 12 bits (flag 1, weight 8..4095) or 1 + 3 bits (flag 0, weight 0..7)
//   codes         the code of every input byte, in input order
//   padding       zero bits to the byte boundary
//
// The decoder rebuilds the encoder's tree from the weights (BuildTree, whose
// tie-breaks are part of the format) and decodes through a 4096-entry table
// indexed by the next 12 bits that yields up to 12 symbols per look-up.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int HuffmanAlphabetSize = 256;
constexpr uint32_t HuffmanMaxLength = (1u << 24) - 1; // the 24-bit length field
constexpr uint32_t HuffmanMaxWeight = 4095;
constexpr int HuffmanMaxCodeLength = 24;
constexpr std::size_t HuffmanHeaderBytes = 5;
// Header plus the largest weight table (256 entries of 13 bits).
constexpr std::size_t HuffmanMaxOverhead = 421;
constexpr int DecodeTableBits = 12;
constexpr int DecodeTableSize = 1 << DecodeTableBits;

enum class HuffmanResult {
    Ok,
    BadData,        // the stream contradicts itself: weight table runs past value 255, ...
    Truncated,      // the stream needs more bytes than the source holds
    OutputTooSmall, // encode: the stream would not fit; decode: its length exceeds the destination
    NoMemory,
};

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

// The state of one encode or decode call (see huffman.cpp for the fields' use).
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

// Codes `length` bytes (below 2^24) from `source` into `destination`, which
// has room for `capacity` bytes. The exact stream size is known before
// anything is written: when it exceeds `capacity` nothing is written and the
// result is OutputTooSmall. On Ok, `*written` is the stream's size in bytes.
HuffmanResult HuffmanEncode(const uint8_t* source, uint32_t length, uint8_t* destination, std::size_t capacity,
                            std::size_t* written);

// The exact size in bytes of the stream HuffmanEncode writes for this input.
std::size_t HuffmanEncodedSize(const uint8_t* source, uint32_t length);

struct HuffmanDecodeInfo {
    uint32_t length = 0;        // the stream's 24-bit length field
    std::size_t bytesRead = 0;  // bytes of the stream consumed, padding included
    bool paddingIsZero = false; // the bits after the last code are all zero
};

// Decodes the stream of `sourceSize` bytes at `source` into `destination`,
// which holds `destinationSize` bytes. Never reads past the source nor writes
// past the destination, whatever the stream says. A length field above
// `destinationSize` gives OutputTooSmall and writes nothing. On any failure
// the destination's content is unspecified (but nothing outside it changes).
HuffmanResult HuffmanDecode(uint8_t* destination, std::size_t destinationSize, const uint8_t* source,
                            std::size_t sourceSize, HuffmanDecodeInfo* info);

// ---------------------------------------------------------------------------
// Building blocks, shared by encoder and decoder and open to the tests.

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

// ---------------------------------------------------------------------------
// Reference paths: one PutBits per field through a 32-bit accumulator, and a
// decoder that walks the tree bit by bit. Slow; they exist so that the tests
// can hold the fast paths against them. Same contracts as the fast ones.
HuffmanResult HuffmanEncodeReference(const uint8_t* source, uint32_t length, uint8_t* destination,
                                     std::size_t capacity, std::size_t* written);
HuffmanResult HuffmanDecodeReference(uint8_t* destination, std::size_t destinationSize, const uint8_t* source,
                                     std::size_t sourceSize, HuffmanDecodeInfo* info);
// The decode table by a tree walk from the root for each of the 4096 indexes.
HuffmanResult BuildDecodeTableReference(HuffmanCoder& coder);
