// The coder state, the tree both sides build from the weights, the code table
// and the decode table.
#include "huffman.h"
#include "huffman_internal.h"
#include "platform/memory.h"

#include <cstddef>
#include <cstring>

static_assert(sizeof(HuffmanNode) == 12);
static_assert(sizeof(HuffmanCode) == 8);
static_assert(sizeof(DecodeEntry) * DecodeTableSize == 65536);
static_assert(offsetof(DecodeEntry, symbols) == 2);
// 256 leaves and 255 internal nodes must be addressable by int16_t.
static_assert(2 * HuffmanAlphabetSize - 1 <= 32767);

HuffmanCoder::~HuffmanCoder() { Reset(); }

void HuffmanCoder::Reset()
{
    FreeMemory(histogram);
    FreeMemory(nodes);
    FreeMemory(codes);
    FreeMemory(decodeTable);
    histogram = nullptr;
    nodes = nullptr;
    codes = nullptr;
    decodeTable = nullptr;
    alphabetSize = 0;
    usedCount = 0;
    nodeCapacity = 0;
    nodeCount = 0;
    bitBuffer = 0;
    bitCount = 0;
    totalBits = 0;
}

int32_t ScaleWeight(int32_t count, int32_t largest)
{
    // Each step rounds to single precision as written: the build forbids
    // contraction into fused multiply-adds and x87 excess precision.
    const float q = 1048320.0f / static_cast<float>(largest);
    float t = static_cast<float>(count) * q;
    t = t * 0.00390625f;
    t = t + 0.4f;
    int32_t w = static_cast<int32_t>(t);
    return w < 1 ? 1 : w;
}

static HuffmanResult CreateNodes(HuffmanCoder& coder)
{
    coder.nodeCapacity = 2 * coder.usedCount;
    coder.nodes = AllocateArray<HuffmanNode>(static_cast<std::size_t>(coder.nodeCapacity));
    if (!coder.nodes) return HuffmanResult::NoMemory;
    for (int i = 0; i < coder.nodeCapacity; ++i) coder.nodes[i] = HuffmanNode{};
    coder.nodeCount = coder.usedCount;
    return HuffmanResult::Ok;
}

HuffmanResult BuildLeaves(HuffmanCoder& coder)
{
    if (HuffmanResult r = CreateNodes(coder); r != HuffmanResult::Ok) return r;
    int leaf = 0;
    int32_t largest = 0;
    for (int v = 0; v < coder.alphabetSize && leaf < coder.usedCount; ++v) {
        if (coder.histogram[v] == 0) continue;
        coder.nodes[leaf].symbol = static_cast<int16_t>(v);
        coder.nodes[leaf].weight = coder.histogram[v];
        if (coder.histogram[v] > largest) largest = coder.histogram[v];
        ++leaf;
    }
    if (largest > static_cast<int32_t>(HuffmanMaxWeight)) {
        for (int i = 0; i < coder.usedCount; ++i) {
            HuffmanNode& node = coder.nodes[i];
            node.weight = ScaleWeight(node.weight, largest);
            coder.histogram[node.symbol] = node.weight;
        }
    }
    return HuffmanResult::Ok;
}

// Lightest parentless node among the first n; the lowest index wins ties.
static int PickLightest(const HuffmanNode* nodes, int n)
{
    int best = -1;
    int32_t bestWeight = 0x7FFFFFFF;
    for (int i = 0; i < n; ++i) {
        if (nodes[i].parent == -1 && nodes[i].weight < bestWeight) {
            best = i;
            bestWeight = nodes[i].weight;
        }
    }
    return best;
}

void BuildTree(HuffmanCoder& coder)
{
    if (coder.usedCount <= 1) return;
    HuffmanNode* nodes = coder.nodes;
    for (int merge = 1; merge < coder.usedCount; ++merge) {
        const int n = coder.nodeCount;
        const int a = PickLightest(nodes, n);
        nodes[a].parent = static_cast<int16_t>(n);
        const int b = PickLightest(nodes, n);
        nodes[b].parent = static_cast<int16_t>(n);
        nodes[n].left = static_cast<int16_t>(a);
        nodes[n].right = static_cast<int16_t>(b);
        nodes[n].weight = nodes[a].weight + nodes[b].weight;
        coder.nodeCount = n + 1;
    }
}

static void AssignCodesFrom(HuffmanCoder& coder, int node, int32_t code, int32_t length)
{
    const HuffmanNode& n = coder.nodes[node];
    if (n.left == -1) {
        coder.codes[n.symbol & 0xFF] = HuffmanCode{code, length};
        return;
    }
    AssignCodesFrom(coder, n.left, code * 2, length + 1);
    AssignCodesFrom(coder, n.right, code * 2 + 1, length + 1);
}

