// The codec's core: raw pictures of one size to compressed frames and back,
// in the codec's own terms. The Video for Windows driver, the command-line
// tool, the fuzzers and the bench all stand on this.
//
// A compressed frame, all integers little-endian:
//
//   offset 0  tag            'HUFY' (0x48554659, bytes "YFUH") or 'LZYV' (0x4C5A5956, bytes "VYZL")
//   offset 4  payloadLength  bytes of payload after this 8-byte header
//   offset 8  payload        the picture buffer after the median transform,
//                            2 x width x height bytes: a Huffman stream (HUFY)
//                            or a zlib stream (LZYV)
//
// Width and height are not in the frame: both sides take them from the
// stream's format. Every frame is a key frame and stands alone.
//
// Use: size a working picture to the frames (ResizePlanarPicture), then call
// CompressFrame or DecompressFrame once per frame with it; one picture per
// thread. Raw pictures have rows of exactly width x bytes per pixel, never
// rounded up. Every size is passed explicitly, and nothing is read or
// written outside the sizes given, whatever a frame says.
#pragma once

#include <cstddef>
#include <cstdint>

#include "picture/planar_picture.h"

// Four characters as a little-endian 32-bit code, the first in the lowest
// byte (the platform's mmioFOURCC).
constexpr uint32_t FourCharacterCode(char a, char b, char c, char d)
{
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 | uint32_t(uint8_t(d)) << 24;
}
constexpr uint32_t FourccKSHA = FourCharacterCode('K', 'S', 'H', 'A'); // the codec's own streams
constexpr uint32_t FourccYUY2 = FourCharacterCode('Y', 'U', 'Y', '2');
constexpr uint32_t FourccUYVY = FourCharacterCode('U', 'Y', 'V', 'Y');
// The frame tags: their bytes lie in the file in reverse order of their names.
constexpr uint32_t FrameTagHuffman = 0x48554659; // 'HUFY'
constexpr uint32_t FrameTagDeflate = 0x4C5A5956; // 'LZYV'
constexpr std::size_t FrameHeaderSize = 8;

struct FrameHeader {
    uint32_t tag;
    uint32_t payloadLength;
};
// Reads the frame header; false when fewer than 8 bytes are given.
bool ReadFrameHeader(const uint8_t* frame, std::size_t size, FrameHeader* header);

// How a raw picture lies in memory. Packed 4:2:2 is two bytes a pixel
// (YUY2: Y0 U Y1 V; UYVY: U Y0 V Y1) and needs an even width; RGB is blue,
// green, red (and a fourth byte that decoding never writes) per pixel.
enum class PixelLayout : uint8_t { Yuy2, Uyvy, Rgb24, Rgb32 };
// Which row of the image comes first in memory.
enum class RowOrder : uint8_t { TopDown, BottomUp };

struct FrameFormat {
    uint32_t width;
    uint32_t height;
    PixelLayout layout;
    RowOrder rowOrder;
};

constexpr bool IsPacked(PixelLayout layout) { return layout == PixelLayout::Yuy2 || layout == PixelLayout::Uyvy; }
constexpr uint32_t BytesPerPixel(PixelLayout layout)
{
    return IsPacked(layout) ? 2 : layout == PixelLayout::Rgb24 ? 3 : 4;
}
// Bytes of one raw picture in this format.
inline std::size_t RawPictureBytes(const FrameFormat& format)
{
    return std::size_t(format.width) * format.height * BytesPerPixel(format.layout);
}
// True when the codec takes pictures in this format: a codable size, an even
// width for packed 4:2:2, and no RGB32 input (compressing).
bool IsCompressibleFormat(const FrameFormat& format);
bool IsDecompressibleFormat(const FrameFormat& format);

// How the payload is coded. Huffman and Deflate fall back on each other when
// their stream would not fit; Smallest codes both ways and keeps the smaller
// frame; Archive is a stronger, slower deflate encoder whose output is an
// ordinary zlib stream (an LZYV frame).
enum class FrameCoder { Huffman, Deflate, Smallest, Archive };
// A host's quality value picks the coder: below 6000 Huffman, from 6000 up
// deflate (so the default, all bits set, is deflate).
constexpr uint32_t DeflateQualityThreshold = 6000;
constexpr FrameCoder CoderForQuality(uint32_t quality)
{
    return quality < DeflateQualityThreshold ? FrameCoder::Huffman : FrameCoder::Deflate;
}

