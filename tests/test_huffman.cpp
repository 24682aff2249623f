// The Huffman coder: exact streams, the shared tree, the decode table, round
// trips against the reference paths, and damaged streams.
#include "huffman/huffman.h"
#include "huffman/huffman_internal.h"
#include "huffman/huffman_reference.h"
#include "platform/memory.h"
#include "support/huffman_inputs.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace {

using namespace huffman_inputs;

constexpr std::size_t GuardBytes = 64;
constexpr uint8_t GuardValue = 0xA5;

// Encodes with room for the largest stream and checks that nothing past the
// stream's end changes, the room left over included.
Bytes Encode(const Bytes& input, const EncodeOptions& options = DefaultEncodeOptions())
{
    const std::size_t capacity = input.size() + HuffmanMaxOverhead;
    Bytes stream(capacity + GuardBytes, GuardValue);
    std::size_t written = 0;
    EXPECT_EQ(HuffmanEncodeWith(options, input.data(), static_cast<uint32_t>(input.size()), stream.data(), capacity,
                                &written),
              HuffmanResult::Ok);
    EXPECT_TRUE(std::all_of(stream.begin() + static_cast<std::ptrdiff_t>(written), stream.end(),
                            [](uint8_t b) { return b == GuardValue; }));
    stream.resize(written);
    return stream;
}

Bytes EncodeReference(const Bytes& input)
{
    Bytes stream(input.size() + HuffmanMaxOverhead);
    std::size_t written = 0;
    EXPECT_EQ(HuffmanEncodeReference(input.data(), static_cast<uint32_t>(input.size()), stream.data(),
                                     stream.size(), &written),
              HuffmanResult::Ok);
    stream.resize(written);
    return stream;
}

struct Decoded {
    HuffmanResult result;
    HuffmanDecodeInfo info;
    Bytes output; // destinationSize bytes
    bool guardIntact;
};

// Decodes from a heap copy of exactly `sourceSize` bytes (over-reads trip the
// address sanitiser) into `destinationSize` bytes followed by a guard.
Decoded Decode(const Bytes& stream, std::size_t sourceSize, std::size_t destinationSize, bool reference = false)
{
    Bytes source(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(sourceSize));
    Bytes destination(destinationSize + GuardBytes, GuardValue);
    Decoded d{};
    d.result = (reference ? HuffmanDecodeReference : HuffmanDecode)(destination.data(), destinationSize,
                                                                      source.data(), source.size(), &d.info);
    d.guardIntact = std::all_of(destination.begin() + static_cast<std::ptrdiff_t>(destinationSize),
                                destination.end(), [](uint8_t b) { return b == GuardValue; });
    destination.resize(destinationSize);
    d.output = std::move(destination);
    return d;
}

// The fast and the reference decoder must agree on everything they report.
void ExpectSameDecode(const Bytes& stream, std::size_t sourceSize, std::size_t destinationSize)
{
    Decoded fast = Decode(stream, sourceSize, destinationSize);
    Decoded slow = Decode(stream, sourceSize, destinationSize, true);
    ASSERT_TRUE(fast.guardIntact);
    ASSERT_EQ(fast.result, slow.result);
    if (fast.result != HuffmanResult::Ok) return;
    ASSERT_EQ(fast.info.length, slow.info.length);
    ASSERT_EQ(fast.info.bytesRead, slow.info.bytesRead);
    ASSERT_EQ(fast.info.paddingIsZero, slow.info.paddingIsZero);
    ASSERT_TRUE(std::equal(fast.output.begin(), fast.output.begin() + fast.info.length, slow.output.begin()));
}

void ExpectRoundTrip(const Bytes& input, const EncodeOptions& options = DefaultEncodeOptions())
{
    Bytes stream = Encode(input, options);
    ASSERT_EQ(stream, EncodeReference(input));
    ASSERT_EQ(stream.size(), HuffmanEncodedSize(input.data(), static_cast<uint32_t>(input.size())));
    Decoded d = Decode(stream, stream.size(), input.size());
    ASSERT_EQ(d.result, HuffmanResult::Ok);
    ASSERT_TRUE(d.guardIntact);
    ASSERT_EQ(d.info.length, input.size());
    ASSERT_EQ(d.info.bytesRead, stream.size());
    ASSERT_TRUE(d.info.paddingIsZero);
    ASSERT_EQ(d.output, input);
    Decoded r = Decode(stream, stream.size(), input.size(), true);
    ASSERT_EQ(r.result, HuffmanResult::Ok);
    ASSERT_EQ(r.output, input);
}

