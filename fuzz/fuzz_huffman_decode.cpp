// HuffmanDecode on any bytes with any destination size.
//
// Input: two bytes of destination size (little-endian, 0..65535), then the
// stream. Source and destination end against guard pages. The fast decoder
// is held against the reference decoder, which walks the tree bit by bit:
// both must accept the same streams and decode them to the same bytes.
#include <vector>

#include "fuzz_support.h"
#include "tests/support/guarded_buffer.h"
#include "huffman/huffman_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    StreamInput input(data, size);
    const std::size_t destinationSize = input.destinationSize;
    const GuardedBuffer& source = input.source;
    GuardedBuffer& destination = input.destination;

    HuffmanDecodeInfo info;
    const HuffmanResult result =
        HuffmanDecode(destination.data(), destinationSize, source.data(), source.size(), &info);
    FUZZ_CHECK(input.Intact());
    if (result == HuffmanResult::Ok) {
        FUZZ_CHECK(info.length <= destinationSize);
        FUZZ_CHECK(info.bytesRead <= source.size());
    }

    GuardedBuffer reference(destinationSize);
    HuffmanDecodeInfo referenceInfo;
    const HuffmanResult referenceResult =
        HuffmanDecodeReference(reference.data(), destinationSize, source.data(), source.size(), &referenceInfo);
    FUZZ_CHECK(reference.Intact());
    FUZZ_CHECK((result == HuffmanResult::Ok) == (referenceResult == HuffmanResult::Ok));
    if (result == HuffmanResult::Ok) {
        FUZZ_CHECK(info.length == referenceInfo.length);
        FUZZ_CHECK(info.bytesRead == referenceInfo.bytesRead);
        FUZZ_CHECK(info.paddingIsZero == referenceInfo.paddingIsZero);
        FUZZ_CHECK(std::memcmp(destination.data(), reference.data(), info.length) == 0);
    }
    return 0;
}
