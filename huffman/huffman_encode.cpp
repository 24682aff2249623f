// The encoder: exact size first, then header and weight table bit by bit, then
// the codes through 64-bit accumulators that flush whole bytes, one for each
// half of the input. Long inputs whose codes are short take their codes two
// values at a time from a table of every pair.
#include "huffman.h"
#include "huffman_internal.h"
#include "platform/memory.h"

#include <algorithm>
#include <cstddef>
#include <type_traits>

using namespace huffman_detail;

// The coding loops are inlined whole into each entry below, so that the
// BMI2 entry compiles them with its one-instruction variable shifts.
#if defined(__GNUC__)
#define KESTRUN_CODING_LOOP __attribute__((always_inline)) inline
#else
#define KESTRUN_CODING_LOOP inline
#endif
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define KESTRUN_HUFFMAN_BMI2 1
#endif

namespace {

// Right-aligned accumulator: the low `bitCount` bits of `buffer` are pending,
// the oldest highest; bits above them are stale and ignored.
struct BitWriter {
    uint8_t* cursor;
    uint64_t buffer = 0;
    int bitCount = 0;

    // Up to 32 bits; leaves at most 7 bits pending.
    KESTRUN_CODING_LOOP void Put(uint32_t value, int bits)
    {
        buffer = (buffer << bits) | value;
        bitCount += bits;
        while (bitCount >= 8) {
            bitCount -= 8;
            *cursor++ = static_cast<uint8_t>(buffer >> bitCount);
        }
    }
};

// A code as the coding loops take it: the code in the high 32 bits and its
// length in the low ones, so that one load gives both, a shift takes the
// length as its count (shifts use only the count's low 6 bits) and entries
// add up to their lengths' sum in the low 32 bits.
using PackedCode = uint64_t;

constexpr PackedCode Pack(uint32_t code, uint32_t length) { return PackedCode(code) << 32 | length; }

void PackCodes(const HuffmanCode* codes, PackedCode* packed)
{
    for (int v = 0; v < HuffmanAlphabetSize; ++v)
        packed[v] = Pack(static_cast<uint32_t>(codes[v].code), static_cast<uint32_t>(codes[v].length));
}

// The codes of every pair of values, joined: entry first | second << 8, so
// that the two bytes as one little-endian 16-bit number index their entry.
// Used when the longest code has at most PairCodeMaxLength bits, so that two
// pairs or more fit between flushes.
constexpr int PairCodeMaxLength = 14;
constexpr std::size_t PairCodeEntries = std::size_t(1) << 16;
constexpr uint32_t PairCodingMinimum = uint32_t(1) << 19;

void FillPairCodes(const HuffmanCode* codes, PackedCode* pairs)
{
    for (int second = 0; second < HuffmanAlphabetSize; ++second) {
        const HuffmanCode s = codes[second];
        PackedCode* const row = pairs + (second << 8);
        for (int first = 0; first < HuffmanAlphabetSize; ++first)
            row[first] = Pack(static_cast<uint32_t>((codes[first].code << s.length) | s.code),
                              static_cast<uint32_t>(codes[first].length + s.length));
    }
}

// N entries, table[index(0)] to table[index(N - 1)], joined among
// themselves into `group`; returns their length, and `group` holds them
// only if that is at most 64.
template <int N, typename Index>
KESTRUN_CODING_LOOP uint32_t GroupOf(Index&& index, const PackedCode* table, uint64_t& group)
{
    PackedCode entry = table[index(0)];
    group = entry >> 32;
    uint64_t lengths = entry;
    for (int k = 1; k < N; ++k) {
        entry = table[index(k)];
        group = (group << (entry & 63)) | (entry >> 32);
        lengths += entry;
    }
    return static_cast<uint32_t>(lengths);
}

// The codes of K values as one group, by pairs when `Pairs` (K even,
// `table` the pair codes) and one by one otherwise (`table` the codes).
template <int K, bool Pairs>
KESTRUN_CODING_LOOP uint32_t CodesOf(const uint8_t* source, const PackedCode* table, uint64_t& group)
{
    if constexpr (Pairs) {
        static_assert(K % 2 == 0);
        return GroupOf<K / 2>([&](int k) { return source[2 * k] | (source[2 * k + 1] << 8); }, table, group);
    } else {
        return GroupOf<K>([&](int k) { return source[k]; }, table, group);
    }
}

// K codes joined into the accumulator. They are joined among themselves
// first, so the accumulator's shift-or chain has one link per group.
template <int K, bool Pairs>
KESTRUN_CODING_LOOP void Join(const uint8_t* source, const PackedCode* table, uint64_t& buffer, std::size_t& bitCount)
{
    uint64_t group;
    const uint32_t length = CodesOf<K, Pairs>(source, table, group);
    buffer = (buffer << length) | group;
    bitCount += length;
}

// Stores 8 bytes but advances only over the complete ones; bytes stored past
// them are rewritten later with their final value. Needs bitCount >= 1.
KESTRUN_CODING_LOOP void Flush(uint8_t*& cursor, uint64_t buffer, std::size_t& bitCount)
{
    StoreBigEndian64(cursor, buffer << (64 - bitCount));
    cursor += bitCount >> 3;
    bitCount &= 7;
}

// One step of the coding loops between flushes, with at most 7 bits pending:
// K codes, K as large as the longest code allows. Where the codes are short
// on average (`Doubled`), 2K codes: joined at once when they fit the 57 bits
// of room, as nearly always, and otherwise as two steps of K with a flush
// between; a step then moves the writer by at most 2K times the longest code.
template <int K, bool Pairs, bool Doubled>
KESTRUN_CODING_LOOP void Step(const uint8_t* source, const PackedCode* table, uint8_t*& cursor, uint64_t& buffer,
                              std::size_t& bitCount)
{
    if constexpr (Doubled) {
        uint64_t group;
        const uint32_t length = CodesOf<2 * K, Pairs>(source, table, group);
        if (length <= 57) [[likely]] {
            buffer = (buffer << length) | group;
            bitCount += length;
        } else {
            Join<K, Pairs>(source, table, buffer, bitCount);
            Flush(cursor, buffer, bitCount);
            Join<K, Pairs>(source + K, table, buffer, bitCount);
        }
    } else {
        Join<K, Pairs>(source, table, buffer, bitCount);
    }
}
template <int K, bool Doubled> constexpr int StepValues = Doubled ? 2 * K : K;

// Codes a step's symbols between flushes; 7 + K * maxLength must not exceed
// 64. Each flush needs 8 bytes of room, so the loop stops when the cursor passes
// `flushLimit`, 8 bytes before the end of the writer's part of the stream,
// and the caller finishes byte by byte.
template <int K, bool Pairs, bool Doubled>
KESTRUN_CODING_LOOP uint32_t EncodeWide(const uint8_t* source, uint32_t length, const PackedCode* table, BitWriter& writer,
                    const uint8_t* flushLimit)
{
    constexpr uint32_t N = StepValues<K, Doubled>;
    uint8_t* cursor = writer.cursor;
    uint64_t buffer = writer.buffer;
    std::size_t bitCount = static_cast<std::size_t>(writer.bitCount);
    uint32_t i = 0;
    // A step moves the cursor by at most 8 bytes: flushLimit stays 8 bytes
    // before the end when the slower step of two halves is taken, too.
    while (length - i >= N && cursor + (Doubled ? 8 : 0) <= flushLimit) {
        Step<K, Pairs, Doubled>(source + i, table, cursor, buffer, bitCount);
        i += N;
        Flush(cursor, buffer, bitCount); // bitCount >= K >= 2
    }
    writer.cursor = cursor;
    writer.buffer = buffer;
    writer.bitCount = static_cast<int>(bitCount);
    return i;
}

// EncodeWide for two writers in one loop, the first coding source[0, length)
// and the second `second[0, length)`: two independent shift-or chains that the
// CPU overlaps. Both writers' state must stay in registers (a spilled
// accumulator puts a store-to-load delay into its chain), so the loop tests
// neither cursor: it runs in stretches of steps that cannot carry a cursor past
// its flush limit, as each step moves a writer by at most its symbols' count
// times maxLength bits.
template <int K, bool Pairs, bool Doubled>
KESTRUN_CODING_LOOP uint32_t EncodeWideTwo(const uint8_t* source, const uint8_t* second, uint32_t length, const PackedCode* table,
                       int maxLength, BitWriter& writerA, const uint8_t* flushLimitA, BitWriter& writerB,
                       const uint8_t* flushLimitB)
{
    uint8_t* cursorA = writerA.cursor;
    uint8_t* cursorB = writerB.cursor;
    uint64_t bufferA = writerA.buffer;
    uint64_t bufferB = writerB.buffer;
    std::size_t bitCountA = static_cast<std::size_t>(writerA.bitCount);
    std::size_t bitCountB = static_cast<std::size_t>(writerB.bitCount);
    constexpr std::ptrdiff_t N = StepValues<K, Doubled>;
    const std::ptrdiff_t stepBits = N * maxLength; // >= 8: with 7 bits pending, `steps` steps still fit the room
    const std::ptrdiff_t offset = second - source;
    const uint8_t* p = source;
    for (;;) {
        const std::ptrdiff_t room = std::min(flushLimitA - cursorA, flushLimitB - cursorB);
        const std::ptrdiff_t steps = std::min<std::ptrdiff_t>(room * 8 / stepBits, (source + length - p) / N);
        if (steps < 16) break; // the rest is left to the single writers
        for (const uint8_t* stop = p + steps * N; p != stop; p += N) {
            Step<K, Pairs, Doubled>(p, table, cursorA, bufferA, bitCountA);
            Step<K, Pairs, Doubled>(p + offset, table, cursorB, bufferB, bitCountB);
            Flush(cursorA, bufferA, bitCountA);
            Flush(cursorB, bufferB, bitCountB);
        }
    }
    writerA = BitWriter{cursorA, bufferA, static_cast<int>(bitCountA)};
    writerB = BitWriter{cursorB, bufferB, static_cast<int>(bitCountB)};
    return static_cast<uint32_t>(p - source);
}

// The codes of source[0, length) from the writer's position up to `end`, where
// they must end: by the wide loop's `table`, then value by value by `codes`.
template <int K, bool Pairs, bool Doubled>
KESTRUN_CODING_LOOP void EncodePart(const uint8_t* source, uint32_t length, const PackedCode* codes,
                                    const PackedCode* table, BitWriter& writer, const uint8_t* end)
{
    uint32_t i = end - writer.cursor >= 8 ? EncodeWide<K, Pairs, Doubled>(source, length, table, writer, end - 8) : 0;
    for (; i < length; ++i) {
        const PackedCode c = codes[source[i]];
        writer.Put(static_cast<uint32_t>(c >> 32), static_cast<int>(static_cast<uint32_t>(c)));
    }
}

// Both parts, `first` from the end of the weight table and `second` from the
// bit where the first part's codes end. The first writer stops its flushes 8
// bytes before the byte holding that bit, so it never stores into the second
// writer's bytes; its last bits, fewer than 8, are left pending for the
// caller to merge into that byte.
template <int K, bool Pairs, bool Doubled>
KESTRUN_CODING_LOOP void EncodeParts(const uint8_t* source, uint32_t split, uint32_t length, const PackedCode* codes,
                                     const PackedCode* table, int maxLength, BitWriter& first, BitWriter& second,
                                     const uint8_t* end)
{
    const uint8_t* boundary = second.cursor;
    uint32_t i = 0;
    if (boundary - first.cursor >= 8 && end - second.cursor >= 8)
        i = EncodeWideTwo<K, Pairs, Doubled>(source, source + split, split, table, maxLength, first, boundary - 8,
                                             second, end - 8);
    EncodePart<K, Pairs, Doubled>(source + i, split - i, codes, table, first, boundary);
    EncodePart<K, Pairs, Doubled>(source + split + i, length - split - i, codes, table, second, end);
}

// The two-writer coding, built for the baseline and, where the compiler can,
// for processors with BMI2, chosen at run time: the same bytes either way.
template <int K, bool Pairs, bool Doubled>
void EncodePartsBaseline(const uint8_t* source, uint32_t split, uint32_t length, const PackedCode* codes,
                         const PackedCode* table, int maxLength, BitWriter& first, BitWriter& second,
                         const uint8_t* end)
{
    EncodeParts<K, Pairs, Doubled>(source, split, length, codes, table, maxLength, first, second, end);
}

#if defined(KESTRUN_HUFFMAN_BMI2)
template <int K, bool Pairs, bool Doubled>
__attribute__((target("bmi2"))) void EncodePartsBmi2(const uint8_t* source, uint32_t split, uint32_t length,
                                                     const PackedCode* codes, const PackedCode* table,
                                                     int maxLength, BitWriter& first, BitWriter& second,
                                                     const uint8_t* end)
{
    EncodeParts<K, Pairs, Doubled>(source, split, length, codes, table, maxLength, first, second, end);
}

#endif

constexpr Kernel<CodingLoop> codingKernels[] = {
    {"baseline", 0, CodingLoop::Baseline},
#if defined(KESTRUN_HUFFMAN_BMI2)
    {"bmi2", CpuBmi2, CodingLoop::Bmi2},
#endif
};

// K for the longest code: the largest with 7 + K * maxLength <= 64, at most 8.
template <typename Encode> void WithK(int maxLength, Encode&& encode)
{
    switch (57 / maxLength) {
    case 2: encode(std::integral_constant<int, 2>{}); break;
    case 3: encode(std::integral_constant<int, 3>{}); break;
    case 4: encode(std::integral_constant<int, 4>{}); break;
    case 5: encode(std::integral_constant<int, 5>{}); break;
    case 6: encode(std::integral_constant<int, 6>{}); break;
    case 7: encode(std::integral_constant<int, 7>{}); break;
    default: encode(std::integral_constant<int, 8>{}); break;
    }
}

// K for pairs of codes: twice the number of pairs with 7 + K * maxLength <= 64,
// at most 8 (maxLength at most PairCodeMaxLength).
template <typename Encode> void WithPairK(int maxLength, Encode&& encode)
{
    switch (57 / (2 * maxLength)) {
    case 2: encode(std::integral_constant<int, 4>{}); break;
    case 3: encode(std::integral_constant<int, 6>{}); break;
    default: encode(std::integral_constant<int, 8>{}); break;
    }
}

// Whether steps are doubled, for the coding loops' template argument.
template <typename Encode> void WithDoubling(bool doubled, Encode&& encode)
{
    if (doubled)
        encode(std::true_type{});
    else
        encode(std::false_type{});
}

// Below this length the second writer is not worth setting up. The two
// writers' state alone outnumbers the registers of 32-bit x86, so there the
// single writer is kept for every length.
constexpr uint32_t TwoWriterMinimum = sizeof(void*) >= 8 ? 512 : HuffmanMaxLength + 1;

} // namespace