Bytes WithCounts(std::initializer_list<std::pair<uint8_t, std::size_t>> counts)
{
    Bytes bytes;
    for (auto [value, count] : counts) bytes.insert(bytes.end(), count, value);
    return bytes;
}

// The scaled or counted weight of every value, as the encoder writes it.
std::vector<int32_t> Weights(const Bytes& input)
{
    HuffmanCoder coder;
    EXPECT_EQ(CountSymbols(coder, input.data(), static_cast<uint32_t>(input.size())), HuffmanResult::Ok);
    EXPECT_EQ(BuildLeaves(coder), HuffmanResult::Ok);
    return std::vector<int32_t>(coder.histogram, coder.histogram + HuffmanAlphabetSize);
}

std::vector<HuffmanCode> Codes(const Bytes& input)
{
    HuffmanCoder coder;
    EXPECT_EQ(CountSymbols(coder, input.data(), static_cast<uint32_t>(input.size())), HuffmanResult::Ok);
    EXPECT_EQ(BuildLeaves(coder), HuffmanResult::Ok);
    BuildTree(coder);
    EXPECT_EQ(AssignCodes(coder), HuffmanResult::Ok);
    return std::vector<HuffmanCode>(coder.codes, coder.codes + HuffmanAlphabetSize);
}

// Bits [first, first + count) of a stream, most significant first.
uint32_t StreamField(const Bytes& stream, std::size_t first, int count)
{
    uint32_t v = 0;
    for (int i = 0; i < count; ++i) {
        std::size_t bit = first + static_cast<std::size_t>(i);
        v = (v << 1) | ((stream[bit / 8] >> (7 - bit % 8)) & 1);
    }
    return v;
}

} // namespace

// ---------------------------------------------------------------------------
// Exact streams

TEST(HuffmanStream, SmallInputsGiveTheExactBytes)
{
    EXPECT_EQ(Encode({0x61, 0x62, 0x63}), (Bytes{0x03, 0x00, 0x00, 0x61, 0x02, 0x11, 0x1B, 0x00}));
    EXPECT_EQ(Encode(Bytes(5, 0)), (Bytes{0x05, 0x00, 0x00, 0x00, 0x00, 0x50}));
    EXPECT_EQ(Encode(Bytes(5000, 7)), (Bytes{0x88, 0x13, 0x00, 0x07, 0x00, 0xFF, 0xF8}));
    EXPECT_EQ(Encode({}), (Bytes{0x00, 0x00, 0x00, 0x00, 0xFF}));
    EXPECT_EQ(HuffmanEncodedSize(nullptr, 0), 5u);
}

TEST(HuffmanStream, WeightEntriesTakeThreeOrTwelveBits)
{
    // Value 0 seven times, value 1 eight times.
    Bytes stream = Encode(WithCounts({{0, 7}, {1, 8}}));
    EXPECT_EQ(StreamField(stream, 40, 4), 0x7u);      // flag 0, weight 7
    EXPECT_EQ(StreamField(stream, 44, 13), 0x1008u);  // flag 1, weight 8
    EXPECT_EQ(stream.size(), 5u + (4 + 13 + 15 + 7) / 8);

    // Unused values between used ones cost 4 bits each, none above the last.
    Bytes gaps = WithCounts({{10, 1}, {13, 2}});
    Bytes gapStream = Encode(gaps);
    EXPECT_EQ(gapStream[3], 10);
    EXPECT_EQ(gapStream[4], 1);
    EXPECT_EQ(StreamField(gapStream, 40, 16), 0x1002u);
    EXPECT_EQ(gapStream.size(), 5u + (16 + 3 + 7) / 8);
}