HuffmanResult AssignCodes(HuffmanCoder& coder)
{
    coder.codes = AllocateZeroedArray<HuffmanCode>(HuffmanAlphabetSize);
    if (!coder.codes) return HuffmanResult::NoMemory;
    if (coder.nodeCount > 0) AssignCodesFrom(coder, coder.nodeCount - 1, 0, 0);
    return HuffmanResult::Ok;
}

// Entry j describes the codes that complete within the 12 bits j (first bit
// most significant). bitsUsed 0 means the first code is longer than 12 bits and
// symbols[0..1] hold the node reached after them.
//
// Walking the tree bit by bit for every entry costs 4096 x 12 dependent steps
// (a tenth of a frame's decode). Instead, pass 1 records in each entry's unused
// bytes the first code of its 12 bits (symbol, length; length 0 when longer
// than 12), one tree walk in all; pass 2 chains those: after `used` bits, the
// next code is the first code of entry (j << used) & 0xFFF, and it counts only
// if it ends within the 12 - used real bits.
static void MarkFirstCodes(DecodeEntry* table, const HuffmanNode* nodes, int node, int code, int depth)
{
    if (nodes[node].left == -1) {
        const int first = code << (DecodeTableBits - depth);
        for (int j = first; j < first + (1 << (DecodeTableBits - depth)); ++j) {
            table[j].unused[0] = static_cast<uint8_t>(nodes[node].symbol);
            table[j].unused[1] = static_cast<uint8_t>(depth);
        }
    } else if (depth == DecodeTableBits) {
        table[code].symbols[0] = static_cast<uint8_t>(node & 0xFF);
        table[code].symbols[1] = static_cast<uint8_t>(node >> 8);
    } else {
        MarkFirstCodes(table, nodes, nodes[node].left, code * 2, depth + 1);
        MarkFirstCodes(table, nodes, nodes[node].right, code * 2 + 1, depth + 1);
    }
}

HuffmanResult BuildDecodeTable(HuffmanCoder& coder)
{
    if (!coder.decodeTable) {
        coder.decodeTable = AllocateArray<DecodeEntry>(DecodeTableAllocatedEntries);
        if (!coder.decodeTable) return HuffmanResult::NoMemory;
    }
    DecodeEntry* table = coder.decodeTable;
    std::memset(table, 0, sizeof(DecodeEntry) * DecodeTableAllocatedEntries);
    uint8_t* bitsUsed = DecodeTableBitsUsed(table);
    const int root = coder.nodeCount - 1;
    if (root < 0 || coder.nodes[root].left == -1) return HuffmanResult::Ok; // no code bits to decode
    MarkFirstCodes(table, coder.nodes, root, 0, 0);

    for (int j = 0; j < DecodeTableSize; ++j) {
        DecodeEntry& entry = table[j];
        int used = 0;
        int count = 0;
        for (;;) {
            const DecodeEntry& next = table[(j << used) & (DecodeTableSize - 1)];
            const int length = next.unused[1];
            if (length == 0 || length > DecodeTableBits - used) break;
            entry.symbols[count++] = next.unused[0];
            used += length;
        }
        entry.bitsUsed = static_cast<uint8_t>(used);
        bitsUsed[j] = static_cast<uint8_t>(used);
        entry.symbolCount = static_cast<uint8_t>(count);
    }
    return HuffmanResult::Ok;
}

namespace huffman_detail {

HuffmanResult PrepareEncoder(HuffmanCoder& coder, const uint8_t* source, uint32_t length, uint32_t counts[256],
                             uint32_t* firstHalfCounts, CountKernel count)
{
    if (HuffmanResult r = CountHalves(coder, source, length, firstHalfCounts, count); r != HuffmanResult::Ok) return r;
    for (int v = 0; v < HuffmanAlphabetSize; ++v) counts[v] = static_cast<uint32_t>(coder.histogram[v]);
    if (coder.usedCount > 0) {
        if (HuffmanResult r = BuildLeaves(coder); r != HuffmanResult::Ok) return r;
        BuildTree(coder);
    }
    return AssignCodes(coder);
}

uint64_t StreamBits(const HuffmanCoder& coder, const uint32_t counts[256])
{
    uint64_t bits = 40;
    int described = 0;
    for (int v = coder.firstSymbol; described < coder.usedCount; ++v) {
        bits += coder.histogram[v] >= 8 ? 13 : 4;
        if (coder.histogram[v] != 0) ++described;
    }
    for (int v = 0; v < HuffmanAlphabetSize; ++v)
        bits += static_cast<uint64_t>(counts[v]) * static_cast<uint32_t>(coder.codes[v].length);
    return (bits + 7) & ~uint64_t{7};
}

} // namespace huffman_detail
