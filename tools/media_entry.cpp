// The media library's entry: the commands that need FFmpeg.
#include <cstring>

#include "commands.h"

extern "C" __attribute__((visibility("default"))) int KestrunRunMediaCommand(int argc, char** argv)
{
    static const struct {
        const char* name;
        int (*run)(int, char**);
    } commands[] = {
        {"demo", DemoCommand},     {"encode", EncodeCommand},       {"decode", DecodeCommand},
        {"verify", VerifyCommand}, {"info", InfoCommand},           {"framemd5", FrameMd5Command}, {"fixity", FixityCommand},
        {"export", ExportCommand},
    };
    if (argc < 2) return 127;
    for (const auto& command : commands)
        if (!std::strcmp(argv[1], command.name)) return RunCommandReporting(command.name, command.run, argc, argv);
    return 127;
}