TEST(HuffmanStream, EqualCountsGiveEightBitCodesEqualToTheValue)
{
    Bytes input;
    for (int round = 0; round < 9; ++round)
        for (int v = 255; v >= 0; --v) input.push_back(static_cast<uint8_t>(v));
    std::vector<HuffmanCode> codes = Codes(input);
    for (int v = 0; v < 256; ++v) {
        EXPECT_EQ(codes[v].code, v);
        EXPECT_EQ(codes[v].length, 8);
    }
    Bytes stream = Encode(input);
    ASSERT_EQ(stream.size(), input.size() + HuffmanMaxOverhead);
    EXPECT_EQ(stream[4], 0xFF);
    // 256 weight entries of 13 bits end on a byte boundary; the codes follow as the input itself.
    EXPECT_TRUE(std::equal(input.begin(), input.end(), stream.begin() + HuffmanMaxOverhead));
}

// ---------------------------------------------------------------------------
// Weights and tree

TEST(HuffmanWeights, ScalingRoundsInSinglePrecision)
{
    EXPECT_EQ(ScaleWeight(10000, 10000), 4095);
    EXPECT_EQ(ScaleWeight(5000, 10000), 2047);
    EXPECT_EQ(ScaleWeight(3, 10000), 1);
    EXPECT_EQ(ScaleWeight(1, 10000), 1);
    EXPECT_EQ(ScaleWeight(58984, 65536), 3686);
    EXPECT_EQ(ScaleWeight(29221, 100000), 1197);
    EXPECT_EQ(ScaleWeight(188416, 307200), 2511);
    EXPECT_EQ(ScaleWeight(1, 1 << 24), 1);
}

TEST(HuffmanWeights, LeavesScaleOnlyAboveTheLimit)
{
    std::vector<int32_t> scaled = Weights(WithCounts({{3, 10000}, {5, 5000}, {6, 3}, {9, 1}}));
    EXPECT_EQ(scaled[3], 4095);
    EXPECT_EQ(scaled[5], 2047);
    EXPECT_EQ(scaled[6], 1);
    EXPECT_EQ(scaled[9], 1);
    EXPECT_EQ(scaled[4], 0);

    EXPECT_EQ(Weights(WithCounts({{0, 65536}, {1, 58984}}))[1], 3686);
    EXPECT_EQ(Weights(WithCounts({{0, 307200}, {1, 188416}}))[1], 2511);

    std::vector<int32_t> atLimit = Weights(WithCounts({{0, 4095}, {1, 2048}}));
    EXPECT_EQ(atLimit[0], 4095);
    EXPECT_EQ(atLimit[1], 2048);
    std::vector<int32_t> aboveLimit = Weights(WithCounts({{0, 4096}, {1, 2048}}));
    EXPECT_EQ(aboveLimit[0], 4095);
    EXPECT_EQ(aboveLimit[1], 2047);

    // The stream carries the scaled weights.
    Bytes stream = Encode(WithCounts({{0, 4096}, {1, 2048}}));
    EXPECT_EQ(StreamField(stream, 40, 13), 0x1000u | 4095);
    EXPECT_EQ(StreamField(stream, 53, 13), 0x1000u | 2047);
}

TEST(HuffmanTree, TiesGoToTheLowerIndexAndTheFirstPickIsTheZeroBranch)
{
    std::vector<HuffmanCode> codes = Codes({0x61, 0x62, 0x63});
    EXPECT_EQ(codes[0x63].code, 0);
    EXPECT_EQ(codes[0x63].length, 1);
    EXPECT_EQ(codes[0x61].code, 2);
    EXPECT_EQ(codes[0x61].length, 2);
    EXPECT_EQ(codes[0x62].code, 3);
    EXPECT_EQ(codes[0x62].length, 2);

    // Leaves 2 and 3 (weight 2) are merged before the node of leaves 0 and 1
    // (also weight 2, but made later); otherwise value 3 would get a 1-bit code.
    codes = Codes(WithCounts({{0, 1}, {1, 1}, {2, 2}, {3, 2}}));
    for (int v = 0; v < 4; ++v) {
        EXPECT_EQ(codes[v].code, v);
        EXPECT_EQ(codes[v].length, 2);
    }
}

