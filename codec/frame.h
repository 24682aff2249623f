// The compressed frame and the per-frame compress and decompress paths.
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
// stream's format. Every frame is a key frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec_instance.h"
#include "platform/vfw.h"

constexpr uint32_t FrameTagHuffman = 0x48554659; // 'HUFY'
constexpr uint32_t FrameTagDeflate = 0x4C5A5956; // 'LZYV'
constexpr std::size_t FrameHeaderSize = 8;
// dwQuality below this codes with Huffman, from it up with deflate.
constexpr uint32_t DeflateQualityThreshold = 6000;

struct FrameHeader {
    uint32_t tag;
    uint32_t payloadLength;
};

// The size a host must allocate for one compressed frame of width x height:
// a + (a + 999) / 1000 + 12 with a = 2 x width x height, raised where needed
// (below about 7,000 picture bytes) so that the stored deflate form always
// fits. Every frame CompressFrame writes fits in it. 0 for sizes that are not codable.
uint32_t WorstCaseFrameSize(uint32_t width, uint32_t height);

// Reads the frame header; false when fewer than 8 bytes are given.
bool ReadFrameHeader(const uint8_t* frame, std::size_t size, FrameHeader* header);

// How the payload is coded. Quality picks Huffman or deflate; Smallest codes
// both ways and keeps the smaller frame; Archive is a stronger, slower
// deflate encoder whose output is an ordinary zlib stream (an LZYV frame).
enum class FrameCoder { Huffman, Deflate, Smallest, Archive };

// Compresses one frame for the driver. Writes within WorstCaseFrameSize of
// the input's size. Returns ICERR_OK, ICERR_MEMORY (nothing written),
// ICERR_BADFORMAT (unsupported input) or ICERR_BADSIZE (no picture, or a
// picture of another size than the input).
LRESULT CompressFrame(CodecInstance& instance, const ICCOMPRESS& parameters);
// The same with the coder chosen by the caller instead of by dwQuality.
LRESULT CompressFrameWithCoder(CodecInstance& instance, const ICCOMPRESS& parameters, FrameCoder coder);

// Decompresses one frame of `inputSize` bytes (0: unknown, then the payload
// is taken at its word) into `output`, which has the format `outputFormat`.
// ICERR_OK, or ICERR_ERROR for a damaged frame (unknown tag, payload that
// does not decode to exactly the picture), ICERR_BADSIZE when there is no
// picture or it does not match the output format, ICERR_BADFORMAT for an
// output format the codec does not write.
LRESULT DecompressFrame(const uint8_t* input, std::size_t inputSize, CodecInstance& instance,
                        const BITMAPINFOHEADER& outputFormat, void* output);
