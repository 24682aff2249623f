#include "zlib_stream.h"

#include <climits>
#include <cstring>
#include <zlib.h>

#include "fast_inflate.h"
#include "platform/memory.h"

#if defined(KESTRUN_HAVE_LIBDEFLATE)
#include <libdeflate.h>
#endif

namespace {
// zlib's allocations go through the codec's allocator like every other.
voidpf ZlibAllocate(voidpf, uInt items, uInt size)
{
    if (size != 0 && items > SIZE_MAX / size) return Z_NULL;
    return AllocateMemory(std::size_t(items) * size);
}
void ZlibFree(voidpf, voidpf block) { FreeMemory(block); }

// A stream over the two buffers, allocating through the codec's allocator.
z_stream StreamOver(const uint8_t* source, std::size_t sourceSize, uint8_t* destination, std::size_t destinationSize)
{
    z_stream stream{};
    stream.zalloc = ZlibAllocate;
    stream.zfree = ZlibFree;
    stream.next_in = const_cast<Bytef*>(source);
    stream.avail_in = uInt(sourceSize);
    stream.next_out = destination;
    stream.avail_out = uInt(destinationSize);
    return stream;
}
} // namespace

ZlibResult DeflateInto(const uint8_t* source, std::size_t size, uint8_t* destination, std::size_t capacity,
                       int level, std::size_t* written)
{
    if (size > UINT_MAX || capacity > UINT_MAX) return ZlibResult::DoesNotFit;
    z_stream stream = StreamOver(source, size, destination, capacity);
    int status = deflateInit2(&stream, level, Z_DEFLATED, 15, 9, Z_FILTERED);
    if (status == Z_MEM_ERROR) return ZlibResult::NoMemory;
    if (status != Z_OK) return ZlibResult::BadData;
    // One call: with room for the whole stream it ends with Z_STREAM_END;
    // anything else means the stream did not fit and is incomplete.
    status = deflate(&stream, Z_FINISH);
    *written = stream.total_out;
    deflateEnd(&stream);
    if (status == Z_STREAM_END) return ZlibResult::Ok;
    return status == Z_MEM_ERROR ? ZlibResult::NoMemory : ZlibResult::DoesNotFit;
}

InflateResult InflateExactZlib(const uint8_t* source, std::size_t sourceSize, uint8_t* destination,
                               std::size_t destinationSize, std::size_t* consumed)
{
    if (sourceSize > UINT_MAX || destinationSize > UINT_MAX) return InflateResult::BadData;
    // zlib refuses a null output even of no bytes; an empty one may be null.
    uint8_t none = 0;
    z_stream stream = StreamOver(source, sourceSize, destination ? destination : &none, destinationSize);
    int status = inflateInit(&stream);
    if (status == Z_MEM_ERROR) return InflateResult::NoMemory;
    if (status != Z_OK) return InflateResult::BadData;
    status = inflate(&stream, Z_FINISH);
    *consumed = stream.total_in;
    InflateResult result = InflateResult::BadData;
    if (status == Z_STREAM_END) {
        result = stream.total_out == destinationSize ? InflateResult::Ok : InflateResult::ShortOutput;
    } else if (status == Z_BUF_ERROR) {
        // With Z_FINISH one side ran out before the end. When both did, one
        // more byte of room tells which the stream wanted.
        bool wantsOutput = stream.avail_out == 0;
        if (wantsOutput && stream.avail_in == 0) {
            uint8_t probe = 0;
            stream.next_out = &probe;
            stream.avail_out = 1;
            // A stream that goes on to output (or to a bad match, which
            // zlib finds only where it has room to copy) wanted more room.
            const int more = inflate(&stream, Z_FINISH);
            wantsOutput = more != Z_BUF_ERROR || stream.avail_out == 0;
        }
        result = wantsOutput ? InflateResult::LongOutput : InflateResult::CutShort;
    }
    if (status == Z_MEM_ERROR) result = InflateResult::NoMemory;
    if (status == Z_DATA_ERROR)
        result = stream.msg && std::strcmp(stream.msg, "incorrect data check") == 0 ? InflateResult::BadCheckValue
                                                                                   : InflateResult::BadData;
    inflateEnd(&stream);
    return result;
}