int LongestCode(const Bytes& input)
{
    int longest = 0;
    for (const HuffmanCode& c : Codes(input)) longest = std::max(longest, c.length);
    return longest;
}

TEST(HuffmanTree, CodesReachTwentyFourBitsAndDecodeThroughContinueNodes)
{
    Bytes input = LongestCodeInput();
    ASSERT_EQ(input.size(), 525318u);
    std::vector<HuffmanCode> codes = Codes(input);
    EXPECT_EQ(codes[0].length, HuffmanMaxCodeLength);
    EXPECT_EQ(codes[1].length, HuffmanMaxCodeLength);
    for (const HuffmanCode& c : codes) EXPECT_LE(c.length, HuffmanMaxCodeLength);

    std::shuffle(input.begin(), input.end(), std::mt19937(5));
    ExpectRoundTrip(input);
}

// ---------------------------------------------------------------------------
// Decode table

TEST(HuffmanDecodeTable, EntriesHoldEveryCodeThatEndsWithinTwelveBits)
{
    const Bytes abc{0x61, 0x62, 0x63};
    HuffmanCoder coder;
    ASSERT_EQ(CountSymbols(coder, abc.data(), 3), HuffmanResult::Ok);
    ASSERT_EQ(BuildLeaves(coder), HuffmanResult::Ok);
    BuildTree(coder);
    ASSERT_EQ(BuildDecodeTable(coder), HuffmanResult::Ok);

    auto symbols = [&](int index) {
        const DecodeEntry& e = coder.decodeTable[index];
        return Bytes(e.symbols, e.symbols + e.symbolCount);
    };
    EXPECT_EQ(coder.decodeTable[0].bitsUsed, 12);
    EXPECT_EQ(symbols(0), Bytes(12, 0x63));
    EXPECT_EQ(coder.decodeTable[0xB00].bitsUsed, 12);
    Bytes expected{0x61, 0x62};
    expected.insert(expected.end(), 8, 0x63);
    EXPECT_EQ(symbols(0xB00), expected);
    EXPECT_EQ(coder.decodeTable[0x001].bitsUsed, 11);
    EXPECT_EQ(symbols(0x001), Bytes(11, 0x63));
    EXPECT_EQ(coder.decodeTable[0xFFF].bitsUsed, 12);
    EXPECT_EQ(symbols(0xFFF), Bytes(6, 0x62));
}

TEST(HuffmanDecodeTable, MatchesATreeWalkPerIndex)
{
    for (const Bytes& input : {RandomBytes(5000, 20), SkewedBytes(20000, 0.5, 21), SkewedBytes(20000, 0.9, 22),
                               SkewedBytes(50000, 0.03, 23), LongestCodeInput(), Bytes{1, 2}}) {
        HuffmanCoder fast, walk;
        for (HuffmanCoder* coder : {&fast, &walk}) {
            ASSERT_EQ(CountSymbols(*coder, input.data(), static_cast<uint32_t>(input.size())), HuffmanResult::Ok);
            ASSERT_EQ(BuildLeaves(*coder), HuffmanResult::Ok);
            BuildTree(*coder);
        }
        ASSERT_EQ(BuildDecodeTable(fast), HuffmanResult::Ok);
        ASSERT_EQ(BuildDecodeTableReference(walk), HuffmanResult::Ok);
        for (int j = 0; j < DecodeTableSize; ++j) {
            const DecodeEntry& a = fast.decodeTable[j];
            const DecodeEntry& b = walk.decodeTable[j];
            SCOPED_TRACE(j);
            ASSERT_EQ(a.bitsUsed, b.bitsUsed);
            ASSERT_EQ(DecodeTableBitsUsed(fast.decodeTable)[j], b.bitsUsed);
            ASSERT_EQ(a.symbolCount, b.symbolCount);
            const int compared = a.bitsUsed == 0 ? 2 : a.symbolCount; // continueNode or the symbols
            ASSERT_TRUE(std::equal(a.symbols, a.symbols + compared, b.symbols));
        }
    }
}

// ---------------------------------------------------------------------------
// Decoding

