// Deflate decoding for whole frames. Literals dominate picture residuals,
// so the literal/length table resolves two short literal codes in one
// look-up where they fit, halving the chain of dependent look-ups that sets
// the pace. Everything the stream says is checked before it is used: code
// lengths, table completeness, distances against the output so far, lengths
// against the room left, and every byte read against the end of the input.
#include "fast_inflate.h"

#include <bit>
#include <cstring>
#include <zlib.h>

#include "platform/memory.h"

#if defined(KESTRUN_HAVE_LIBDEFLATE)
#include <libdeflate.h>
#endif

namespace {

// A table entry, 32 bits:
//   bits 0-7    code bits the entry takes (both codes of a literal pair);
//   bits 8-11   its kind;
//   bits 12-15  extra bits after the code (lengths, distances), the
//               index bits of the subtable an entry points to, or a literal
//               pair's first code bits;
//   bits 16-31  the value: literal (a pair: first in bits 16-23), length or
//               distance base, or the subtable's first entry.
enum Kind : uint32_t { Literal, LiteralPair, Length, EndOfBlock, Subtable, Invalid };

constexpr uint32_t Entry(uint32_t bits, Kind kind, uint32_t extra, uint32_t value)
{
    return bits | uint32_t(kind) << 8 | extra << 12 | value << 16;
}
constexpr uint32_t BitsOf(uint32_t e) { return e & 0xFF; }
constexpr Kind KindOf(uint32_t e) { return Kind((e >> 8) & 0xF); }
constexpr uint32_t ExtraOf(uint32_t e) { return (e >> 12) & 0xF; }
constexpr uint32_t ValueOf(uint32_t e) { return e >> 16; }

constexpr unsigned MaxCodeBits = 15;
constexpr unsigned LiteralRootBits = 11;
constexpr unsigned DistanceRootBits = 9;
constexpr unsigned CodeLengthBits = 7;

// Every long code lies in one subtable of at most 2^(15 - root) entries.
constexpr std::size_t LiteralTableSize = (1u << LiteralRootBits) + 288 * (1u << (MaxCodeBits - LiteralRootBits));
constexpr std::size_t DistanceTableSize = (1u << DistanceRootBits) + 32 * (1u << (MaxCodeBits - DistanceRootBits));

constexpr uint16_t LengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                     31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t LengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t DistanceBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                       193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t DistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// The order in which a dynamic block lists its code-length code lengths.
constexpr uint8_t CodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// What each symbol of an alphabet decodes to, less the code bits.
enum class Alphabet { LiteralLength, Distance, CodeLength };

uint32_t SymbolEntry(Alphabet alphabet, unsigned symbol, unsigned bits)
{
    switch (alphabet) {
    case Alphabet::LiteralLength:
        if (symbol < 256) return Entry(bits, Literal, 0, symbol);
        if (symbol == 256) return Entry(bits, EndOfBlock, 0, 0);
        if (symbol < 286) return Entry(bits, Length, LengthExtra[symbol - 257], LengthBase[symbol - 257]);
        return Entry(bits, Invalid, 0, 0); // 286 and 287 have codes in fixed blocks but no meaning
    case Alphabet::Distance:
        if (symbol < 30) return Entry(bits, Length, DistanceExtra[symbol], DistanceBase[symbol]);
        return Entry(bits, Invalid, 0, 0);
    case Alphabet::CodeLength:
        return Entry(bits, Literal, 0, symbol);
    }
    return Entry(bits, Invalid, 0, 0);
}

uint32_t Reversed(uint32_t code, unsigned bits)
{
    uint32_t r = 0;
    for (unsigned i = 0; i < bits; ++i, code >>= 1) r = r << 1 | (code & 1);
    return r;
}

// Builds the decoding table of a canonical code from its code lengths, with
// `root` index bits and subtables for longer codes. Refuses what zlib
// refuses: an over-subscribed code, and an incomplete one unless it is a
// literal/length or distance code whose only code is one bit long, or a
// code with no codes at all. Unused entries decode as Invalid.
bool BuildTable(const uint8_t* lengths, unsigned count, Alphabet alphabet, unsigned root, uint32_t* table,
                std::size_t capacity)
{
    unsigned perLength[MaxCodeBits + 1] = {};
    unsigned longest = 0;
    for (unsigned s = 0; s < count; ++s) {
        ++perLength[lengths[s]];
        if (lengths[s] > longest) longest = lengths[s];
    }
    perLength[0] = 0;
    int left = 1;
    for (unsigned len = 1; len <= MaxCodeBits; ++len) {
        left = 2 * left - int(perLength[len]);
        if (left < 0) return false;
    }
    if (left > 0 && longest > 1) return false;
    if (left > 0 && alphabet == Alphabet::CodeLength && longest > 0) return false;
    const std::size_t rootSize = std::size_t(1) << root;
    if (longest == 0 && alphabet == Alphabet::CodeLength) {
        // A code-length code with no codes at all: zlib then reads every
        // code length as a 0 of one bit (and finds the block's end code
        // missing once they are read); so a stream cut short meanwhile is
        // told as cut short, as zlib tells it.
        for (std::size_t i = 0; i < rootSize; ++i) table[i] = Entry(1, Literal, 0, 0);
        return true;
    }
    // An unused entry is the other half of an incomplete one-bit code (or
    // of no code at all): one bit, as zlib counts it before it refuses.
    for (std::size_t i = 0; i < rootSize; ++i) table[i] = Entry(1, Invalid, 0, 0);
    uint32_t next[MaxCodeBits + 2] = {};
    for (unsigned len = 1; len <= MaxCodeBits; ++len) next[len + 1] = (next[len] + perLength[len]) << 1;
    // The subtable of each root prefix is as wide as its longest code needs.
    uint8_t subBits[1u << LiteralRootBits] = {};
    uint32_t codes[288];
    for (unsigned s = 0; s < count; ++s) {
        const unsigned len = lengths[s];
        if (len == 0) continue;
        codes[s] = Reversed(next[len]++, len);
        if (len > root) {
            uint8_t& b = subBits[codes[s] & (rootSize - 1)];
            if (len - root > b) b = uint8_t(len - root);
        }
    }
    std::size_t used = rootSize;
    for (unsigned s = 0; s < count; ++s) {
        const unsigned len = lengths[s];
        if (len == 0) continue;
        const uint32_t code = codes[s];
        const uint32_t entry = SymbolEntry(alphabet, s, len);
        if (len <= root) {
            const unsigned extra = ExtraOf(entry);
            if (KindOf(entry) == Length && alphabet == Alphabet::LiteralLength && extra > 0 && len + extra <= root) {
                // The extra bits fit in the index as well: one entry per
                // value of them, with the length complete.
                for (std::size_t i = code; i < rootSize; i += std::size_t(1) << len)
                    table[i] = Entry(len + extra, Length, 0, ValueOf(entry) + ((i >> len) & ((1u << extra) - 1)));
            } else {
                for (std::size_t i = code; i < rootSize; i += std::size_t(1) << len) table[i] = entry;
            }
            continue;
        }
        const std::size_t prefix = code & (rootSize - 1);
        const unsigned bits = subBits[prefix];
        if (KindOf(table[prefix]) != Subtable) {
            if (used + (std::size_t(1) << bits) > capacity) return false;
            table[prefix] = Entry(root, Subtable, bits, uint32_t(used));
            for (std::size_t i = 0; i < (std::size_t(1) << bits); ++i) table[used + i] = Entry(0, Invalid, 0, 0);
            used += std::size_t(1) << bits;
        }
        const std::size_t first = ValueOf(table[prefix]);
        for (std::size_t i = code >> root; i < (std::size_t(1) << bits); i += std::size_t(1) << (len - root))
            table[first + i] = entry;
    }
    if (alphabet == Alphabet::LiteralLength) {
        // Where a literal's code leaves room for a whole second literal code
        // in the index, one look-up yields both. Downwards, so that the
        // second look-up still meets single entries.
        for (std::size_t i = rootSize; i-- > 0;) {
            const uint32_t first = table[i];
            if (KindOf(first) != Literal) continue;
            const uint32_t second = table[i >> BitsOf(first)];
            if (KindOf(second) != Literal || BitsOf(first) + BitsOf(second) > root) continue;
            table[i] = Entry(BitsOf(first) + BitsOf(second), LiteralPair, BitsOf(first),
                             ValueOf(first) | ValueOf(second) << 8);
        }
    }
    return true;
}

// The input as a little-endian bit stream. Past the end it reads zero bytes
// and counts them, so that a stream which needed them is caught.
struct BitReader {
    const uint8_t* begin;
    const uint8_t* next;
    const uint8_t* end;
    uint64_t bits = 0;
    unsigned count = 0;      // valid bits in `bits`
    std::size_t padding = 0; // zero bytes read past the end

