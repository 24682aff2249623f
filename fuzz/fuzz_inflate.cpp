// The codec's own inflater on any bytes with any destination size, held
// against zlib's: both must give the same verdict, and for streams both
// accept, the same bytes and the same stream length.
//
// Input: two bytes of destination size (little-endian, 0..65535), then the
// stream. Source and destination end against guard pages.
#include <vector>

#include "codec/fast_inflate.h"
#include "codec/zlib_stream.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    StreamInput input(data, size);
    const std::size_t destinationSize = input.destinationSize;
    const GuardedBuffer& source = input.source;
    std::size_t consumed = 0;
    const InflateResult result =
        FastInflateExact(source.data(), source.size(), input.destination.data(), destinationSize, &consumed);
    FUZZ_CHECK(input.Intact());

    std::vector<uint8_t> reference(destinationSize);
    std::size_t referenceConsumed = 0;
    const InflateResult referenceResult =
        InflateExactZlib(source.data(), source.size(), reference.data(), destinationSize, &referenceConsumed);
    FUZZ_CHECK(result == referenceResult);
    if (result == InflateResult::Ok) {
        FUZZ_CHECK(consumed == referenceConsumed);
        FUZZ_CHECK(std::memcmp(input.destination.data(), reference.data(), destinationSize) == 0);
    }
    return 0;
}