TEST(HuffmanDecode, SmallStreamsGiveTheirBytes)
{
    Decoded abc = Decode({0x03, 0x00, 0x00, 0x61, 0x02, 0x11, 0x1B, 0x00}, 8, 3);
    EXPECT_EQ(abc.result, HuffmanResult::Ok);
    EXPECT_EQ(abc.output, (Bytes{0x61, 0x62, 0x63}));
    EXPECT_EQ(abc.info.bytesRead, 8u);
    EXPECT_TRUE(abc.info.paddingIsZero);

    Decoded zeros = Decode({0x05, 0x00, 0x00, 0x00, 0x00, 0x50}, 6, 5);
    EXPECT_EQ(zeros.result, HuffmanResult::Ok);
    EXPECT_EQ(zeros.output, Bytes(5, 0));
    EXPECT_EQ(zeros.info.bytesRead, 6u);

    Decoded sevens = Decode({0x88, 0x13, 0x00, 0x07, 0x00, 0xFF, 0xF8}, 7, 6000);
    EXPECT_EQ(sevens.result, HuffmanResult::Ok);
    EXPECT_EQ(sevens.info.length, 5000u);
    EXPECT_EQ(Bytes(sevens.output.begin(), sevens.output.begin() + 5000), Bytes(5000, 7));
    EXPECT_EQ(sevens.output[5000], GuardValue); // beyond the length nothing is written
    EXPECT_TRUE(sevens.guardIntact);

    Decoded empty = Decode({0x00, 0x00, 0x00, 0x00, 0xFF}, 5, 0);
    EXPECT_EQ(empty.result, HuffmanResult::Ok);
    EXPECT_EQ(empty.info.length, 0u);
    EXPECT_EQ(empty.info.bytesRead, 5u);
}

TEST(HuffmanDecode, ReportsNonZeroPadding)
{
    const Bytes stream{0x03, 0x00, 0x00, 0x61, 0x02, 0x11, 0x1B, 0x01};
    for (bool reference : {false, true}) {
        Decoded d = Decode(stream, stream.size(), 3, reference);
        EXPECT_EQ(d.result, HuffmanResult::Ok);
        EXPECT_EQ(d.output, (Bytes{0x61, 0x62, 0x63}));
        EXPECT_EQ(d.info.bytesRead, 8u);
        EXPECT_FALSE(d.info.paddingIsZero);
    }
}

TEST(HuffmanDecode, BytesAfterTheStreamAreNotConsumed)
{
    Bytes input = SkewedBytes(1000, 0.3, 11);
    Bytes stream = Encode(input);
    const std::size_t size = stream.size();
    stream.insert(stream.end(), 20, 0xFF);
    Decoded d = Decode(stream, stream.size(), input.size());
    EXPECT_EQ(d.result, HuffmanResult::Ok);
    EXPECT_EQ(d.info.bytesRead, size);
    EXPECT_EQ(d.output, input);
}

// ---------------------------------------------------------------------------
// Round trips, fast paths held against the reference paths

// Every length: the switch to two writers, each way the input splits (the
// second half is up to 3 bytes longer) and each bit offset at which the second
// half's codes begin.
TEST(HuffmanRoundTrip, EveryLengthUpTo3000)
{
    for (uint32_t n = 0; n <= 3000; ++n) {
        SCOPED_TRACE(n);
        ExpectRoundTrip(RandomBytes(n, n));
        ExpectRoundTrip(SkewedBytes(n, 0.5, n));
        ExpectRoundTrip(SkewedBytes(n, 0.9, n)); // steep: long codes for the rare values
        Bytes twoValues = RandomBytes(n, n + 1000);
        for (auto& b : twoValues) b = b < 200 ? 0 : 1; // one 1-bit code, one long run of the lookups
        ExpectRoundTrip(twoValues);
        ExpectRoundTrip(Bytes(n, static_cast<uint8_t>(n))); // codes of no bits
    }
}

// Runs `check` with the codes joined one by one and, where the longest code
// allows, by pairs, whatever the input's length.
template <typename Check> void EitherCoding(Check&& check)
{
    for (PairCoding coding : {PairCoding::Never, PairCoding::Always}) {
        SCOPED_TRACE(coding == PairCoding::Always ? "by pairs" : "one by one");
        EncodeOptions options = DefaultEncodeOptions();
        options.pairs = coding;
        check(options);
    }
}

