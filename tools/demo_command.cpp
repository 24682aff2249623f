// demo: the built-in sample clip (or any clip) encoded to a KSHA archive in a
// temporary folder and verified against its source, with size and speed.
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <filesystem>

#include <stdlib.h>

#include "archive.h"
#include "command_support.h"
#include "commands.h"

#ifndef KESTRUN_SAMPLE_CLIP
#define KESTRUN_SAMPLE_CLIP "samples/city-720x405.mpg"
#endif
#ifndef KESTRUN_DATA_DIR
#define KESTRUN_DATA_DIR "../share/kestrun"
#endif

namespace {
// Installed, the clip is in KESTRUN_DATA_DIR relative to the executable's
// folder, so that the installed tree may be moved; the build tree (the media
// library beside the executable) takes it from the source tree instead.
std::string SampleClip()
{
    const std::string folder = ExecutableDirectory();
    const std::filesystem::path installed =
        std::filesystem::path(folder + "/" KESTRUN_DATA_DIR "/city-720x405.mpg").lexically_normal();
    std::error_code error;
    if (!std::filesystem::exists(installed, error) && std::filesystem::exists(folder + "/" + MediaLibraryName, error))
        return KESTRUN_SAMPLE_CLIP;
    return installed.string();
}
} // namespace

int DemoCommand(int argc, char** argv)
{
    Arguments arguments = ParseArguments(argc, argv, 2, {"--coder", "--threads"}, {"--quiet"});
    if (arguments.positional.size() > 1)
        UsageError("usage: kestrun demo [--coder huffman|deflate|smallest|archive] [--threads N] [--quiet] [CLIP]");
    const std::string clip = arguments.positional.empty() ? SampleClip() : arguments.positional[0];
    if (!std::filesystem::exists(clip))
        Fail(clip + ": the sample clip is not there; give a clip: kestrun demo CLIP");
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrun-demo-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) Fail(pattern + ": cannot make a temporary folder: " + std::strerror(errno));
    struct RemoveFolder {
        std::string path;
        ~RemoveFolder()
        {
            std::error_code error;
            std::filesystem::remove_all(path, error);
        }
    } folder{pattern};

    EncodeJob encode;
    encode.input = clip;
    encode.output = pattern + "/demo.avi";
    encode.coder = ParseCoder(arguments);
    encode.threads = ThreadCount(arguments);
    const bool showProgress = !arguments.Has("--quiet");
    std::printf("encoding %s with --coder %s on %u thread%s\n", clip.c_str(), CoderName(encode.coder).c_str(),
                encode.threads, encode.threads == 1 ? "" : "s");
    std::fflush(stdout);
    encode.quiet = !showProgress;
    encode.notes = false; // the summary says whether the archive is exact
    encode.lossy = true;  // any clip is shown, and the summary says what it loses
    JobStats encoded = RunEncode(encode);
    const std::string kept = !encoded.exact                       ? ", lossy: " + encoded.loss
                             : encoded.mapping == Mapping::Packed ? ", kept as they are"
                                                                  : std::string(", kept exactly, ") +
                                                                        DescribeMapping(encoded.mapping);
    std::printf("source:   %ux%u %s, %" PRId64 " pictures%s\n", encoded.width, encoded.height,
                encoded.sourceFormat.c_str(), encoded.frames, kept.c_str());
    std::printf("archive:  %s, %s for %s of 4:2:2 pictures: ratio %.3f (HUFY %" PRId64 ", LZYV %" PRId64 ")\n",
                encode.output.c_str(), DescribeBytes(encoded.codedBytes).c_str(),
                DescribeBytes(encoded.pictureBytes).c_str(), encoded.Ratio(), encoded.huffmanFrames,
                encoded.deflateFrames);
    std::printf("encode:   %.1f frames/s, %.1f MB/s of pictures (reading and converting the source included)\n",
                encoded.FramesPerSecond(), double(encoded.pictureBytes) / 1e6 / std::max(encoded.seconds, 1e-9));
    std::fflush(stdout);

    VerifyJob verify;
    verify.input = encode.output;
    verify.against = clip;
    verify.threads = encode.threads;
    verify.quiet = !showProgress;
    JobStats verified = RunVerify(verify);
    const bool good = verified.damaged.empty() && verified.problem.empty() && verified.audioIdentical;
    const std::string all = "all " + std::to_string(verified.frames) + " frames ";
    const std::string verdict =
        !good ? "FAILED: " + std::to_string(verified.damaged.size()) + " damaged frames " + verified.problem
        : verified.exact ? all + "decode to exactly the source's pictures"
                         : all + "hold exactly what the codec makes of the source; against the source's pictures, "
                                 "largest difference " + verified.difference.Describe();
    std::printf("verify:   %s, %.1f frames/s (decoding, checking and comparing with the source)\n", verdict.c_str(),
                verified.FramesPerSecond());
    FlushStandardOutput();
    return good ? 0 : 1;
}