std::size_t HuffmanEncodedSize(const uint8_t* source, uint32_t length)
{
    if (length > HuffmanMaxLength) return 0;
    HuffmanCoder coder;
    uint32_t counts[HuffmanAlphabetSize];
    if (PrepareEncoder(coder, source, length, counts) != HuffmanResult::Ok) return 0;
    return static_cast<std::size_t>(StreamBits(coder, counts) / 8);
}

std::span<const Kernel<CodingLoop>> HuffmanCodingKernels() { return codingKernels; }

EncodeOptions DefaultEncodeOptions()
{
    static const EncodeOptions options{ChooseKernel(HuffmanCountKernels()).function,
                                       ChooseKernel<CodingLoop>(codingKernels).function, PairCoding::ByLength};
    return options;
}

HuffmanResult HuffmanEncode(const uint8_t* source, uint32_t length, uint8_t* destination, std::size_t capacity,
                            std::size_t* written)
{
    return HuffmanEncodeWith(DefaultEncodeOptions(), source, length, destination, capacity, written);
}

HuffmanResult HuffmanEncodeWith(const EncodeOptions& options, const uint8_t* source, uint32_t length,
                                uint8_t* destination, std::size_t capacity, std::size_t* written)
{
    if (written) *written = 0;
    if (length > HuffmanMaxLength) return HuffmanResult::BadData;
    HuffmanCoder coder;
    uint32_t counts[HuffmanAlphabetSize];
    uint32_t firstHalfCounts[HuffmanAlphabetSize];
    if (HuffmanResult r = PrepareEncoder(coder, source, length, counts, firstHalfCounts, options.count);
        r != HuffmanResult::Ok)
        return r;
    const uint64_t streamBits = StreamBits(coder, counts);
    if (streamBits / 8 > capacity) return HuffmanResult::OutputTooSmall;
    uint8_t* const end = destination + streamBits / 8;

    BitWriter writer{destination};
    WriteHeaderAndWeights(coder, length, [&](uint32_t value, int bits) { writer.Put(value, bits); });

    // One used value has a code of no bits: nothing to write for the data.
    if (coder.usedCount > 1) {
        const HuffmanCode* codes = coder.codes;
        int maxLength = 1;
        for (int v = 0; v < HuffmanAlphabetSize; ++v)
            if (codes[v].length > maxLength) maxLength = codes[v].length;
        PackedCode packed[HuffmanAlphabetSize];
        PackCodes(codes, packed);
        // Steps of twice K codes where 2K codes average at most 24 bits, so
        // that they nearly always fit the accumulator's 57 bits at once.
        const auto doubling = [&](int k) { return streamBits * 2 * uint64_t(k) <= uint64_t(length) * 24; };
        if (length < TwoWriterMinimum) {
            WithK(maxLength, [&](auto k) {
                constexpr int K = decltype(k)::value;
                WithDoubling(doubling(K), [&](auto doubled) {
                    EncodePart<K, false, decltype(doubled)::value>(source, length, packed, packed, writer, end);
                });
            });
        } else {
            uint64_t firstBits = 0;
            for (int v = 0; v < HuffmanAlphabetSize; ++v)
                firstBits += static_cast<uint64_t>(firstHalfCounts[v]) * static_cast<uint32_t>(codes[v].length);
            const uint64_t secondStart = static_cast<uint64_t>(writer.cursor - destination) * 8 +
                                         static_cast<uint64_t>(writer.bitCount) + firstBits;
            // The byte holding the second part's first bit is shared: the second
            // writer starts it with zero bits in place of the first writer's last
            // ones, which are merged in at the end.
            uint8_t* const shared = destination + secondStart / 8;
            BitWriter second{shared, 0, static_cast<int>(secondStart % 8)};
            const uint32_t split = EncodeSplit(length);
            [[maybe_unused]] const bool bmi2 = options.loop == CodingLoop::Bmi2;
            const auto encodeParts = [&](auto k, auto pairs, const PackedCode* table) {
                constexpr int K = decltype(k)::value;
                constexpr bool Pairs = decltype(pairs)::value;
                WithDoubling(doubling(K), [&](auto doubled) {
                    constexpr bool Doubled = decltype(doubled)::value;
#if defined(KESTRUN_HUFFMAN_BMI2)
                    if (bmi2)
                        return EncodePartsBmi2<K, Pairs, Doubled>(source, split, length, packed, table, maxLength,
                                                                  writer, second, end);
#endif
                    EncodePartsBaseline<K, Pairs, Doubled>(source, split, length, packed, table, maxLength, writer,
                                                           second, end);
                });
            };
            // Filling the pair codes takes about as long as coding 200,000
            // values one by one saves, so short inputs are coded without them;
            // when they cannot be allocated, too.
            const bool pairCoding = maxLength <= PairCodeMaxLength && options.pairs != PairCoding::Never &&
                                    (length >= PairCodingMinimum || options.pairs == PairCoding::Always);
            PackedCode* const pairs = pairCoding ? AllocateArray<PackedCode>(PairCodeEntries) : nullptr;
            if (pairs) {
                FillPairCodes(codes, pairs);
                WithPairK(maxLength, [&](auto k) { encodeParts(k, std::true_type{}, pairs); });
                FreeMemory(pairs);
            } else {
                WithK(maxLength, [&](auto k) { encodeParts(k, std::false_type{}, packed); });
            }
            if (second.bitCount != 0) second.Put(0, 8 - second.bitCount);
            if (writer.bitCount != 0) *shared |= static_cast<uint8_t>(writer.buffer << (8 - writer.bitCount));
            writer = second;
        }
    }
    if (writer.bitCount != 0) writer.Put(0, 8 - writer.bitCount);

    if (written) *written = static_cast<std::size_t>(writer.cursor - destination);
    return HuffmanResult::Ok;
}
