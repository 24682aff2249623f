// The codec's own inflater against zlib's: the same bytes from every kind of
// stream zlib writes, and the same verdict on damaged and hand-made ones.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>
#include <zlib.h>

#include "codec/fast_inflate.h"
#include "codec/zlib_stream.h"
#include "support/test_support.h"

namespace {
using Bytes = std::vector<uint8_t>;

// zlib's deflate with the given settings, in pieces of `piece` bytes each
// ended by `flush` (Z_NO_FLUSH for one block run), optionally switching to
// stored blocks for the middle third.
Bytes Deflate(const Bytes& data, int level, int strategy, int windowBits, std::size_t piece = 0,
              int flush = Z_NO_FLUSH, bool storedMiddle = false)
{
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, windowBits, 8, strategy), Z_OK);
    Bytes out(deflateBound(&z, uLong(data.size())) + 64 + data.size() / 8);
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    if (piece == 0) piece = data.size() + 1;
    for (std::size_t at = 0;; at += piece) {
        const std::size_t n = at >= data.size() ? 0 : std::min(piece, data.size() - at);
        if (storedMiddle && at >= data.size() / 3 && at < 2 * data.size() / 3) deflateParams(&z, 0, strategy);
        if (storedMiddle && at >= 2 * data.size() / 3) deflateParams(&z, level, strategy);
        z.next_in = const_cast<Bytef*>(data.data() + std::min(at, data.size()));
        z.avail_in = uInt(n);
        const bool end = at + n >= data.size();
        const int status = deflate(&z, end ? Z_FINISH : flush);
        if (end) {
            EXPECT_EQ(status, Z_STREAM_END);
            break;
        }
    }
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Residual-like content: mostly small values around zero, as the median
// transform leaves them, with runs.
Bytes Residuals(std::size_t size, uint32_t seed)
{
    Bytes data = RandomBytes(size, seed);
    for (std::size_t i = 0; i < size; ++i) {
        const uint8_t r = data[i];
        data[i] = r < 100 ? 0 : r < 180 ? uint8_t(r & 3) : r < 230 ? uint8_t(256 - (r & 7)) : r;
    }
    return data;
}

struct Verdict {
    InflateResult result;
    Bytes output;
    std::size_t consumed = 0;
};

Verdict Ours(const uint8_t* stream, std::size_t size, std::size_t outputSize)
{
    Verdict v{InflateResult::Ok, Bytes(outputSize)};
    v.result = FastInflateExact(stream, size, v.output.data(), outputSize, &v.consumed);
    return v;
}

Verdict Zlib(const uint8_t* stream, std::size_t size, std::size_t outputSize)
{
    Verdict v{InflateResult::Ok, Bytes(outputSize)};
    v.result = InflateExactZlib(stream, size, v.output.data(), outputSize, &v.consumed);
    return v;
}

// Both inflaters on the same stream: the same verdict, and when both
// accept it the same bytes and stream length.
void ExpectSameVerdict(const uint8_t* stream, std::size_t size, std::size_t outputSize, const std::string& what)
{
    const Verdict ours = Ours(stream, size, outputSize), zlib = Zlib(stream, size, outputSize);
    ASSERT_EQ(ours.result, zlib.result) << what;
    if (ours.result == InflateResult::Ok) {
        ASSERT_EQ(ours.output, zlib.output) << what;
        ASSERT_EQ(ours.consumed, zlib.consumed) << what;
    }
}

TEST(FastInflate, EveryKindOfStreamZlibWritesComesBackExactly)
{
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    std::vector<Bytes> contents = {Bytes{}, Bytes{7}, RandomBytes(3000, 1), Residuals(70000, 2), Bytes(40000, 0)};
    Bytes text;
    for (int i = 0; text.size() < 50000; ++i) {
        const std::string line = "frame " + std::to_string(i * 7 % 113) + " of the archive\n";
        text.insert(text.end(), line.begin(), line.end());
    }
    contents.push_back(text);
    for (const Bytes& data : contents)
    for (int level : {0, 1, 5, 9})
    for (int strategy : strategies)
    for (int windowBits : {9, 15}) {
        const std::string what = "size " + std::to_string(data.size()) + " level " + std::to_string(level) +
                                 " strategy " + std::to_string(strategy) + " window " + std::to_string(windowBits);
        Bytes stream = Deflate(data, level, strategy, windowBits);
        // Bytes after the stream are neither read as stream nor counted.
        stream.push_back(0xEE);
        const Verdict v = Ours(stream.data(), stream.size(), data.size());
        ASSERT_EQ(v.result, InflateResult::Ok) << what;
        ASSERT_EQ(v.output, data) << what;
        ASSERT_EQ(v.consumed, stream.size() - 1) << what;
    }
}

