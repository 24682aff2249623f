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

enum class HuffmanResult {
    Ok,
    BadData,        // the stream contradicts itself: weight table runs past value 255, ...
    Truncated,      // the stream needs more bytes than the source holds
    OutputTooSmall, // encode: the stream would not fit; decode: its length exceeds the destination
    NoMemory,
};

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
