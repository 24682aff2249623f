// kestrun: the Kestrun Archive Codec's command-line tool.
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "cli.h"
#include "commands.h"

namespace {
struct Command {
    const char* name;
    int (*run)(int, char**);
    const char* summary;
};

const Command commands[] = {
    {"demo", DemoCommand, "[--coder C] [--threads N] [CLIP]   encode the sample clip, verify it, show size and speed"},
    {"encode", EncodeCommand, "[--coder huffman|deflate|smallest|archive] IN OUT.avi   a video (AVI, Y4M, any FFmpeg reads) to a KSHA AVI"},
    {"decode", DecodeCommand, "[--format yuy2|uyvy|rgb24|rgb32] IN.avi OUT   to OUT.avi, OUT.y4m, raw, or - (Y4M)"},
    {"verify", VerifyCommand, "[--against SOURCE] IN.avi   check every frame; list the damaged ones"},
    {"info", InfoCommand, "[--frames] IN.avi   size, frames, rate, coders, ratio"},
    {"framemd5", FrameMd5Command, "IN.avi [OUT]   one MD5 per frame, as ffmpeg -f framemd5 -pix_fmt yuyv422"},
    {"raw-encode", RawEncodeCommand, "-s WxH -f yuy2|uyvy|rgb24 -q QUALITY IN OUT   raw frames to compressed frames"},
    {"raw-decode", RawDecodeCommand, "-s WxH -f yuy2|uyvy|rgb24|rgb32 [--top-down] IN OUT   the reverse"},
};

void PrintUsage(std::FILE* to)
{
    std::fprintf(to, "usage: kestrun COMMAND [OPTIONS]\n\ncommands:\n");
    for (const auto& command : commands) std::fprintf(to, "  %s %s\n", command.name, command.summary);
    std::fprintf(to, "\nIN and OUT may be - for standard input or output. --threads N sets the workers "
                     "(default: all cores); --quiet prints nothing but errors.\n");
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
        PrintUsage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    for (const auto& command : commands) {
        if (std::strcmp(argv[1], command.name) != 0) continue;
        try {
            return command.run(argc, argv);
        } catch (const CliError& error) {
            std::fprintf(stderr, "kestrun %s: %s\n", command.name, error.what());
            return error.status;
        } catch (const std::bad_alloc&) {
            std::fprintf(stderr, "kestrun %s: out of memory\n", command.name);
            return 1;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "kestrun %s: %s\n", command.name, error.what());
            return 1;
        }
    }
    std::fprintf(stderr, "kestrun: unknown command \"%s\"\n\n", argv[1]);
    PrintUsage(stderr);
    return 2;
}