TEST(FastInflate, FlushedPiecesAndStoredBlocksBetweenCodedOnes)
{
    const Bytes data = Residuals(100000, 3);
    for (int flush : {Z_SYNC_FLUSH, Z_FULL_FLUSH, Z_PARTIAL_FLUSH, Z_BLOCK}) {
        for (bool storedMiddle : {false, true}) {
            const Bytes stream = Deflate(data, 5, Z_FILTERED, 15, 777, flush, storedMiddle);
            const Verdict v = Ours(stream.data(), stream.size(), data.size());
            ASSERT_EQ(v.result, InflateResult::Ok) << "flush " << flush << (storedMiddle ? " stored middle" : "");
            ASSERT_EQ(v.output, data);
            ASSERT_EQ(v.consumed, stream.size());
        }
    }
}

TEST(FastInflate, RealFramesFromBothDeflateCoders)
{
    const Bytes frames = SampleFrames("yuyv422", 2);
    if (frames.empty()) GTEST_SKIP() << "ffmpeg is not available";
    const Bytes picture(frames.begin(), frames.begin() + std::ptrdiff_t(frames.size() / 2));
    Bytes stream(picture.size() + picture.size() / 100 + 64);
    for (bool archive : {false, true}) {
        std::size_t length = 0;
        const ZlibResult made = archive ? DeflateArchiveInto(picture.data(), picture.size(), stream.data(), stream.size(), &length)
                                        : DeflateInto(picture.data(), picture.size(), stream.data(), stream.size(), 5, &length);
        ASSERT_EQ(made, ZlibResult::Ok);
        const Verdict v = Ours(stream.data(), length, picture.size());
        ASSERT_EQ(v.result, InflateResult::Ok) << (archive ? "archive" : "frame coder");
        EXPECT_EQ(v.output, picture);
        EXPECT_EQ(v.consumed, length);
    }
}

// Every bit of three small streams flipped in turn (a fixed-code block, a
// dynamic one, one with a stored block), every cut, and outputs one byte too
// small or too large: zlib's verdict each time.
TEST(FastInflate, SameVerdictAsZlibOnEveryFlipAndCut)
{
    const Bytes data = Residuals(600, 4);
    const Bytes streams[] = {Deflate(data, 5, Z_FIXED, 15), Deflate(data, 9, Z_FILTERED, 15),
                             Deflate(data, 5, Z_FILTERED, 15, 200, Z_FULL_FLUSH, true)};
    for (const Bytes& stream : streams) {
        for (std::size_t bit = 0; bit < stream.size() * 8; ++bit) {
            Bytes damaged = stream;
            damaged[bit / 8] ^= uint8_t(1 << (bit % 8));
            ExpectSameVerdict(damaged.data(), damaged.size(), data.size(), "bit " + std::to_string(bit));
        }
        for (std::size_t cut = 0; cut < stream.size(); ++cut)
            ExpectSameVerdict(stream.data(), cut, data.size(), "cut " + std::to_string(cut));
        ExpectSameVerdict(stream.data(), stream.size(), data.size() - 1, "output one byte short");
        ExpectSameVerdict(stream.data(), stream.size(), data.size() + 1, "output one byte long");
    }
}

// Streams written bit by bit, for the rules a damaged stream rarely meets.
class StreamWriter {
public:
    StreamWriter(uint8_t method = 0x78, uint8_t flags = 0x01) : bytes_{method, flags} {}
    // `count` bits of `value`, least significant first (header fields, extra bits).
    StreamWriter& Bits(uint32_t value, unsigned count)
    {
        for (unsigned i = 0; i < count; ++i) Bit((value >> i) & 1);
        return *this;
    }
    // A Huffman code, most significant bit first.
    StreamWriter& Code(uint32_t code, unsigned length)
    {
        for (unsigned i = length; i-- > 0;) Bit((code >> i) & 1);
        return *this;
    }
    // A literal/length symbol of the fixed code.
    StreamWriter& Fixed(unsigned symbol)
    {
        if (symbol < 144) return Code(0x30 + symbol, 8);
        if (symbol < 256) return Code(0x190 + symbol - 144, 9);
        if (symbol < 280) return Code(symbol - 256, 7);
        return Code(0xC0 + symbol - 280, 8);
    }
    // Byte-aligns and appends the checksum of `content`.
    Bytes Finish(const Bytes& content)
    {
        const uint32_t sum = uint32_t(adler32(1, content.data(), uInt(content.size())));
        for (int shift = 24; shift >= 0; shift -= 8) bytes_.push_back(uint8_t(sum >> shift));
        return bytes_;
    }

private:
    void Bit(uint32_t b)
    {
        if (used_ == 0) bytes_.push_back(0);
        bytes_.back() |= uint8_t(b << used_);
        used_ = (used_ + 1) & 7;
    }
    Bytes bytes_;
    unsigned used_ = 0;
};

