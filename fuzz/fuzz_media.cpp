// The command-line tool's readers: any bytes as an input file for encode
// (AVI, Y4M or anything FFmpeg's demuxers take, pictures through
// PictureReader), verify and decode (KSHA archives in AVI). The commands run
// in process with one thread and write to /dev/null; a bad file must end in
// the tool's error (an exception main() turns into a message), never in a
// crash, overrun or leak.
//
// Input: a command byte (encode, verify, decode), then the file. The seeds
// in corpus/media are tiny files made with ffmpeg's testsrc (Y4M 4:2:2, AVI
// with YUY2 and BGR24 video) and `kestrun encode` of them, plus damaged
// copies and regression inputs. Encode takes every source (--lossy).
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "fuzz_support.h"
#include "tools/cli.h"
#include "tools/commands.h"

namespace {
int RunCommand(int (*command)(int, char**), std::vector<std::string> arguments)
{
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    try {
        return command(int(arguments.size()), argv.data());
    } catch (const CliError& error) {
        return error.status;
    } catch (const std::bad_alloc&) {
        return 1;
    }
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 2) return 0;
    const int file = memfd_create("kestrun-fuzz", 0);
    FUZZ_CHECK(file >= 0);
    FUZZ_CHECK(write(file, data + 1, size - 1) == ssize_t(size - 1));
    const std::string path = "/proc/self/fd/" + std::to_string(file);
    switch (data[0] % 3) {
    case 0: RunCommand(EncodeCommand, {"kestrun", "encode", "--threads", "1", "--quiet", "--lossy", path, "/dev/null"}); break;
    case 1: RunCommand(VerifyCommand, {"kestrun", "verify", "--threads", "1", "--quiet", path}); break;
    default: RunCommand(DecodeCommand, {"kestrun", "decode", "--threads", "1", "--quiet", path, "/dev/null"});
    }
    close(file);
    return 0;
}
