// export: archives made by kestrun encode, exported, and read back by
// ffmpeg and ffprobe: the source's own pictures, times, audio and the
// archive's provenance come out; a damaged archive leaves nothing.
#include "tool_test.h"

namespace {
class ExportTest : public ToolTest {
protected:
    // ffprobe's one line of `entries` for the streams `select` ("" for none: the format).
    std::string ProbeText(const std::string& file, const std::string& select, const std::string& entries)
    {
        const std::string streams = select.empty() ? "" : " -select_streams " + select;
        return Ok("ffprobe -v error" + streams + " -show_entries " + entries + " -of csv=p=0 " + file);
    }
    // The digests ffmpeg's framemd5 gives the video of `file` in `pixelFormat`, every picture once.
    std::vector<std::string> FfmpegMd5(const std::string& file, const std::string& pixelFormat)
    {
        return Md5Column(Ok("ffmpeg -nostdin -v error -i " + file + " -an -fps_mode passthrough -f framemd5 -pix_fmt " +
                            pixelFormat + " -"));
    }
};

// The sample clip cut short: grainy 4:2:0 with samples at 0 and 255.
const char* const SampleCut = "ffmpeg -nostdin -v error -i \"$S/samples/city-720x405.mpg\" -frames:v 5 -an -y ";

// FFV1 in Matroska in the source's pixel format: ffmpeg's framemd5 of the
// export is the source's (or, for an RGB source kept lossily, the archive's
// pictures as they decode), and the audio comes out sample for sample.
TEST_F(ExportTest, Ffv1HoldsTheSourcesOwnPicturesAndAudio)
{
    const struct {
        const char* name;
        const char* make; // "" for MakeClip
        const char* size;
        const char* sourceFormat;
        const char* filter;
        const char* encodeOptions;
        const char* exported; // the export's pixel format
        const char* mapping;
        bool audio;
    } cases[] = {
        {"city.y4m", SampleCut, "", "yuv420p", "", "", "yuv420p", "rows_repeated", false},
        {"tape422.avi", "", "96x64", "yuv422p", "", "", "yuv422p", "as_it_was", true},
        {"packed.avi", "", "98x30", "yuyv422", "", "", "yuv422p", "as_it_was", true},
        {"dv411.avi", "", "96x64", "yuv411p", "", "", "yuv411p", "samples_repeated_along_the_rows", false},
        {"screen.avi", "", "76x20", "bgr24", "format=bgr24,crop=75:20:0:0", "--lossy", "bgr0", "bt601", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (*c.make) Ok(std::string(c.make) + c.name);
        else MakeClip(c.name, c.size, c.sourceFormat, 8, c.audio, c.filter);
        Ok("$K encode --quiet " + std::string(c.encodeOptions) + " " + c.name + " archive.avi");
        const Result exported = Run("$K export archive.avi out.mkv");
        ASSERT_EQ(exported.status, 0) << exported.err;
        EXPECT_NE(exported.err.find("every picture checked against the archive and its fixity file"), std::string::npos)
            << exported.err;

        EXPECT_NE(ProbeText("out.mkv", "", "format=format_name").find("matroska"), std::string::npos);
        EXPECT_EQ(ProbeText("out.mkv", "v", "stream=codec_name,pix_fmt"), "ffv1," + std::string(c.exported) + "\n");
        EXPECT_EQ(ProbeText("out.mkv", "", "format_tags=MAPPING"), std::string(c.mapping) + "\n");
        // FFV1's own header, as its decoder reports it: version 3, slice CRCs, key frames only.
        const std::string header = Ok("ffmpeg -nostdin -v debug -debug pict -i out.mkv -frames:v 1 -f null - 2>&1 | "
                                      "grep -m1 'global: ver'");
        EXPECT_NE(header.find("ver:3."), std::string::npos) << header;
        EXPECT_NE(header.find("ec:1 intra:1"), std::string::npos) << header;
        const bool rgb = std::string(c.exported) == "bgr0";
        // A lossy archive's pictures are the codec's, not the source's: the archive's own digests stand for them.
        const std::vector<std::string> expected =
            rgb ? Md5Column(Ok("$K framemd5 archive.avi")) : FfmpegMd5(c.name, c.exported);
        EXPECT_EQ(expected.size(), 5u + 3 * !*c.make);
        EXPECT_EQ(FfmpegMd5("out.mkv", rgb ? "bgr24" : c.exported), expected);
        if (c.audio) {
            EXPECT_EQ(ProbeText("out.mkv", "a", "stream=codec_name"), "pcm_s16le\n");
            EXPECT_EQ(Audio("out.mkv"), Audio(c.name));
            EXPECT_FALSE(Audio(c.name).empty());
        } else {
            EXPECT_EQ(ProbeText("out.mkv", "a", "stream=codec_name"), "");
        }
        // The same file for every thread count: FFV1's slices depend on the picture size alone.
        Ok("$K export --quiet --threads 1 archive.avi one.mkv && $K export --quiet --threads 3 archive.avi three.mkv");
        EXPECT_EQ(ReadBytes(Path("one.mkv")), ReadBytes(Path("out.mkv")));
        EXPECT_EQ(ReadBytes(Path("three.mkv")), ReadBytes(Path("out.mkv")));
        Ok("rm out.mkv one.mkv three.mkv");
    }
}

// 4:2:2 in MOV for editors: ffmpeg's framemd5 in yuv422p is the archive's
// stored 4:2:2, for a 4:2:0 source too (its repeated chroma), at widths
// that v210's six-pixel groups do not divide, with 0 and 255 kept.
TEST_F(ExportTest, V210AndUyvyHoldTheStored422)
{
    Ok(std::string(SampleCut) + "city.y4m");
    MakeClip("odd-groups.avi", "100x30", "yuyv422", 6, true);
    const struct {
        const char* to;
        const char* tag;
    } targets[] = {{"v210", "v210"}, {"uyvy", "2vuy"}};
    for (const char* source : {"city.y4m", "odd-groups.avi"}) {
        Ok("$K encode --quiet " + std::string(source) + " archive.avi");
        const std::vector<std::string> stored = Md5Column(Ok("$K framemd5 --format yuv422p archive.avi"));
        ASSERT_FALSE(stored.empty());
        for (const auto& t : targets) {
            SCOPED_TRACE(std::string(source) + " " + t.to);
            const Result exported = Run("$K export --force --to " + std::string(t.to) + " archive.avi out.mov");
            ASSERT_EQ(exported.status, 0) << exported.err;
            EXPECT_EQ(exported.err.find("chroma rows repeated") != std::string::npos, source == std::string("city.y4m"))
                << exported.err;
            EXPECT_EQ(ProbeText("out.mov", "v", "stream=codec_name,codec_tag_string"),
                      std::string(t.to == std::string("v210") ? "v210" : "rawvideo") + "," + t.tag + "\n");
            EXPECT_EQ(FfmpegMd5("out.mov", "yuv422p"), stored);
            const bool audio = source == std::string("odd-groups.avi");
            if (audio) {
                EXPECT_EQ(Audio("out.mov"), Audio(source));
            }
            const std::string by = ProbeText("out.mov", "", "format_tags=EXPORTED_BY");
            EXPECT_EQ(by.rfind("kestrun ", 0), 0u) << by;
            EXPECT_NE(by.find(" export --to " + std::string(t.to) + "\n"), std::string::npos) << by;
        }
    }
    // An odd width has no 4:2:2 to give.
    MakeClip("screen.avi", "76x20", "bgr24", 3, false, "format=bgr24,crop=75:20:0:0");
    Ok("$K encode --quiet --lossy screen.avi screen-archive.avi");
    ExpectError("$K export --to v210 screen-archive.avi screen.mov", {"75 pixels wide", "--to ffv1"});
    ExpectNothingNamed("screen.mov");
}

// A source of variable timing: each picture goes out once at its own time
// (the holds between pictures are longer durations, not copies).
TEST_F(ExportTest, PicturesKeepTheirTimes)
{
    Ok("ffmpeg -nostdin -v error -f lavfi -i testsrc=size=64x48:rate=30 -f lavfi -i sine=sample_rate=48000 -t 1.5 "
       "-vf \"settb=1/300,setpts='PTS+gte(N,1)*44+gte(N,20)*25'\" -fps_mode passthrough -enc_time_base:v 1/300 "
       "-c:v libx264 -pix_fmt yuv420p -c:a aac -y phone.mp4");
    Ok("$K encode --quiet phone.mp4 archive.avi");
    const std::vector<double> source = Probe("phone.mp4", "v", "frame=best_effort_timestamp_time");
    const std::vector<double> archive = Probe("archive.avi", "v", "packet=pts_time");
    ASSERT_GE(source.size(), 30u);
    ASSERT_EQ(archive.size(), source.size());
    ASSERT_GT(ReadAvi(Path("archive.avi")).emptyChunks, 0); // the archive holds holds
    for (const char* to : {"ffv1", "v210"}) {
        SCOPED_TRACE(to);
        const std::string out = to == std::string("ffv1") ? "out.mkv" : "out.mov";
        Ok("$K export --quiet --to " + std::string(to) + " archive.avi " + out);
        const std::vector<double> times = Probe(out, "v", "frame=best_effort_timestamp_time");
        ASSERT_EQ(times.size(), source.size());
        for (std::size_t i = 0; i < times.size(); ++i) {
            EXPECT_NEAR(times[i], archive[i], 0.0005 + 1e-9) << "picture " << i; // Matroska keeps milliseconds
            EXPECT_LE(std::fabs(times[i] - (source[i] - source[0])), 0.5 / 30 + 1e-3) << "picture " << i;
        }
        EXPECT_EQ(FfmpegMd5(out, "yuv420p").size(), source.size());
        EXPECT_EQ(ProbeText(out, "a", "stream=codec_name"), "pcm_f32le\n");
    }
    // MOV keeps each picture's duration: up to the next picture.
    const std::vector<double> packets = Probe("out.mov", "v", "packet=pts_time,duration_time");
    ASSERT_EQ(packets.size(), 2 * source.size());
    long slots = 0;
    for (std::size_t i = 0; i < source.size(); ++i) {
        if (i + 1 < source.size()) { // ffprobe prints 6 digits
            EXPECT_NEAR(packets[2 * i] + packets[2 * i + 1], packets[2 * i + 2], 3e-6) << "picture " << i;
        }
        slots += std::lround(packets[2 * i + 1] * 30);
    }
    EXPECT_EQ(slots, std::lround(StreamEnd("archive.avi", "v") * 30)); // every hold in a duration
    EXPECT_GT(slots, long(source.size()));
}

// What export refuses, leaving nothing under OUT: a damaged archive (the
// frame named), an OUT that exists without --force, standard output.
TEST_F(ExportTest, RefusesWhatItCannotDoAndLeavesNothing)
{
    MakeClip("source.avi", "96x64", "yuyv422", 6, true);
    Ok("$K encode --quiet source.avi archive.avi");
    std::vector<uint8_t> file = ReadBytes(Path("archive.avi"));
    const std::size_t f3 = FrameOffset(file, 3);
    ASSERT_NE(f3, 0u);
    std::memcpy(&file[f3], "XXXX", 4);
    WriteBytes(Path("damaged.avi"), file);
    ExpectError("$K export damaged.avi out.mkv", {"damaged.avi", "frame 3 is damaged", "nothing was exported"});
    ExpectError("$K export --to uyvy damaged.avi out.mov", {"frame 3 is damaged"});
    ExpectNothingNamed("out.m");

    // A flipped bit in frame 3's Huffman codes that still decodes: the fixity file names it.
    file = ReadBytes(Path("archive.avi"));
    ASSERT_EQ(std::string(file.begin() + long(f3), file.begin() + long(f3 + 4)), "YFUH");
    const std::size_t payloadBits = (Le32(&file[f3 - 4]) - 8) * 8;
    bool decodes = false;
    for (std::size_t k = 0; k < 64 && !decodes; ++k) {
        std::vector<uint8_t> flipped = file;
        const std::size_t bit = (payloadBits / 3 + k * 37) % payloadBits;
        flipped[f3 + 8 + bit / 8] ^= uint8_t(1 << (bit % 8));
        WriteBytes(Path("flipped.avi"), flipped);
        decodes = Run("$K framemd5 --quiet flipped.avi > /dev/null").status == 0;
    }
    ASSERT_TRUE(decodes);
    Ok("cp archive.avi.framemd5 flipped.avi.framemd5");
    ExpectError("$K export flipped.avi out.mkv", {"frame 3 is damaged: its picture differs from its digest in "
                                                  "flipped.avi.framemd5", "nothing was exported"});
    ExpectNothingNamed("out.m");
    Ok("rm flipped.avi.framemd5");
    const Result unseen = Run("$K export flipped.avi out.mkv");
    EXPECT_EQ(unseen.status, 0) << unseen.err;
    EXPECT_NE(unseen.err.find("note: no fixity file flipped.avi.framemd5"), std::string::npos) << unseen.err;
    Ok("rm out.mkv");

    Ok("echo keep > taken.mkv");
    ExpectError("$K export archive.avi taken.mkv", {"taken.mkv", "exists", "--force"});
    EXPECT_EQ(ReadText(Path("taken.mkv")), "keep\n");
    Ok("$K export --quiet --force archive.avi taken.mkv");
    EXPECT_EQ(ProbeText("taken.mkv", "v", "stream=codec_name"), "ffv1\n");

    const Result piped = Run("$K export archive.avi -");
    EXPECT_EQ(piped.status, 2);
    EXPECT_NE(piped.err.find("must be a file"), std::string::npos) << piped.err;
    ExpectError("$K export - out.mkv < archive.avi", {"must be a file"});
    ExpectError("$K export --to ffv2 archive.avi out.mkv", {"--to takes ffv1, v210 or uyvy"});
    ExpectError("$K export source.avi out.mkv", {"not KSHA"});
    ExpectNothingNamed("out.m");
}
} // namespace
