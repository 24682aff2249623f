// kestrun: the Kestrun Archive Codec's command-line tool.
#include <cstdio>
#include <cstring>
#include <string>

#include <dlfcn.h>
#include <unistd.h>

#include "commands.h"

namespace {
struct Command {
    const char* name;
    int (*run)(int, char**); // null: in the media library
    const char* summary;
};

const Command commands[] = {
    {"demo", nullptr, "[--coder C] [--threads N] [CLIP]   encode the sample clip, verify it, show size and speed"},
    {"encode", nullptr, "[--coder huffman|deflate|smallest|archive] [--lossy] [--no-fixity] IN OUT.avi   a video (AVI, "
                        "Y4M, any FFmpeg reads) to a KSHA AVI and its fixity file OUT.avi.framemd5; --lossy accepts a "
                        "source that cannot come back exactly"},
    {"decode", nullptr, "[--format yuy2|uyvy|rgb24|rgb32|yuv422p|yuv420p|yuv411p|...] IN.avi OUT   to OUT.avi, "
                        "OUT.y4m, raw, or - (Y4M)"},
    {"verify", nullptr, "[--against SOURCE] IN.avi   check every frame; list the damaged ones"},
    {"info", nullptr, "[--frames] IN.avi   size, frames, rate, coders, ratio"},
    {"framemd5", nullptr, "[--format PIX_FMT] IN.avi [OUT]   one MD5 per frame, as ffmpeg -f framemd5 -pix_fmt "
                          "PIX_FMT (yuyv422 by default)"},
    {"fixity", nullptr, "[--force] IN.avi [OUT]   write the fixity file an archive lacks (IN.avi.framemd5), from its "
                        "pictures as they decode now"},
    {"export", nullptr, "[--to ffv1|v210|uyvy] [--force] IN.avi OUT   a lossless copy for other programs (FFV1 in "
                        "Matroska, v210 or UYVY in MOV), checked picture by picture before it is kept"},
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

// The media library from the executable's own directory.
int RunMediaCommand(const char* name, int argc, char** argv)
{
    std::string path(4096, '\0');
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
    path.resize(length > 0 ? std::size_t(length) : 0);
    path.erase(path.find_last_of('/') + 1);
    path += MediaLibraryName;
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto entry = library ? reinterpret_cast<int (*)(int, char**)>(dlsym(library, MediaEntryName)) : nullptr;
    if (!entry) {
        const char* why = dlerror();
        std::fprintf(stderr, "kestrun %s: cannot load the media library %s: %s\n", name, path.c_str(),
                     why ? why : "it has no entry");
        return 1;
    }
    // Left loaded: FFmpeg's libraries may still hold exit handlers.
    return entry(argc, argv);
}
} // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && !std::strcmp(argv[1], "--version")) {
        std::printf("kestrun " KESTRUN_VERSION " (Kestrun Archive Codec)\n");
        return 0;
    }
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
        PrintUsage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    for (const auto& command : commands) {
        if (std::strcmp(argv[1], command.name) != 0) continue;
        if (!command.run) return RunMediaCommand(command.name, argc, argv);
        return RunCommandReporting(command.name, command.run, argc, argv);
    }
    std::fprintf(stderr, "kestrun: unknown command \"%s\"\n\n", argv[1]);
    PrintUsage(stderr);
    return 2;
}
