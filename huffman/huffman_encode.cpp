// The encoder: exact size first, then header and weight table bit by bit, then
// the codes through a 64-bit accumulator that flushes whole bytes.
#include "huffman.h"
#include "huffman_internal.h"

using namespace huffman_detail;

namespace {

// Right-aligned accumulator: the low `bitCount` bits of `buffer` are pending,
// the oldest highest; bits above them are stale and ignored.
struct BitWriter {
    uint8_t* cursor;
    uint64_t buffer = 0;
    int bitCount = 0;

    // Up to 32 bits; leaves at most 7 bits pending.
    void Put(uint32_t value, int bits)
    {
        buffer = (buffer << bits) | value;
        bitCount += bits;
        while (bitCount >= 8) {
            bitCount -= 8;
            *cursor++ = static_cast<uint8_t>(buffer >> bitCount);
        }
    }
};

// Codes K symbols between flushes; 7 + K * maxLength must not exceed 64. Each
// flush stores 8 bytes but advances only over the complete ones, so it needs
// 8 bytes of room: the loop stops 8 bytes before the stream's end and the
// caller finishes byte by byte. Bytes stored past the complete ones are
// rewritten later with their final value.
template <int K>
uint32_t EncodeWide(const uint8_t* source, uint32_t length, const HuffmanCode* codes, BitWriter& writer,
                    const uint8_t* flushLimit)
{
    uint8_t* cursor = writer.cursor;
    uint64_t buffer = writer.buffer;
    int bitCount = writer.bitCount;
    uint32_t i = 0;
    while (length - i >= K && cursor <= flushLimit) {
        // Codes are joined in pairs first, so the accumulator's shift-or chain
        // has half the links.
        for (int k = 0; k + 1 < K; k += 2) {
            const HuffmanCode a = codes[source[i + k]];
            const HuffmanCode b = codes[source[i + k + 1]];
            const uint64_t pair = (static_cast<uint64_t>(static_cast<uint32_t>(a.code)) << b.length) |
                                  static_cast<uint32_t>(b.code);
            const int pairLength = a.length + b.length;
            buffer = (buffer << pairLength) | pair;
            bitCount += pairLength;
        }
        if constexpr (K % 2 != 0) {
            const HuffmanCode c = codes[source[i + K - 1]];
            buffer = (buffer << c.length) | static_cast<uint32_t>(c.code);
            bitCount += c.length;
        }
        i += K;
        StoreBigEndian64(cursor, buffer << (64 - bitCount)); // bitCount >= K >= 2
        cursor += bitCount >> 3;
        bitCount &= 7;
    }
    writer.cursor = cursor;
    writer.buffer = buffer;
    writer.bitCount = bitCount;
    return i;
}

uint32_t EncodeBody(const uint8_t* source, uint32_t length, const HuffmanCode* codes, int maxLength,
                    BitWriter& writer, const uint8_t* end)
{
    if (end - writer.cursor < 8) return 0;
    const uint8_t* flushLimit = end - 8;
    switch (57 / maxLength) {
    case 2: return EncodeWide<2>(source, length, codes, writer, flushLimit);
    case 3: return EncodeWide<3>(source, length, codes, writer, flushLimit);
    case 4: return EncodeWide<4>(source, length, codes, writer, flushLimit);
    case 5: return EncodeWide<5>(source, length, codes, writer, flushLimit);
    case 6: return EncodeWide<6>(source, length, codes, writer, flushLimit);
    case 7: return EncodeWide<7>(source, length, codes, writer, flushLimit);
    default: return EncodeWide<8>(source, length, codes, writer, flushLimit);
    }
}

} // namespace

std::size_t HuffmanEncodedSize(const uint8_t* source, uint32_t length)
{
    if (length > HuffmanMaxLength) return 0;
    HuffmanCoder coder;
    uint32_t counts[HuffmanAlphabetSize];
    if (PrepareEncoder(coder, source, length, counts) != HuffmanResult::Ok) return 0;
    return static_cast<std::size_t>(StreamBits(coder, counts) / 8);
}

HuffmanResult HuffmanEncode(const uint8_t* source, uint32_t length, uint8_t* destination, std::size_t capacity,
                            std::size_t* written)
{
    if (written) *written = 0;
    if (length > HuffmanMaxLength) return HuffmanResult::BadData;
    HuffmanCoder coder;
    uint32_t counts[HuffmanAlphabetSize];
    if (HuffmanResult r = PrepareEncoder(coder, source, length, counts); r != HuffmanResult::Ok) return r;
    const uint64_t streamBits = StreamBits(coder, counts);
    if (streamBits / 8 > capacity) return HuffmanResult::OutputTooSmall;
    uint8_t* const end = destination + streamBits / 8;

    BitWriter writer{destination};
    WriteHeaderAndWeights(coder, length, [&](uint32_t value, int bits) { writer.Put(value, bits); });

    // One used value has a code of no bits: nothing to write for the data.
    if (coder.usedCount > 1) {
        int maxLength = 1;
        for (int v = 0; v < HuffmanAlphabetSize; ++v)
            if (coder.codes[v].length > maxLength) maxLength = coder.codes[v].length;
        uint32_t i = EncodeBody(source, length, coder.codes, maxLength, writer, end);
        for (; i < length; ++i) {
            const HuffmanCode c = coder.codes[source[i]];
            writer.Put(static_cast<uint32_t>(c.code), c.length);
        }
    }
    if (writer.bitCount != 0) writer.Put(0, 8 - writer.bitCount);

    if (written) *written = static_cast<std::size_t>(writer.cursor - destination);
    return HuffmanResult::Ok;
}
