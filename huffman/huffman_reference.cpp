// Plain versions of the encoder and decoder: a 32-bit accumulator that moves
// one byte at a time, and a tree walk per bit. They share the tree code with
// the fast paths and serve the tests as the yardstick for the bit handling.
#include "huffman.h"
#include "huffman_internal.h"
#include "huffman_reference.h"
#include "platform/memory.h"

#include <cstring>

using namespace huffman_detail;

namespace {

void PutBits(HuffmanCoder& coder, uint32_t value, int bits)
{
    if (bits == 0) return;
    coder.totalBits += bits;
    coder.bitCount += bits;
    coder.bitBuffer |= value << (32 - coder.bitCount);
    while (coder.bitCount >= 8) {
        *coder.cursor++ = static_cast<uint8_t>(coder.bitBuffer >> 24);
        coder.bitBuffer <<= 8;
        coder.bitCount -= 8;
    }
}

// Fetches bytes only as far as the bits asked for reach; false when they
// reach past the end.
struct ByteReader {
    HuffmanCoder& coder;
    const uint8_t* end;
    bool GetBits(int bits, uint32_t* value)
    {
        while (coder.bitCount < bits) {
            if (coder.cursor == end) return false;
            coder.bitCount += 8;
            coder.bitBuffer |= static_cast<uint32_t>(*coder.cursor++) << (32 - coder.bitCount);
        }
        *value = coder.bitBuffer >> (32 - bits);
        coder.bitBuffer = bits == 32 ? 0 : coder.bitBuffer << bits;
        coder.bitCount -= bits;
        return true;
    }
};

} // namespace

HuffmanResult HuffmanEncodeReference(const uint8_t* source, uint32_t length, uint8_t* destination,
                                     std::size_t capacity, std::size_t* written)
{
    if (written) *written = 0;
    if (length > HuffmanMaxLength) return HuffmanResult::BadData;
    HuffmanCoder coder;
    uint32_t counts[HuffmanAlphabetSize];
    if (HuffmanResult r = PrepareEncoder(coder, source, length, counts); r != HuffmanResult::Ok) return r;
    if (StreamBits(coder, counts) / 8 > capacity) return HuffmanResult::OutputTooSmall;

    coder.cursor = destination;
    WriteHeaderAndWeights(coder, length, [&](uint32_t value, int bits) { PutBits(coder, value, bits); });
    for (uint32_t i = 0; i < length; ++i) {
        const HuffmanCode c = coder.codes[source[i]];
        PutBits(coder, static_cast<uint32_t>(c.code), c.length);
    }
    if (coder.bitCount != 0) PutBits(coder, 0, 8 - coder.bitCount);
    if (written) *written = static_cast<std::size_t>(coder.totalBits) / 8;
    return HuffmanResult::Ok;
}

HuffmanResult HuffmanDecodeReference(uint8_t* destination, std::size_t destinationSize, const uint8_t* source,
                                     std::size_t sourceSize, HuffmanDecodeInfo* info)
{
    HuffmanDecodeInfo local;
    if (!info) info = &local;
    *info = HuffmanDecodeInfo{};
    HuffmanCoder coder;
    coder.cursor = const_cast<uint8_t*>(source); // only read
    ByteReader reader{coder, source + sourceSize};

    uint32_t b0, b1, b2, first, count;
    if (!reader.GetBits(8, &b0) || !reader.GetBits(8, &b1) || !reader.GetBits(8, &b2))
        return HuffmanResult::Truncated;
    const uint32_t length = b0 | (b1 << 8) | (b2 << 16);
    info->length = length;
    if (length > destinationSize) return HuffmanResult::OutputTooSmall;
    if (!reader.GetBits(8, &first) || !reader.GetBits(8, &count)) return HuffmanResult::Truncated;
    if (length == 0) {
        info->bytesRead = HuffmanHeaderBytes;
        info->paddingIsZero = true;
        return HuffmanResult::Ok;
    }

    coder.firstSymbol = static_cast<int32_t>(first);
    coder.usedCount = static_cast<int32_t>(count) + 1;
    coder.nodeCapacity = 2 * coder.usedCount;
    coder.nodes = AllocateArray<HuffmanNode>(static_cast<std::size_t>(coder.nodeCapacity));
    if (!coder.nodes) return HuffmanResult::NoMemory;
    for (int i = 0; i < coder.nodeCapacity; ++i) coder.nodes[i] = HuffmanNode{};
    coder.nodeCount = coder.usedCount;
    int made = 0;
    for (int v = coder.firstSymbol; made < coder.usedCount; ++v) {
        if (v >= HuffmanAlphabetSize) return HuffmanResult::BadData;
        uint32_t flag, w;
        if (!reader.GetBits(1, &flag) || !reader.GetBits(flag ? 12 : 3, &w)) return HuffmanResult::Truncated;
        if (w != 0) {
            coder.nodes[made].symbol = static_cast<int16_t>(v);
            coder.nodes[made].weight = static_cast<int32_t>(w);
            ++made;
        }
    }
    BuildTree(coder);

    const int root = coder.nodeCount - 1;
    for (uint32_t pos = 0; pos < length; ++pos) {
        int node = root;
        while (coder.nodes[node].left != -1) {
            uint32_t bit;
            if (!reader.GetBits(1, &bit)) return HuffmanResult::Truncated;
            node = bit ? coder.nodes[node].right : coder.nodes[node].left;
        }
        destination[pos] = static_cast<uint8_t>(coder.nodes[node].symbol);
    }
    // The pending bits are the rest of the last byte fetched: the padding.
    info->bytesRead = static_cast<std::size_t>(coder.cursor - source);
    info->paddingIsZero = coder.bitCount == 0 || (coder.bitBuffer >> (32 - coder.bitCount)) == 0;
    return HuffmanResult::Ok;
}

HuffmanResult BuildDecodeTableReference(HuffmanCoder& coder)
{
    if (!coder.decodeTable) {
        coder.decodeTable = AllocateArray<DecodeEntry>(DecodeTableAllocatedEntries);
        if (!coder.decodeTable) return HuffmanResult::NoMemory;
    }
    const HuffmanNode* nodes = coder.nodes;
    const int root = coder.nodeCount - 1;
    for (int j = 0; j < DecodeTableSize; ++j) {
        DecodeEntry entry{};
        int node = root;
        for (int i = 0; i < DecodeTableBits && root >= 0 && nodes[root].left != -1;) {
            const int bit = (j >> (DecodeTableBits - 1 - i)) & 1;
            ++i;
            node = bit ? nodes[node].right : nodes[node].left;
            if (nodes[node].left == -1) {
                entry.bitsUsed = static_cast<uint8_t>(i);
                entry.symbols[entry.symbolCount++] = static_cast<uint8_t>(nodes[node].symbol);
                node = root;
            }
        }
        if (entry.bitsUsed == 0 && node != root) {
            entry.symbols[0] = static_cast<uint8_t>(node & 0xFF);
            entry.symbols[1] = static_cast<uint8_t>(node >> 8);
        }
        coder.decodeTable[j] = entry;
        DecodeTableBitsUsed(coder.decodeTable)[j] = entry.bitsUsed;
    }
    return HuffmanResult::Ok;
}
