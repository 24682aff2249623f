// The decoder: header and weight table, the encoder's tree, then the 12-bit
// multi-symbol table. Bounded on both sides: reads stop at the source's end
// (zero bits beyond it are counted and turn into Truncated) and writes stop at
// the stream's length, which must fit the destination.
#include "huffman.h"
#include "huffman_internal.h"
#include "platform/memory.h"

#include <cstring>

using namespace huffman_detail;

namespace {

// Left-aligned 64-bit reader: the next stream bit is bit 63 of `buffer`. Bits
// below the `bitCount` valid ones are either zero or the stream's own next
// bits, so refills may OR the same bytes in twice.
struct BitReader {
    const uint8_t* begin;
    const uint8_t* next;
    const uint8_t* end;
    uint64_t buffer = 0;
    int bitCount = 0;
    std::size_t overrun = 0; // zero bytes supplied past the end

    BitReader(const uint8_t* source, std::size_t size) : begin(source), next(source), end(source + size) {}

    // Needs 8 readable bytes at `next`; leaves 56 to 63 valid bits.
    void RefillFast()
    {
        buffer |= LoadBigEndian64(next) >> bitCount;
        next += (63 - bitCount) >> 3;
        bitCount |= 56;
    }
    // Byte by byte, zeros past the end; leaves at least 49 valid bits.
    void RefillSlow()
    {
        while (bitCount <= 48) {
            uint64_t byte = 0;
            if (next < end)
                byte = *next++;
            else
                ++overrun;
            buffer |= byte << (56 - bitCount);
            bitCount += 8;
        }
    }
    void Refill()
    {
        if (end - next >= 8)
            RefillFast();
        else
            RefillSlow();
    }
    uint32_t Peek(int bits) const { return static_cast<uint32_t>(buffer >> (64 - bits)); }
    void Drop(int bits)
    {
        buffer <<= bits;
        bitCount -= bits;
    }
    uint32_t Get(int bits) // up to 32
    {
        if (bitCount < bits) Refill();
        uint32_t v = Peek(bits);
        Drop(bits);
        return v;
    }
    uint64_t Consumed() const { return (static_cast<uint64_t>(next - begin) + overrun) * 8 - bitCount; }
    bool PastEnd() const { return overrun * 8 > static_cast<std::size_t>(bitCount); }
};

HuffmanResult ReadWeightTable(HuffmanCoder& coder, BitReader& reader)
{
    coder.firstSymbol = static_cast<int32_t>(reader.Get(8));
    coder.usedCount = static_cast<int32_t>(reader.Get(8)) + 1;
    coder.nodeCapacity = 2 * coder.usedCount;
    coder.nodes = AllocateArray<HuffmanNode>(static_cast<std::size_t>(coder.nodeCapacity));
    if (!coder.nodes) return HuffmanResult::NoMemory;
    for (int i = 0; i < coder.nodeCapacity; ++i) coder.nodes[i] = HuffmanNode{};
    coder.nodeCount = coder.usedCount;

    int made = 0;
    for (int v = coder.firstSymbol; made < coder.usedCount; ++v) {
        if (reader.PastEnd()) return HuffmanResult::Truncated;
        if (v >= HuffmanAlphabetSize) return HuffmanResult::BadData;
        const int32_t w = static_cast<int32_t>(reader.Get(1) ? reader.Get(12) : reader.Get(3));
        if (w != 0) {
            coder.nodes[made].symbol = static_cast<int16_t>(v);
            coder.nodes[made].weight = w;
            ++made;
        }
    }
    return reader.PastEnd() ? HuffmanResult::Truncated : HuffmanResult::Ok;
}

// One code bit by bit from `node` (the root or a continue node).
inline uint8_t WalkCode(const HuffmanNode* nodes, int node, BitReader& reader)
{
    while (nodes[node].left != -1) {
        if (reader.bitCount == 0) reader.Refill();
        node = (reader.buffer >> 63) ? nodes[node].right : nodes[node].left;
        reader.Drop(1);
    }
    return static_cast<uint8_t>(nodes[node].symbol);
}

inline int ContinueNode(const DecodeEntry& e) { return e.symbols[0] | (e.symbols[1] << 8); }

// Decodes `length` symbols into `destination`. The fast loop runs while
// 4 lookups' worth of output (48 bytes) and 8 source bytes remain, copies 12
// bytes per lookup and refills without bounds tests; the rest goes entry by
// entry with exact copies, and bit by bit where an entry would overshoot.
// The shift to the next lookup waits only on the packed bitsUsed bytes.
HuffmanResult DecodeSymbols(const HuffmanCoder& coder, BitReader& reader, uint8_t* destination, uint32_t length)
{
    const DecodeEntry* table = coder.decodeTable;
    const HuffmanNode* nodes = coder.nodes;
    const int root = coder.nodeCount - 1;
    uint32_t pos = 0;

    const uint8_t* used = DecodeTableBitsUsed(coder.decodeTable);
    while (length - pos >= 48 && reader.end - reader.next >= 8) {
        reader.RefillFast();
        for (int k = 0; k < 4; ++k) {
            const uint32_t index = reader.Peek(DecodeTableBits);
            const int bits = used[index];
            const DecodeEntry& e = table[index];
            if (bits != 0) {
                reader.Drop(bits);
                std::memcpy(destination + pos, e.symbols, 12);
                pos += e.symbolCount;
            } else {
                reader.Drop(DecodeTableBits);
                destination[pos++] = WalkCode(nodes, ContinueNode(e), reader);
                if (reader.bitCount < 3 * DecodeTableBits) reader.Refill();
            }
        }
    }

    while (pos < length) {
        if (reader.bitCount < 2 * DecodeTableBits) {
            reader.Refill();
            if (reader.PastEnd()) return HuffmanResult::Truncated;
        }
        const DecodeEntry& e = table[reader.Peek(DecodeTableBits)];
        if (e.bitsUsed == 0) {
            reader.Drop(DecodeTableBits);
            destination[pos++] = WalkCode(nodes, ContinueNode(e), reader);
        } else if (length - pos >= 12) {
            reader.Drop(e.bitsUsed);
            std::memcpy(destination + pos, e.symbols, 12);
            pos += e.symbolCount;
        } else if (length - pos >= e.symbolCount) {
            reader.Drop(e.bitsUsed);
            std::memcpy(destination + pos, e.symbols, e.symbolCount);
            pos += e.symbolCount;
        } else {
            destination[pos++] = WalkCode(nodes, root, reader);
        }
    }
    return reader.PastEnd() ? HuffmanResult::Truncated : HuffmanResult::Ok;
}

} // namespace