    // At least 56 valid bits afterwards.
    inline void Refill()
    {
        if (end - next >= 8) {
            uint64_t word;
            std::memcpy(&word, next, 8);
            if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
            bits |= word << count;
            next += (63 - count) >> 3;
            count |= 56;
            return;
        }
        while (count <= 56) {
            uint64_t byte = 0;
            if (next < end) {
                byte = *next++;
            } else {
                ++padding;
            }
            bits |= byte << count;
            count += 8;
        }
    }
    uint32_t Peek(unsigned n) const { return uint32_t(bits & ((uint64_t(1) << n) - 1)); }
    void Drop(unsigned n)
    {
        bits >>= n;
        count -= n;
    }
    uint32_t Take(unsigned n)
    {
        const uint32_t v = Peek(n);
        Drop(n);
        return v;
    }
    // Bytes of real input taken so far, counting a partly used byte; false
    // once the stream has used bits past the end of the input.
    bool Within() const { return padding * 8 <= count; }
    // What went wrong where the stream contradicts itself, `pending` bits
    // on: bits taken from past the end of the input explain any nonsense
    // they decode to.
    InflateResult Failed(InflateResult why, unsigned pending = 0) const
    {
        return padding * 8 + pending <= count ? why : InflateResult::CutShort;
    }
    // To the next byte boundary; then the offset of the next unread byte.
    std::size_t AlignedOffset()
    {
        Drop(count & 7);
        return std::size_t(next - begin) + padding - count / 8;
    }
    void Restart(std::size_t offset)
    {
        next = begin + offset;
        bits = 0;
        count = 0;
        padding = 0;
    }
};

struct Tables {
    uint32_t literal[LiteralTableSize];
    uint32_t distance[DistanceTableSize];
};

InflateResult ReadDynamicTables(BitReader& in, Tables& t)
{
    const InflateResult bad = InflateResult::BadData;
    in.Refill();
    const unsigned literals = in.Take(5) + 257, distances = in.Take(5) + 1, codeLengths = in.Take(4) + 4;
    if (literals > 286 || distances > 30) return in.Failed(bad);
    uint8_t lengths[286 + 30] = {};
    uint8_t codeLengthLengths[19] = {};
    for (unsigned i = 0; i < codeLengths; ++i) {
        in.Refill();
        codeLengthLengths[CodeLengthOrder[i]] = uint8_t(in.Take(3));
    }
    uint32_t codeLengthTable[1u << CodeLengthBits];
    if (!BuildTable(codeLengthLengths, 19, Alphabet::CodeLength, CodeLengthBits, codeLengthTable, 1u << CodeLengthBits))
        return in.Failed(bad);
    const unsigned total = literals + distances;
    for (unsigned i = 0; i < total;) {
        in.Refill();
        const uint32_t e = codeLengthTable[in.Peek(CodeLengthBits)];
        if (KindOf(e) == Invalid) return in.Failed(bad);
        in.Drop(BitsOf(e));
        const unsigned symbol = ValueOf(e);
        if (symbol < 16) {
            lengths[i++] = uint8_t(symbol);
            continue;
        }
        unsigned repeat;
        uint8_t value = 0;
        if (symbol == 16) {
            // zlib wants the two repeat bits before it finds no length to repeat.
            if (i == 0) return in.Failed(bad, 2);
            value = lengths[i - 1];
            repeat = 3 + in.Take(2);
        } else if (symbol == 17) {
            repeat = 3 + in.Take(3);
        } else {
            repeat = 11 + in.Take(7);
        }
        if (repeat > total - i) return in.Failed(bad);
        std::memset(lengths + i, value, repeat);
        i += repeat;
    }
    if (!in.Within()) return InflateResult::CutShort;
    const bool built =
        lengths[256] != 0 &&
        BuildTable(lengths, literals, Alphabet::LiteralLength, LiteralRootBits, t.literal, LiteralTableSize) &&
        BuildTable(lengths + literals, distances, Alphabet::Distance, DistanceRootBits, t.distance, DistanceTableSize);
    return built ? InflateResult::Ok : bad;
}

bool BuildFixedTables(Tables& t)
{
    uint8_t lengths[288 + 32];
    std::memset(lengths, 8, 144);
    std::memset(lengths + 144, 9, 112);
    std::memset(lengths + 256, 7, 24);
    std::memset(lengths + 280, 8, 8);
    std::memset(lengths + 288, 5, 32);
    return BuildTable(lengths, 288, Alphabet::LiteralLength, LiteralRootBits, t.literal, LiteralTableSize) &&
           BuildTable(lengths + 288, 32, Alphabet::Distance, DistanceRootBits, t.distance, DistanceTableSize);
}

// Copies a match of `length` bytes from `distance` back; the caller has
// checked both.
inline uint8_t* CopyMatch(uint8_t* out, const uint8_t* outEnd, uint32_t distance, uint32_t length)
{
    const uint8_t* from = out - distance;
    if (distance >= 8 && std::size_t(outEnd - out) >= length + 16) {
        // Eight bytes a step, in order, so that each step reads bytes at
        // least eight back, already written. Sixteen at once cover most
        // matches; the steps may run up to fifteen past the match, still
        // inside the output, where later symbols overwrite them.
        std::memcpy(out, from, 8);
        std::memcpy(out + 8, from + 8, 8);
        for (uint32_t n = 16; n < length; n += 8) std::memcpy(out + n, from + n, 8);
    } else if (distance == 1) {
        std::memset(out, from[0], length);
    } else {
        for (uint32_t n = 0; n < length; ++n) out[n] = from[n];
    }
    return out + length;
}

// A single literal or a pair: kinds 0 and 1. Its value's low byte is the
// first literal, the next byte the second (0 for a single one).
constexpr bool IsLiterals(uint32_t e) { return (e & 0xE00) == 0; }
constexpr unsigned LiteralCount(uint32_t e) { return 1 + ((e >> 8) & 1); }

// Hands the reader back from a failed block and says why; kept out of the
// decoding loop, whose reader must stay in registers.
#if defined(__GNUC__)
__attribute__((cold, noinline))
#endif
InflateResult BlockFailed(BitReader& reader, BitReader at, InflateResult why, unsigned pending)
{
    reader = at;
    return at.Failed(why, pending);
}

// One block's symbols up to its end-of-block code. The reader is copied
// into locals, so that the output's stores cannot make the compiler
// reload it; a failure hands it back to tell where the stream went wrong.
InflateResult DecodeBlock(BitReader& reader, const Tables& t, uint8_t* outBegin, uint8_t*& outNext, uint8_t* outEnd)
{
    BitReader in = reader;
    const auto fail = [&reader](const BitReader& at, InflateResult why, unsigned pending) {
        return BlockFailed(reader, at, why, pending);
    };
    uint8_t* out = outNext;
    const uint32_t* const literal = t.literal;
    constexpr uint32_t rootMask = (1u << LiteralRootBits) - 1;
    // `e` is always the entry at the reader's position, looked up after a
    // refill: at the end of every step, and before a match's copy, which
    // the look-up does not depend on.
    in.Refill();
    uint32_t e = literal[in.bits & rootMask];
    for (;;) {
        if (IsLiterals(e) && outEnd - out >= 8) {
            // Room for three look-ups of up to two literals each, written
            // two bytes at a time: up to three literal look-ups take 33 of
            // the 56 bits a refill leaves.
            for (int step = 0; step < 3; ++step) {
                const uint32_t two = ValueOf(e);
                out[0] = uint8_t(two);
                out[1] = uint8_t(two >> 8);
                out += LiteralCount(e);
                in.Drop(BitsOf(e));
                e = literal[in.bits & rootMask];
                if (!IsLiterals(e)) break;
            }
            // A refill only adds bits above those `e` was looked up by.
            in.Refill();
            if (IsLiterals(e)) continue;
        }
        if (KindOf(e) == Subtable) e = literal[ValueOf(e) + ((in.bits >> LiteralRootBits) & ((1u << ExtraOf(e)) - 1))];
        if (IsLiterals(e)) { // near the end of the output, or a long literal code
            // zlib finds the output full once it has the next literal's
            // code, before it reads the code of a pair's second.
            if (out == outEnd)
                return fail(in, InflateResult::LongOutput, KindOf(e) == LiteralPair ? ExtraOf(e) : BitsOf(e));
            if (std::size_t(outEnd - out) < LiteralCount(e)) return fail(in, InflateResult::LongOutput, BitsOf(e));
            out[0] = uint8_t(ValueOf(e));
            if (LiteralCount(e) == 2) out[1] = uint8_t(ValueOf(e) >> 8);
            out += LiteralCount(e);
            in.Drop(BitsOf(e));
            in.Refill();
            e = literal[in.bits & rootMask];
            continue;
        }
        switch (KindOf(e)) {
        case EndOfBlock:
            in.Drop(BitsOf(e));
            outNext = out;
            reader = in;
            return in.Within() ? InflateResult::Ok : InflateResult::CutShort;
        case Length:
            break;
        default:
            return fail(in, InflateResult::BadData, BitsOf(e));
        }
        in.Drop(BitsOf(e));
        const uint32_t length = ValueOf(e) + in.Take(ExtraOf(e));
        uint32_t d = t.distance[in.Peek(DistanceRootBits)];
        if (KindOf(d) == Subtable)
            d = t.distance[ValueOf(d) + ((in.bits >> DistanceRootBits) & ((1u << ExtraOf(d)) - 1))];
        if (KindOf(d) != Length) return fail(in, InflateResult::BadData, BitsOf(d));
        in.Drop(BitsOf(d));
        const uint32_t distance = ValueOf(d) + in.Take(ExtraOf(d));
        if (distance > std::size_t(out - outBegin) || length > std::size_t(outEnd - out)) {
            // As zlib tells it: a full output first, then a distance too far
            // back, then a match longer than the room left.
            const bool tooFar = out != outEnd && distance > std::size_t(out - outBegin);
            return fail(in, tooFar ? InflateResult::BadData : InflateResult::LongOutput, 0);
        }
        in.Refill();
        e = literal[in.bits & rootMask];
        out = CopyMatch(out, outEnd, distance, length);
    }
}

uint32_t Adler32(const uint8_t* data, std::size_t size)
{
#if defined(KESTRUN_HAVE_LIBDEFLATE)
    return libdeflate_adler32(1, data, size);
#else
    uLong sum = adler32(0L, Z_NULL, 0);
    while (size > 0) {
        const uInt part = size > (1u << 30) ? (1u << 30) : uInt(size);
        sum = adler32(sum, data, part);
        data += part;
        size -= part;
    }
    return uint32_t(sum);
#endif
}

InflateResult Inflate(const uint8_t* source, std::size_t sourceSize, uint8_t* destination,
                      std::size_t destinationSize, std::size_t* consumed, Tables& tables)
{
    // The two header bytes: deflate with at most a 32 KB window, no preset
    // dictionary, and the check that makes the pair a multiple of 31.
    if (sourceSize < 2) return InflateResult::CutShort;
    const unsigned method = source[0], flags = source[1];
    if ((method & 15) != 8 || (method >> 4) > 7 || (method << 8 | flags) % 31 != 0) return InflateResult::BadData;
    // A preset dictionary is refused, once its 4-byte identifier is there
    // (zlib reads it before it asks for the dictionary).
    if ((flags & 0x20) != 0) return sourceSize < 6 ? InflateResult::CutShort : InflateResult::BadData;
    BitReader in{source, source + 2, source + sourceSize};
    uint8_t* out = destination;
    uint8_t* const outEnd = destination + destinationSize;
    for (bool last = false; !last;) {
        in.Refill();
        if (!in.Within()) return InflateResult::CutShort;
        last = in.Take(1) != 0;
        InflateResult block = InflateResult::Ok;
        switch (in.Take(2)) {
        case 0: { // stored: LEN, its complement, then LEN bytes as they are
            std::size_t at = in.AlignedOffset();
            if (at > sourceSize || sourceSize - at < 4) return InflateResult::CutShort;
            const uint32_t length = source[at] | uint32_t(source[at + 1]) << 8;
            const uint32_t check = source[at + 2] | uint32_t(source[at + 3]) << 8;
            at += 4;
            if ((length ^ 0xFFFF) != check) return InflateResult::BadData;
            // Whichever side the copy runs out of first, as zlib tells it.
            const std::size_t inputLeft = sourceSize - at, outputLeft = std::size_t(outEnd - out);
            if (inputLeft < length && inputLeft <= outputLeft) return InflateResult::CutShort;
            if (outputLeft < length) return InflateResult::LongOutput;
            if (length > 0) std::memcpy(out, source + at, length); // an empty destination may be null
            out += length;
            in.Restart(at + length);
            break;
        }
        case 1:
            block = BuildFixedTables(tables) ? DecodeBlock(in, tables, destination, out, outEnd)
                                             : InflateResult::BadData;
            break;
        case 2:
            block = ReadDynamicTables(in, tables);
            if (block == InflateResult::Ok) block = DecodeBlock(in, tables, destination, out, outEnd);
            break;
        default:
            return InflateResult::BadData;
        }
        if (block != InflateResult::Ok) return block;
    }
    if (!in.Within()) return InflateResult::CutShort;
    // The check value covers what the stream made, as zlib checks it: a
    // stream that ended early is told by its length only if that holds.
    const std::size_t at = in.AlignedOffset();
    if (at > sourceSize || sourceSize - at < 4) return InflateResult::CutShort;
    const uint32_t expected = uint32_t(source[at]) << 24 | uint32_t(source[at + 1]) << 16 |
                              uint32_t(source[at + 2]) << 8 | source[at + 3];
    if (Adler32(destination, std::size_t(out - destination)) != expected) return InflateResult::BadCheckValue;
    if (out != outEnd) return InflateResult::ShortOutput;
    *consumed = at + 4;
    return InflateResult::Ok;
}

} // namespace

InflateResult FastInflateExact(const uint8_t* source, std::size_t sourceSize, uint8_t* destination,
                               std::size_t destinationSize, std::size_t* consumed)
{
    // The tables are the decoder's only state, about 45 KB.
    Tables* tables = static_cast<Tables*>(AllocateMemory(sizeof(Tables)));
    if (!tables) return InflateResult::NoMemory;
    const InflateResult result = Inflate(source, sourceSize, destination, destinationSize, consumed, *tables);
    FreeMemory(tables);
    return result;
}
