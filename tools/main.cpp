// kestrun: the Kestrun Archive Codec's command-line tool.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include <dlfcn.h>
#include <unistd.h>

#include "cli.h"
#include "commands.h"
#include "help.h"

#ifndef KESTRUN_MEDIA_DIR
#define KESTRUN_MEDIA_DIR "../lib/kestrun"
#endif

namespace {
struct Command {
    const char* name;
    int (*run)(int, char**); // null: in the media library
    const char* summary;     // for the overview; each command's help is in help.cpp
};

const Command commands[] = {
    {"demo", nullptr, "encode the sample clip, verify it, show size and speed"},
    {"encode", nullptr, "a video (AVI, Y4M, any FFmpeg reads) to a KSHA AVI and its fixity file"},
    {"decode", nullptr, "an archive to an uncompressed AVI, Y4M or raw pictures"},
    {"verify", nullptr, "check every frame against the fixity file (and the source); name the damaged ones"},
    {"info", nullptr, "size, frames, rate, coders, ratio, source"},
    {"framemd5", nullptr, "one MD5 per picture, as ffmpeg -f framemd5 prints them"},
    {"fixity", nullptr, "write the fixity file an archive lacks, from its pictures as they decode now"},
    {"export", nullptr, "a lossless copy in FFV1/Matroska or v210/UYVY MOV, checked before it is kept"},
    {"raw-encode", RawEncodeCommand, "raw frames to compressed frames"},
    {"raw-decode", RawDecodeCommand, "compressed frames to raw frames"},
};

const Command* FindCommand(const char* name)
{
    for (const auto& command : commands)
        if (!std::strcmp(name, command.name)) return &command;
    return nullptr;
}

void PrintUsage(std::FILE* to)
{
    std::fprintf(to, "usage: kestrun COMMAND [OPTIONS] ARGUMENTS\n"
                     "       kestrun help COMMAND   (or kestrun COMMAND --help): its options\n"
                     "       kestrun --version\n\ncommands:\n");
    for (const auto& command : commands) std::fprintf(to, "  %-11s %s\n", command.name, command.summary);
    std::fprintf(to, "\nIN and OUT may be - for standard input or output. --threads N sets the workers\n"
                     "(default: all cores); --quiet prints nothing but errors. See kestrun(1).\n");
}

// `kestrun help NAME`: exit 0, or 2 for a name that has no help.
int PrintHelp(const char* name)
{
    const CommandHelp* help = FindCommandHelp(name);
    if (!help) {
        std::fprintf(stderr, "kestrun help: unknown command \"%s\"\n", name);
        return 2;
    }
    PrintCommandHelp(stdout, *help);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

// --help or -h among a command's options (not after --, where it is a file name).
bool AsksForHelp(int argc, char** argv)
{
    for (int i = 2; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) return true;
    return false;
}

// The media library: beside the executable in the build tree, in
// KESTRUN_MEDIA_DIR (relative to the executable's folder) once installed, so
// that an installed tree may be moved anywhere.
int RunMediaCommand(const char* name, int argc, char** argv)
{
    const std::string folder = ExecutableDirectory();
    const std::string beside = folder + "/" + MediaLibraryName;
    const std::string installed =
        std::filesystem::path(folder + "/" KESTRUN_MEDIA_DIR "/" + MediaLibraryName).lexically_normal().string();
    const bool there = ::access(beside.c_str(), F_OK) == 0;
    if (!there && ::access(installed.c_str(), F_OK) != 0) {
        std::fprintf(stderr, "kestrun %s: cannot load the media library: it is neither at %s nor at %s\n", name,
                     beside.c_str(), installed.c_str());
        return 1;
    }
    const std::string& path = there ? beside : installed;
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
    if (argc >= 2 && !std::strcmp(argv[1], "help") && argc <= 3) {
        if (argc == 3) return PrintHelp(argv[2]);
        PrintUsage(stdout);
        return 0;
    }
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
        const bool asked = argc == 2;
        PrintUsage(asked ? stdout : stderr);
        return asked ? 0 : 2;
    }
    const Command* command = FindCommand(argv[1]);
    if (!command) {
        std::fprintf(stderr, "kestrun: unknown command \"%s\"\n\n", argv[1]);
        PrintUsage(stderr);
        return 2;
    }
    if (AsksForHelp(argc, argv)) return PrintHelp(command->name);
    if (!command->run) return RunMediaCommand(command->name, argc, argv);
    return RunCommandReporting(command->name, command->run, argc, argv);
}
