#include "help.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {
constexpr const char* coders = "huffman|deflate|smallest|archive";

const OptionHelp threads = {"--threads", "N",
                            "workers, 1 to 256 (default: all cores); the output is the same for every N"};

const OptionHelp demoOptions[] = {
    {"--coder", coders, "the coder, as for encode (default: huffman)"},
    threads,
    {"--quiet", nullptr, "no progress line"},
};

const OptionHelp encodeOptions[] = {
    {"--coder", coders,
     "huffman (default): HUFY frames, fast; deflate: LZYV frames; smallest: each frame both ways, the smaller "
     "kept; archive: a stronger, much slower deflate, still ordinary LZYV frames"},
    {"--lossy", nullptr,
     "archive a source that cannot come back exactly (RGB, more than 8 bits a sample, 4:4:4, alpha); without it "
     "encode stops before writing and says what would be lost"},
    {"--no-fixity", nullptr,
     "write no fixity file OUT.avi.framemd5 (and remove the one of an archive this replaces)"},
    threads,
    {"--quiet", nullptr, "no progress line, no notes and no summary"},
};

const OptionHelp decodeOptions[] = {
    {"--format", "FORMAT",
     "the pictures' format: yuy2 (the default for AVI and raw output; yuyv422), uyvy (uyvy422), rgb24 (bgr24) and "
     "rgb32 in Windows' B, G, R order, yuv422p (the default for Y4M), yuv420p, yuv411p and their full-range yuvj "
     "forms; an odd-width archive decodes to rgb24 by default"},
    {"--lossy", nullptr,
     "allow a format the archive cannot give exactly (4:2:0 or 4:1:1 from an archive whose chroma was not repeated "
     "from such a source: interpolated)"},
    threads,
    {"--quiet", nullptr, "no progress line and no notes"},
};

const OptionHelp verifyOptions[] = {
    {"--against", "SOURCE",
     "compare every picture with SOURCE's, in its own pixel format, and every audio stream with the one it came "
     "from; a lossy archive reports the largest difference and the PSNR"},
    {"--fixity", "FILE", "the fixity file to check the pictures against (default: IN.avi.framemd5)"},
    {"--json", nullptr, "the report as one JSON object on standard output"},
    threads,
    {"--quiet", nullptr, "no progress line"},
};

const OptionHelp infoOptions[] = {
    {"--frames", nullptr, "every frame's number, tag and size too"},
    {"--json", nullptr, "the facts as one JSON object on standard output"},
};

const OptionHelp framemd5Options[] = {
    {"--format", "PIX_FMT",
     "the pictures hashed, named as ffmpeg's -pix_fmt names them: yuyv422 (the default; bgr24 at an odd width), "
     "uyvy422, rgb24 (R, G, B), bgr24, yuv422p, yuv420p, yuv411p and their yuvj forms"},
    {"--lossy", nullptr, "allow a format the archive cannot give exactly, as for decode"},
    threads,
    {"--quiet", nullptr, "no notes"},
};

const OptionHelp fixityOptions[] = {
    {"--force", nullptr, "replace a fixity file that is there"},
    threads,
    {"--quiet", nullptr, "no closing note"},
};

const OptionHelp exportOptions[] = {
    {"--to", "ffv1|v210|uyvy",
     "ffv1 (default): FFV1 version 3 in Matroska, every frame a key frame, with slice CRCs; v210 or uyvy: "
     "uncompressed 4:2:2 in MOV"},
    threads,
    {"--force", nullptr, "replace OUT if it exists"},
    {"--quiet", nullptr, "no progress line and no notes"},
};

const OptionHelp rawEncodeOptions[] = {
    {"-s", "WxH", "the picture size (required)"},
    {"-f", "yuy2|uyvy|rgb24", "the frames' layout (required)"},
    {"-q", "QUALITY", "the host's quality value (required): below 6000 Huffman, from 6000 deflate"},
    threads,
    {"--quiet", nullptr, "no totals"},
};

const OptionHelp rawDecodeOptions[] = {
    {"-s", "WxH", "the picture size (required)"},
    {"-f", "yuy2|uyvy|rgb24|rgb32", "the layout to decode to (required)"},
    {"--top-down", nullptr, "RGB rows first row at the top (default: at the bottom, as Windows keeps them)"},
    threads,
    {"--quiet", nullptr, "no totals"},
};