TEST(FastInflate, HandMadeStreamsGetZlibsVerdict)
{
    struct Case {
        const char* name;
        Bytes stream;
        Bytes content;
        bool good;
    };
    const Bytes aaaa{'A', 'A', 'A', 'A'};
    std::vector<Case> cases;
    // A literal, then three more copied from one back: the shortest overlapping match.
    cases.push_back({"match one back", StreamWriter().Bits(1, 1).Bits(1, 2).Fixed('A').Fixed(257).Code(0, 5).Fixed(256).Finish(aaaa),
                     aaaa, true});
    cases.push_back({"match from before the output", StreamWriter().Bits(1, 1).Bits(1, 2).Fixed('A').Fixed(257).Code(1, 5).Fixed(256).Finish(aaaa),
                     aaaa, false});
    cases.push_back({"length symbol 286", StreamWriter().Bits(1, 1).Bits(1, 2).Fixed('A').Fixed(286).Code(0, 5).Fixed(256).Finish(aaaa),
                     aaaa, false});
    cases.push_back({"distance symbol 30", StreamWriter().Bits(1, 1).Bits(1, 2).Fixed('A').Fixed(257).Code(30, 5).Fixed(256).Finish(aaaa),
                     aaaa, false});
    // One literal in a final fixed block, after the given header bytes.
    const Bytes a{'A'};
    const auto letter = [&](uint8_t method, uint8_t flags) {
        return StreamWriter(method, flags).Bits(1, 1).Bits(1, 2).Fixed('A').Fixed(256).Finish(a);
    };
    cases.push_back({"one literal", letter(0x78, 0x01), a, true});
    cases.push_back({"smallest window", letter(0x08, 0x1D), a, true});
    cases.push_back({"preset dictionary", letter(0x78, 0x20 + 0x1F - (0x7820 % 31)), a, false});
    cases.push_back({"window beyond 32 KB", letter(0x88, 0x1F - (0x8800 % 31)), a, false});
    cases.push_back({"method other than deflate", letter(0x77, 0x1F - (0x7700 % 31)), a, false});
    cases.push_back({"header check", letter(0x78, 0x02), a, false});
    cases.push_back({"block type 3", StreamWriter().Bits(1, 1).Bits(3, 2).Fixed('A').Fixed(256).Finish(a), a, false});
    cases.push_back({"empty block before the final one",
                     StreamWriter().Bits(0, 1).Bits(1, 2).Fixed(256).Bits(1, 1).Bits(1, 2).Fixed('A').Fixed(256).Finish(a),
                     a, true});
    // Dynamic blocks whose distance code is one 1-bit code, an incomplete
    // code that zlib accepts. The literal/length code gives 2 bits to 'A',
    // 256 and 257, and to 'B' as well unless `withB` is false, which leaves
    // it incomplete with three codes: that zlib refuses. The code-length
    // code gives 2 bits to lengths 0, 1, 2 and to 18 (runs of zeros).
    const auto dynamic = [&](bool withB) {
        StreamWriter w;
        w.Bits(1, 1).Bits(2, 2).Bits(258 - 257, 5).Bits(1 - 1, 5).Bits(18 - 4, 4);
        const unsigned order[] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1};
        for (unsigned symbol : order) w.Bits(symbol == 18 || symbol <= 2 ? 2 : 0, 3);
        // Canonical code-length codes: 0 -> 00, 1 -> 01, 2 -> 10, 18 -> 11.
        const auto zeros = [&](unsigned n) { w.Code(3, 2).Bits(n - 11, 7); };
        zeros(65);                                   // symbols 0..64
        w.Code(2, 2).Code(withB ? 2 : 0, 2);         // 'A', 'B'
        zeros(138);                                  // 67..204
        zeros(51);                                   // 205..255
        w.Code(2, 2).Code(2, 2).Code(1, 2);          // 256 and 257: 2 bits; distance 0: 1 bit
        // 'A', then 257 (three bytes) from distance 0 (one back), then 256.
        const uint32_t a = 0, end = withB ? 2 : 1, three = withB ? 3 : 2;
        w.Code(a, 2).Code(three, 2).Code(0, 1).Code(end, 2);
        return w.Finish(aaaa);
    };
    cases.push_back({"one-bit distance code alone", dynamic(true), aaaa, true});
    cases.push_back({"incomplete literal/length code", dynamic(false), aaaa, false});
    for (const Case& c : cases) {
        const Verdict ours = Ours(c.stream.data(), c.stream.size(), c.content.size());
        const Verdict zlib = Zlib(c.stream.data(), c.stream.size(), c.content.size());
        EXPECT_EQ(zlib.result == InflateResult::Ok, c.good) << c.name << " (zlib)";
        EXPECT_EQ(ours.result, zlib.result) << c.name;
        if (c.good && ours.result == InflateResult::Ok) {
            EXPECT_EQ(ours.output, c.content) << c.name;
        }
    }
}

} // namespace
