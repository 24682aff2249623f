// Format negotiation and the per-instance picture: the handlers behind the
// query, proposal, size, BEGIN, END and frame messages.
//
// Every pointer here comes from the host and may be null; a null record
// where one is needed answers ICERR_BADPARAM rather than crashing.
#pragma once

#include "codec_instance.h"
#include "platform/vfw.h"

// Length of the format buffer that a GET_FORMAT with a null output asks for.
constexpr LRESULT ProposedFormatLength = 112;

// ICERR_OK or ICERR_BADFORMAT (ICERR_BADPARAM for a null input). A null
// output asks about the input alone.
LRESULT QueryCompress(const BITMAPINFOHEADER* input, const BITMAPINFOHEADER* output);
LRESULT QueryDecompress(const BITMAPINFOHEADER* input, const BITMAPINFOHEADER* output);

// Writes the proposed output header, at most ProposedFormatLength bytes.
LRESULT ProposeCompressFormat(const BITMAPINFOHEADER* input, void* output);
LRESULT ProposeDecompressFormat(const BITMAPINFOHEADER* input, void* output);

// Bytes a host must allocate for one compressed frame of `output`'s size.
LRESULT CompressedFrameSize(const BITMAPINFOHEADER* output);

// Attach a fresh picture for the frames to come; refuse what the matching
// query refuses. ICERR_OK, ICERR_BADFORMAT, ICERR_BADPARAM or ICERR_MEMORY.
LRESULT BeginCompress(CodecInstance& instance, const BITMAPINFOHEADER* input, const BITMAPINFOHEADER* output);
LRESULT BeginDecompress(CodecInstance& instance, const BITMAPINFOHEADER* input, const BITMAPINFOHEADER* output);

// Shared by the three END messages and instance destruction.
void ReleasePicture(CodecInstance& instance);

// One frame each. Without a BEGIN in force they answer ICERR_BADSIZE.
LRESULT CompressHostFrame(CodecInstance& instance, const ICCOMPRESS* parameters);
LRESULT DecompressHostFrame(CodecInstance& instance, DWORD flags, const BITMAPINFOHEADER* inputFormat,
                            const void* input, const BITMAPINFOHEADER* outputFormat, void* output);