// The encoder joins as many codes between flushes as the longest code allows;
// each longest length from 1 to 24 bits, with the rare values gathered at the
// start of the input and spread through it, coded both ways.
TEST(HuffmanRoundTrip, EveryLongestCodeLength)
{
    std::vector<Bytes> inputs{RandomBytes(5000, 30), LongestCodeInput()};
    for (auto& b : inputs[0]) b &= 1;
    for (int heavy : {1, 64, 126})
        for (int small = 2; small <= 19; ++small) inputs.push_back(FibonacciInput(small, heavy));
    std::vector<bool> seen(HuffmanMaxCodeLength + 1);
    for (Bytes& input : inputs) {
        const int longest = LongestCode(input);
        SCOPED_TRACE(longest);
        seen[longest] = true;
        EitherCoding([&](const EncodeOptions& options) { ExpectRoundTrip(input, options); });
        std::shuffle(input.begin(), input.end(), std::mt19937(longest));
        EitherCoding([&](const EncodeOptions& options) { ExpectRoundTrip(input, options); });
    }
    for (int length = 1; length <= HuffmanMaxCodeLength; ++length) EXPECT_TRUE(seen[length]) << length;
}

TEST(HuffmanRoundTrip, LargeRandomAndSkewedInputs)
{
    ExpectRoundTrip(RandomBytes(1 << 20, 1));
    for (double p : {0.05, 0.3, 0.7, 0.95}) {
        SCOPED_TRACE(p);
        ExpectRoundTrip(SkewedBytes(300000 + static_cast<std::size_t>(p * 1000), p, 2));
    }
    Bytes runs(200000, 9);
    runs[123456] = 10;
    ExpectRoundTrip(runs);
    ExpectRoundTrip(SkewedBytes(5000003, 0.4, 3));
    ExpectRoundTrip(Bytes(3000001, 0x80));
}

TEST(HuffmanRoundTrip, PredictionResidualsOfRealFrames)
{
    Bytes frames = SampleFrames("yuyv422", 2);
    if (frames.empty()) GTEST_SKIP() << "ffmpeg is not available";
    Bytes residuals(frames.size());
    for (std::size_t i = 0; i < frames.size(); ++i)
        residuals[i] = static_cast<uint8_t>(frames[i] - (i >= 4 ? frames[i - 4] : 0));
    ExpectRoundTrip(residuals);
    for (std::ptrdiff_t length : {513, 4099, 65536, 300001})
        ExpectRoundTrip(Bytes(residuals.begin(), residuals.begin() + length));
    Bytes stream = Encode(residuals);
    EXPECT_LT(stream.size(), residuals.size() * 3 / 4);
}

// ---------------------------------------------------------------------------
// Limits and damaged streams

TEST(HuffmanLimits, EncoderChecksCapacityAndLengthBeforeWriting)
{
    Bytes input = SkewedBytes(5000, 0.2, 3);
    const std::size_t size = HuffmanEncodedSize(input.data(), static_cast<uint32_t>(input.size()));
    Bytes destination(size + GuardBytes, GuardValue);
    std::size_t written = 1;
    EXPECT_EQ(HuffmanEncode(input.data(), 5000, destination.data(), size - 1, &written),
              HuffmanResult::OutputTooSmall);
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(std::all_of(destination.begin(), destination.end(), [](uint8_t b) { return b == GuardValue; }));
    EXPECT_EQ(HuffmanEncode(input.data(), 5000, destination.data(), size, &written), HuffmanResult::Ok);
    EXPECT_EQ(written, size);
    EXPECT_TRUE(std::all_of(destination.begin() + static_cast<std::ptrdiff_t>(size), destination.end(),
                            [](uint8_t b) { return b == GuardValue; }));

    // The 24-bit length field cannot describe 2^24 bytes; refused before reading.
    EXPECT_EQ(HuffmanEncode(input.data(), 1u << 24, destination.data(), destination.size(), &written),
              HuffmanResult::BadData);
}