#if defined(KESTRUN_HAVE_LIBDEFLATE)
namespace {
// libdeflate allocates through the codec's allocator as well; set once.
void UseCodecAllocatorForLibdeflate()
{
    static const bool done = (libdeflate_set_memory_allocator(AllocateMemory, FreeMemory), true);
    (void)done;
}

// Measured on camera footage against the frame coder's zlib settings
// (level 5, filtered): level 10 is 13 % smaller at a twelfth of the speed;
// level 12 is 17 % smaller but three times slower again; level 9 and below
// gain little on noisy footage, where the filtered strategy helps zlib.
constexpr int ArchiveLevel = 10;
} // namespace

ZlibResult DeflateArchiveInto(const uint8_t* source, std::size_t size, uint8_t* destination, std::size_t capacity,
                              std::size_t* written)
{
    UseCodecAllocatorForLibdeflate();
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(ArchiveLevel);
    if (!compressor) return ZlibResult::NoMemory;
    // 0 means the stream did not fit; nothing beyond `capacity` is written.
    *written = libdeflate_zlib_compress(compressor, source, size, destination, capacity);
    libdeflate_free_compressor(compressor);
    return *written != 0 ? ZlibResult::Ok : ZlibResult::DoesNotFit;
}

namespace {
// libdeflate says only that a stream is bad, or ends early, or runs long,
// and a stream cut short may look like any of these (it reads zeros past
// the end). Why, is asked of the codec's own decoder, on this rare path only.
InflateResult LibdeflateInflateExact(const uint8_t* source, std::size_t sourceSize, uint8_t* destination,
                                     std::size_t destinationSize, std::size_t* consumed)
{
    UseCodecAllocatorForLibdeflate();
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    if (!decompressor) return InflateResult::NoMemory;
    // With no actual-size pointer the stream must fill the destination
    // exactly; shorter or longer output is an error, as is a bad checksum.
    std::size_t streamLength = 0;
    const libdeflate_result result = libdeflate_zlib_decompress_ex(decompressor, source, sourceSize, destination,
                                                                   destinationSize, &streamLength, nullptr);
    libdeflate_free_decompressor(decompressor);
    if (result == LIBDEFLATE_SUCCESS) {
        *consumed = streamLength;
        return InflateResult::Ok;
    }
    std::size_t ignored = 0;
    const InflateResult why = FastInflateExact(source, sourceSize, destination, destinationSize, &ignored);
    if (why != InflateResult::Ok) return why;
    return result == LIBDEFLATE_SHORT_OUTPUT         ? InflateResult::ShortOutput
           : result == LIBDEFLATE_INSUFFICIENT_SPACE ? InflateResult::LongOutput
                                                     : InflateResult::BadData;
}
} // namespace
#else
ZlibResult DeflateArchiveInto(const uint8_t* source, std::size_t size, uint8_t* destination, std::size_t capacity,
                              std::size_t* written)
{
    return DeflateInto(source, size, destination, capacity, 9, written);
}

#endif

namespace {
// Without libdeflate (the Windows builds) the codec's own inflater, about
// twice as fast as zlib's on frames.
constexpr Kernel<InflateKernel> inflateKernels[] = {
    {"own", 0, FastInflateExact},
#if defined(KESTRUN_HAVE_LIBDEFLATE)
    {"libdeflate", 0, LibdeflateInflateExact},
#endif
};
const InflateKernel chosenInflate = ChooseKernel<InflateKernel>(inflateKernels).function;
} // namespace

std::span<const Kernel<InflateKernel>> InflateKernels() { return inflateKernels; }

InflateResult InflateExact(const uint8_t* source, std::size_t sourceSize, uint8_t* destination,
                           std::size_t destinationSize, std::size_t* consumed)
{
    return chosenInflate(source, sourceSize, destination, destinationSize, consumed);
}
