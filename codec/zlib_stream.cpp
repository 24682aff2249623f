#include "zlib_stream.h"

#include <climits>
#include <zlib.h>

#include "platform/memory.h"

namespace {
// zlib's allocations go through the codec's allocator like every other.
voidpf ZlibAllocate(voidpf, uInt items, uInt size)
{
    if (size != 0 && items > SIZE_MAX / size) return Z_NULL;
    return AllocateMemory(std::size_t(items) * size);
}
void ZlibFree(voidpf, voidpf block) { FreeMemory(block); }
} // namespace

ZlibResult DeflateInto(const uint8_t* source, std::size_t size, uint8_t* destination, std::size_t capacity,
                       int level, std::size_t* written)
{
    if (size > UINT_MAX || capacity > UINT_MAX) return ZlibResult::DoesNotFit;
    z_stream stream{};
    stream.zalloc = ZlibAllocate;
    stream.zfree = ZlibFree;
    stream.next_in = const_cast<Bytef*>(source);
    stream.avail_in = uInt(size);
    stream.next_out = destination;
    stream.avail_out = uInt(capacity);
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

ZlibResult InflateExact(const uint8_t* source, std::size_t sourceSize, uint8_t* destination,
                        std::size_t destinationSize, std::size_t* consumed)
{
    if (sourceSize > UINT_MAX || destinationSize > UINT_MAX) return ZlibResult::BadData;
    z_stream stream{};
    stream.zalloc = ZlibAllocate;
    stream.zfree = ZlibFree;
    stream.next_in = const_cast<Bytef*>(source);
    stream.avail_in = uInt(sourceSize);
    stream.next_out = destination;
    stream.avail_out = uInt(destinationSize);
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