const CommandHelp help[] = {
    {"demo", "[--coder CODER] [--threads N] [--quiet] [CLIP]",
     "Encodes the built-in sample clip (or CLIP) to an archive in a temporary folder, verifies every frame against "
     "the source and prints size, ratio and speed. Any clip is taken; the summary says whether it came back exactly.",
     demoOptions},
    {"encode", "[--coder CODER] [--lossy] [--no-fixity] [--threads N] [--quiet] IN OUT.avi",
     "Encodes a video (AVI, Y4M file or pipe, or anything FFmpeg's libraries read) to a KSHA AVI with its audio, "
     "and writes its fixity file OUT.avi.framemd5 beside it. Both are written under temporary names and renamed "
     "into place when complete.",
     encodeOptions},
    {"decode", "[--format FORMAT] [--lossy] [--threads N] [--quiet] IN.avi OUT",
     "Decodes an archive: to an uncompressed AVI with the audio copied (OUT.avi), to Y4M (OUT.y4m, or - for "
     "standard output), or to raw pictures, top row first (any other name).",
     decodeOptions},
    {"verify", "[--against SOURCE] [--fixity FILE] [--json] [--threads N] [--quiet] IN.avi",
     "Decodes every frame, checks it against the fixity file beside the archive and names every damaged frame. "
     "Exit status 1 for damage, a mismatch or a difference from SOURCE.",
     verifyOptions},
    {"info", "[--frames] [--json] IN.avi",
     "Prints the archive's size, frames, rate, coders, ratio, recorded source and whether it is exact.", infoOptions},
    {"framemd5", "[--format PIX_FMT] [--lossy] [--threads N] [--quiet] IN.avi [OUT]",
     "Prints one MD5 per picture in the lines of ffmpeg -f framemd5 -pix_fmt PIX_FMT, to OUT or standard output.",
     framemd5Options},
    {"fixity", "[--force] [--threads N] [--quiet] IN.avi [OUT]",
     "Writes the fixity file an archive lacks (OUT, by default IN.avi.framemd5) from its pictures as they decode "
     "now: it proves only that nothing changes from then on. IN must be a file.",
     fixityOptions},
    {"export", "[--to ffv1|v210|uyvy] [--threads N] [--force] [--quiet] IN.avi OUT",
     "Writes the archive's pictures for other tools: FFV1 in Matroska as yuv420p or yuv411p where the archive's "
     "chroma was repeated from such a source, yuv422p otherwise; or v210 or UYVY in MOV. Audio is copied and the "
     "provenance carried as tags; every picture of the written file is checked against the archive before it is "
     "renamed into place. IN and OUT must be files, not - : both are read back.",
     exportOptions},
    {"raw-encode", "-s WxH -f yuy2|uyvy|rgb24 -q QUALITY [--threads N] [--quiet] IN OUT",
     "Compresses raw frames back to back (packed rows 2 x W bytes apart, top row first; RGB rows 3 x W bytes "
     "apart, bottom row first) to compressed frames back to back, each its header and payload.",
     rawEncodeOptions},
    {"raw-decode", "-s WxH -f yuy2|uyvy|rgb24|rgb32 [--top-down] [--threads N] [--quiet] IN OUT",
     "Decompresses the frames raw-encode writes to raw frames back to back.", rawDecodeOptions},
};

// Words of `text` on lines of at most 79 columns, each begun with `indent` spaces.
void PrintWrapped(std::FILE* to, const std::string& text, std::size_t indent)
{
    std::size_t column = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find(' ', at), text.size());
        const std::size_t length = end - at;
        if (column > 0 && column + 1 + length > 79) {
            std::fputc('\n', to);
            column = 0;
        }
        column += column == 0 ? std::fprintf(to, "%*s", int(indent), "") : std::fprintf(to, " ");
        column += std::fwrite(text.data() + at, 1, length, to);
        at = end + 1;
    }
    std::fputc('\n', to);
}
} // namespace

const CommandHelp* FindCommandHelp(const char* name)
{
    for (const CommandHelp& entry : help)
        if (!std::strcmp(entry.name, name)) return &entry;
    return nullptr;
}

void PrintCommandHelp(std::FILE* to, const CommandHelp& entry)
{
    std::fprintf(to, "usage: kestrun %s %s\n\n", entry.name, entry.synopsis);
    PrintWrapped(to, entry.description, 0);
    std::fprintf(to, "\noptions:\n");
    for (const OptionHelp& option : entry.options) {
        std::fprintf(to, "  %s%s%s\n", option.name, option.value ? " " : "", option.value ? option.value : "");
        PrintWrapped(to, option.text, 6);
    }
    std::fputc('\n', to);
    PrintWrapped(to, "IN and OUT may be - for standard input or output. Exit status: 0 ok, 1 a bad input, damage or "
                     "a difference, 2 a mistake on the command line. See kestrun(1).", 0);
}