TEST(HuffmanLimits, LengthAboveTheDestinationWritesNothing)
{
    Bytes input = SkewedBytes(400, 0.4, 4);
    Bytes stream = Encode(input);
    for (bool reference : {false, true}) {
        Decoded d = Decode(stream, stream.size(), input.size() - 1, reference);
        EXPECT_EQ(d.result, HuffmanResult::OutputTooSmall);
        EXPECT_EQ(d.info.length, 400u);
        EXPECT_TRUE(std::all_of(d.output.begin(), d.output.end(), [](uint8_t b) { return b == GuardValue; }));
        EXPECT_TRUE(d.guardIntact);
    }
}

TEST(HuffmanLimits, WeightTablePastValue255IsBadData)
{
    // First value 0xFE, six used values, but only 0xFE and 0xFF exist.
    const Bytes stream{0x01, 0x00, 0x00, 0xFE, 0x05, 0x11, 0x11, 0x11, 0x11, 0x00};
    EXPECT_EQ(Decode(stream, stream.size(), 16).result, HuffmanResult::BadData);
    EXPECT_EQ(Decode(stream, stream.size(), 16, true).result, HuffmanResult::BadData);
}

TEST(HuffmanDamage, EveryTruncationIsReported)
{
    for (const Bytes& input : {Bytes{0x61, 0x62, 0x63}, Bytes(5, 0), SkewedBytes(3000, 0.3, 5), RandomBytes(700, 6),
                               LongestCodeInput()}) {
        Bytes stream = Encode(input);
        // Every cut of the small streams; the long one near its two ends.
        for (std::size_t n = 0; n < stream.size(); ++n) {
            if (n > 64 && n + 64 < stream.size()) n = stream.size() - 64;
            SCOPED_TRACE(n);
            Decoded d = Decode(stream, n, input.size());
            ASSERT_EQ(d.result, HuffmanResult::Truncated);
            ASSERT_TRUE(d.guardIntact);
            ASSERT_EQ(Decode(stream, n, input.size(), true).result, HuffmanResult::Truncated);
        }
    }
}

TEST(HuffmanDamage, FlippedBitsNeverOverrunAndMatchTheReference)
{
    std::mt19937 generator(7);
    const Bytes inputs[] = {SkewedBytes(2000, 0.3, 8), SkewedBytes(200, 0.9, 9), RandomBytes(500, 10),
                            SkewedBytes(5000, 0.02, 12)};
    for (const Bytes& input : inputs) {
        const Bytes stream = Encode(input);
        for (int trial = 0; trial < 300; ++trial) {
            Bytes damaged = stream;
            const int flips = 1 + static_cast<int>(generator() % 3);
            for (int f = 0; f < flips; ++f) {
                // Mostly in the header and weight table, where a flip changes the tree.
                std::size_t bit = (trial % 2 ? generator() % (damaged.size() * 8) : generator() % 200) %
                                  (damaged.size() * 8);
                damaged[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
            }
            SCOPED_TRACE(trial);
            ExpectSameDecode(damaged, damaged.size(), input.size() + 37);
        }
    }
}

TEST(HuffmanDamage, AllocationFailuresAreReported)
{
#if !defined(KESTRUN_FAULT_INJECTION)
    GTEST_SKIP() << "needs the fault-injection build";
#else
    const Bytes input = SkewedBytes(3000, 0.3, 13);
    const Bytes stream = Encode(input);
    Bytes output(input.size() + HuffmanMaxOverhead);
    for (int path = 0; path < 2; ++path) {
        for (std::uint64_t n = 1;; ++n) {
            SetAllocationFailure(n);
            std::size_t written = 0;
            HuffmanResult r = path == 0 ? HuffmanEncode(input.data(), 3000, output.data(), output.size(), &written)
                                        : HuffmanDecode(output.data(), output.size(), stream.data(), stream.size(),
                                                        nullptr);
            const bool reached = AllocationCount() >= n;
            SetAllocationFailure(0);
            if (!reached) {
                EXPECT_EQ(r, HuffmanResult::Ok);
                break;
            }
            EXPECT_EQ(r, HuffmanResult::NoMemory) << "path " << path << ", allocation " << n;
        }
    }
#endif
}
