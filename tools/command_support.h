// Pieces the archive commands (encode, decode, verify, framemd5, info, demo)
// share: names, sizes, the first look at a frame, messages, AVI packets.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "cli.h"
#include "media.h"
#include "picture_format.h"

std::string SizeText(uint32_t width, uint32_t height);

std::string CoderName(FrameCoder coder);
// --coder, Huffman when it is not given.
FrameCoder ParseCoder(const Arguments& arguments);

// The picture size of the archive's KSHA stream, checked against what the
// codec takes; any width will do for a command that decodes to no layout.
void ArchiveSize(const MediaInput& input, uint32_t* width, uint32_t* height);
// The same for frames decoded to `layout`, whose width rule applies too
// (packed 4:2:2 needs an even width).
void ArchiveSize(const MediaInput& input, const RawFormat& layout, uint32_t* width, uint32_t* height);

// The format decode and framemd5 give an archive's pictures out in: --format,
// else `fallback` (at an odd width, which packed 4:2:2 cannot hold,
// `oddFallback`, with a note), checked against what the archive can give
// exactly; a lossy format only with --lossy. `repetition` is the archive's.
struct ChosenFormat {
    PictureFormat format;
    ChromaRepetition repetition = ChromaRepetition::None;
    bool recorded = false; // the archive records its source
    Provenance provenance;
};
ChosenFormat ChooseFormat(const MediaInput& input, const Arguments& arguments, uint32_t width,
                          const std::string& fallback, const std::string& oddFallback, bool ffmpegNames, bool notes);

// decode and framemd5 leave a frame to the decoder, which reads no further
// than the chunk whatever the payload length says, but refuse first what
// cannot be a frame of this size at all: one shorter than its header, too
// short to hold the picture, or longer than any frame can be (nothing is
// allocated for those). Ok, or the reason.
CodecResult ScreenFrame(const AVPacket* frame, uint32_t width, uint32_t height);

// What is wrong with a frame that did not decode, from its header alone:
// cut short, or damaged.
std::string DescribeDamage(const AVPacket* frame, uint32_t width, uint32_t height);

// Makes a worker's coder when it first needs one; false when memory is short.
template <typename Coder, typename... Arguments>
bool MakeOnce(std::unique_ptr<Coder>& coder, Arguments&&... arguments)
{
    if (coder) return true;
    try {
        coder = std::make_unique<Coder>(std::forward<Arguments>(arguments)...);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// A packet of another stream of `input` into the writer's stream
// `streamMap[packet->stream_index]`, its times rescaled; dropped where the
// map holds -1.
void CopyPacket(const MediaInput& input, AviWriter& writer, const std::vector<int>& streamMap, AVPacket* packet);
// `size` bytes of `*buffer` as a key frame of `stream` at `pts` for
// `duration`, both in `timeBase`. The packet takes the buffer's reference and
// *buffer is left null.
void WriteKeyFrame(AviWriter& writer, AVStream* stream, AVPacket* packet, AVBufferRef** buffer, std::size_t size,
                   int64_t pts, int64_t duration, AVRational timeBase);

// Fails when what was printed cannot be written.
void FlushStandardOutput();