// The size of the largest frame CompressFrame writes for a picture of
// width x height: a + (a + 999) / 1000 + 12 with a = 2 x width x height,
// raised where needed (below about 7,000 picture bytes) so that the stored
// deflate form always fits. 0 for sizes that are not codable.
uint32_t WorstCaseFrameSize(uint32_t width, uint32_t height);

// The largest frame the format can describe for a width x height picture,
// for readers of stored frames, which may come from other encoders: a
// Huffman stream of 24-bit codes for every byte behind the largest weight
// table (5 + 416 + 3 x 2wh bytes), or a zlib stream, which spends at most 15
// bits a byte (a literal of the longest code) and some block headers, taken
// as 2 bytes a byte and 1 KB more (a stream could pad itself with empty
// blocks without end; no encoder does). 0 for sizes that are not codable.
uint64_t LargestFrameSize(uint32_t width, uint32_t height);

enum class CodecResult : uint8_t {
    Ok,
    // The frame is damaged:
    UnknownTag,         // the tag is neither HUFY nor LZYV
    CutShort,           // the frame ends before its header, its payload or its stream does
    ShorterThanPicture, // the stream holds fewer bytes than the picture, or is too short to hold it
    LongerThanPicture,  // the stream holds more bytes than the picture, or the frame is longer than any can be
    TrailingBytes,      // bytes follow the end of the stream
    NonZeroPadding,     // the bits after the last Huffman code are not zero
    BadCheckValue,      // the zlib stream's Adler-32 is not the picture's
    BadStream,          // the stream contradicts itself (weight table, deflate codes)
    // Nothing to do with the frame:
    OutOfMemory,        // nothing was written
    UnsupportedFormat,  // a layout or picture size the codec does not take
    NoPicture,          // no working picture, or one of another size
    BufferTooSmall,     // a buffer smaller than the format or the frame needs
};
constexpr bool IsDamage(CodecResult result)
{
    return result >= CodecResult::UnknownTag && result <= CodecResult::BadStream;
}

// Compresses one raw picture of `sourceSize` bytes in `input` into `frame`,
// which has room for `capacity` bytes (WorstCaseFrameSize always suffices),
// through `picture`, which must be sized to the input. `*frameSize` gets the
// frame's length. Nothing is written to `frame` unless the result is Ok.
CodecResult CompressFrame(PlanarPicture& picture, const FrameFormat& input, const uint8_t* source,
                          std::size_t sourceSize, FrameCoder coder, uint8_t* frame, std::size_t capacity,
                          std::size_t* frameSize);

// What a decode learned of a frame besides its result, for saying where it
// went wrong. Fields the decode did not reach stay 0.
struct FrameReport {
    uint32_t tag;           // the frame's tag
    uint32_t payloadLength; // as the header says
    uint64_t streamLength;  // HUFY: the stream's length field
    std::size_t streamEnd;  // payload bytes the stream takes, when it ends before the payload does
};

// Decompresses one frame of `frameSize` bytes into `destination`
// (`destinationSize` bytes, at least RawPictureBytes(output)) through
// `picture`, which must be sized to the output. The payload is read no
// further than the frame's end, whatever its length field says, and a frame
// whose stream fills exactly what is there decodes. On a failure the
// destination is untouched; the picture's content is then undefined.
CodecResult DecompressFrame(PlanarPicture& picture, const uint8_t* frame, std::size_t frameSize,
                            const FrameFormat& output, uint8_t* destination, std::size_t destinationSize,
                            FrameReport* report = nullptr);

// The strict look at a frame of exactly `size` bytes that a reader of stored
// files wants before decoding it, from its header alone: the frame must hold
// its header and exactly its payload, have a known tag, and be neither too
// short to hold a width x height picture nor longer than LargestFrameSize. Ok, CutShort, UnknownTag, TrailingBytes, ShorterThanPicture or
// LongerThanPicture; `*header` is filled when there is one.
CodecResult InspectFrame(const uint8_t* frame, std::size_t size, uint32_t width, uint32_t height,
                         FrameHeader* header);