HuffmanResult HuffmanDecode(uint8_t* destination, std::size_t destinationSize, const uint8_t* source,
                            std::size_t sourceSize, HuffmanDecodeInfo* info)
{
    HuffmanDecodeInfo local;
    if (!info) info = &local;
    *info = HuffmanDecodeInfo{};
    if (sourceSize < 3) return HuffmanResult::Truncated;
    const uint32_t length = source[0] | (source[1] << 8) | (static_cast<uint32_t>(source[2]) << 16);
    info->length = length;
    if (length > destinationSize) return HuffmanResult::OutputTooSmall;
    if (sourceSize < HuffmanHeaderBytes) return HuffmanResult::Truncated;
    if (length == 0) {
        // The encoder's empty stream; its count byte (0xFF) describes no table.
        info->bytesRead = HuffmanHeaderBytes;
        info->paddingIsZero = true;
        return HuffmanResult::Ok;
    }

    HuffmanCoder coder;
    BitReader reader(source + 3, sourceSize - 3);
    if (HuffmanResult r = ReadWeightTable(coder, reader); r != HuffmanResult::Ok) return r;
    BuildTree(coder);

    const HuffmanNode& rootNode = coder.nodes[coder.nodeCount - 1];
    if (rootNode.left == -1) {
        std::memset(destination, static_cast<uint8_t>(rootNode.symbol), length);
    } else {
        if (HuffmanResult r = BuildDecodeTable(coder); r != HuffmanResult::Ok) return r;
        if (HuffmanResult r = DecodeSymbols(coder, reader, destination, length); r != HuffmanResult::Ok) return r;
    }

    const uint64_t consumed = reader.Consumed();
    const int padding = static_cast<int>((8 - consumed % 8) % 8);
    if (padding != 0 && reader.bitCount < padding) reader.Refill();
    info->bytesRead = 3 + static_cast<std::size_t>((consumed + 7) / 8);
    info->paddingIsZero = padding == 0 || reader.Peek(padding) == 0;
    return HuffmanResult::Ok;
}
