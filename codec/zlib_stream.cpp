#include "zlib_stream.h"

#include <climits>
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

ZlibResult InflateExactZlib(const uint8_t* source, std::size_t sourceSize, uint8_t* destination,
                        std::size_t destinationSize, std::size_t* consumed)
{
    if (sourceSize > UINT_MAX || destinationSize > UINT_MAX) return ZlibResult::BadData;
    z_stream stream = StreamOver(source, sourceSize, destination, destinationSize);
    int status = inflateInit(&stream);
    if (status == Z_MEM_ERROR) return ZlibResult::NoMemory;
    if (status != Z_OK) return ZlibResult::BadData;
    status = inflate(&stream, Z_FINISH);
    const bool exact = status == Z_STREAM_END && stream.total_out == destinationSize;
    *consumed = stream.total_in;
    inflateEnd(&stream);
    if (exact) return ZlibResult::Ok;
    return status == Z_MEM_ERROR ? ZlibResult::NoMemory : ZlibResult::BadData;
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

ZlibResult InflateExact(const uint8_t* source, std::size_t sourceSize, uint8_t* destination,
                        std::size_t destinationSize, std::size_t* consumed)
{
    UseCodecAllocatorForLibdeflate();
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    if (!decompressor) return ZlibResult::NoMemory;
    // With no actual-size pointer the stream must fill the destination
    // exactly; shorter or longer output is an error, as is a bad checksum.
    std::size_t streamLength = 0;
    const libdeflate_result result = libdeflate_zlib_decompress_ex(decompressor, source, sourceSize, destination,
                                                                   destinationSize, &streamLength, nullptr);
    libdeflate_free_decompressor(decompressor);
    if (result != LIBDEFLATE_SUCCESS) return ZlibResult::BadData;
    *consumed = streamLength;
    return ZlibResult::Ok;
}
#else
ZlibResult DeflateArchiveInto(const uint8_t* source, std::size_t size, uint8_t* destination, std::size_t capacity,
                              std::size_t* written)
{
    return DeflateInto(source, size, destination, capacity, 9, written);
}

// Without libdeflate (the Windows builds) the codec's own inflater, about
// twice as fast as zlib's on frames.
ZlibResult InflateExact(const uint8_t* source, std::size_t sourceSize, uint8_t* destination,
                        std::size_t destinationSize, std::size_t* consumed)
{
    return FastInflateExact(source, sourceSize, destination, destinationSize, consumed);
}
#endif
