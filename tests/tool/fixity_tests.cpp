// The fixity file beside an archive, verify against it, and the JSON
// reports of info and verify, read back with a JSON parser of their own.
#include <algorithm>
#include <random>
#include <set>

#include <nlohmann/json.hpp>

#include "tool_test.h"

namespace {
using Json = nlohmann::json;

class FixityTest : public ToolTest {
protected:
    // A command's standard output as JSON; the command's status is `status`.
    Json JsonOf(const std::string& command, int status)
    {
        const Result result = Run(command);
        EXPECT_EQ(result.status, status) << command << "\n" << result.err;
        const Json report = Json::parse(result.out, nullptr, false);
        EXPECT_FALSE(report.is_discarded()) << command << " printed no JSON object:\n" << result.out;
        return report.is_discarded() ? Json::object() : report;
    }

    // The frames verify --json lists as damaged.
    std::set<int64_t> Damaged(const Json& report)
    {
        std::set<int64_t> frames;
        for (const Json& damage : report.value("damaged", Json::array())) frames.insert(damage["frame"].get<int64_t>());
        return frames;
    }
};

// Real footage, one flipped bit in each of three HUFY frames chosen at
// random: with the fixity file verify names exactly those three; without it,
// it says what it cannot see, and names no other frame.
TEST_F(FixityTest, NamesEveryHufyFrameWithAFlippedBit)
{
    Ok("ffmpeg -nostdin -v error -i $S/samples/city-720x405.mpg -frames:v 12 -c:v ffv1 -an -y clip.mkv");
    Ok("$K encode --quiet clip.mkv archive.avi");
    EXPECT_EQ(ReadText(Path("archive.avi.framemd5")), Ok("$K framemd5 archive.avi"));
    EXPECT_EQ(JsonOf("$K verify --json archive.avi", 0)["fixity"]["state"], "match");

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::vector<int> frames(12);
    for (int i = 0; i < 12; ++i) frames[std::size_t(i)] = i;
    std::shuffle(frames.begin(), frames.end(), random);
    const std::set<int64_t> flipped(frames.begin(), frames.begin() + 3);
    std::vector<uint8_t> file = ReadBytes(Path("archive.avi"));
    for (int64_t frame : flipped) {
        const std::size_t at = FrameOffset(file, int(frame));
        ASSERT_EQ(std::string(file.begin() + long(at), file.begin() + long(at + 4)), "YFUH");
        const std::size_t payload = Le32(&file[at - 4]) - 8;
        const std::size_t bit = std::uniform_int_distribution<std::size_t>(0, payload * 8 - 1)(random);
        file[at + 8 + bit / 8] ^= uint8_t(1 << (bit % 8));
    }
    WriteBytes(Path("damaged.avi"), file);
    Ok("cp archive.avi.framemd5 damaged.avi.framemd5");

    Json report = JsonOf("$K verify --json damaged.avi", 1);
    EXPECT_EQ(Damaged(report), flipped) << report.dump(2);
    EXPECT_EQ(report["fixity"]["state"], "mismatch");
    EXPECT_EQ(report["intact"], false);

    Ok("mv damaged.avi.framemd5 kept.framemd5");
    EXPECT_EQ(Damaged(JsonOf("$K verify --json --fixity kept.framemd5 damaged.avi", 1)), flipped);
    const Result unseen = Run("$K verify damaged.avi");
    EXPECT_NE(unseen.out.find("damaged.avi: no fixity file damaged.avi.framemd5: damage inside a HUFY frame that "
                              "still decodes may go unseen"),
              std::string::npos)
        << unseen.out;
    report = JsonOf("$K verify --json damaged.avi", unseen.status);
    EXPECT_EQ(report["fixity"]["state"], "absent");
    const std::set<int64_t> seen = Damaged(report);
    EXPECT_TRUE(std::includes(flipped.begin(), flipped.end(), seen.begin(), seen.end())) << report.dump(2);
}

// The fixity file holds what framemd5 prints of the archive, for every kind
// of source: packed, planar kept by repetition, RGB at an odd width, and
// pictures with holds between them; for packed sources that is also what
// ffmpeg prints of the source.
TEST_F(FixityTest, TheFileIsTheArchivesFramemd5)
{
    const std::string testsrc = "ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=";
    const struct {
        const char* source;
        const char* make;   // its video, by ffmpeg
        const char* encode; // options
        bool sameAsFfmpeg;  // ffmpeg's yuyv422 framemd5 of the source is the same
    } cases[] = {
        {"packed.avi", "96x64:rate=25 -frames:v 6 -c:v rawvideo -pix_fmt uyvy422", "", true},
        {"planar.y4m", "96x64:rate=25 -frames:v 6 -pix_fmt yuv420p", "", false},
        {"odd.avi", "76x20:rate=25 -vf crop=75:20:0:0 -frames:v 4 -c:v rawvideo -pix_fmt bgr24", "--lossy", false},
        {"timed.mp4",
         "64x48:rate=30 -vf \"settb=1/300,setpts='PTS+gte(N,2)*40'\" -fps_mode passthrough -enc_time_base:v 1/300 "
         "-frames:v 8 -c:v libx264 -pix_fmt yuv422p",
         "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        const std::string source = c.source;
        Ok(testsrc + c.make + " -y " + source);
        Ok("$K encode --quiet " + std::string(c.encode) + " " + source + " archive.avi");
        const std::string fixity = ReadText(Path("archive.avi.framemd5"));
        EXPECT_EQ(fixity, Ok("$K framemd5 --quiet archive.avi"));
        if (c.sameAsFfmpeg) {
            EXPECT_EQ(Md5Column(fixity), Md5Column(Ok("ffmpeg -nostdin -v error -i " + source +
                                                      " -an -f framemd5 -pix_fmt yuyv422 -")));
        }
        EXPECT_NE(Ok("$K verify archive.avi").find("archive.avi: every picture matches its digest in "
                                                   "archive.avi.framemd5\n"),
                  std::string::npos);
    }
    // The holds of the last case are not pictures: the file has one line a picture.
    EXPECT_EQ(Md5Column(ReadText(Path("archive.avi.framemd5"))).size(), 8u);
    EXPECT_GT(JsonOf("$K info --json archive.avi", 0)["holds"].get<int>(), 0);
}

// fixity writes the file an archive lacks and keeps one that is there;
// --no-fixity writes none and takes away the one of the archive it
// replaces; a fixity file of other pictures is named for what is wrong.
TEST_F(FixityTest, FilesAreWrittenReplacedAndCheckedForWhatTheyAre)
{
    MakeClip("source.avi", "96x64", "yuyv422", 5);
    MakeClip("longer.avi", "96x64", "yuyv422", 6);
    MakeClip("small.avi", "64x48", "yuyv422", 5);
    Ok("$K encode --quiet source.avi archive.avi && $K encode --quiet longer.avi longer-archive.avi && "
       "$K encode --quiet small.avi small-archive.avi");
    const std::string written = ReadText(Path("archive.avi.framemd5"));

    Ok("rm archive.avi.framemd5 && $K fixity --quiet archive.avi");
    EXPECT_EQ(ReadText(Path("archive.avi.framemd5")), written);
    ExpectError("$K fixity archive.avi", {"archive.avi.framemd5: exists", "--force"});
    Ok("$K fixity --quiet --force archive.avi");
    EXPECT_EQ(ReadText(Path("archive.avi.framemd5")), written);

    const Result replaced = Run("$K encode --no-fixity source.avi archive.avi");
    EXPECT_EQ(replaced.status, 0);
    EXPECT_NE(replaced.err.find("note: archive.avi.framemd5: removed, the fixity file of the archive this one replaces"),
              std::string::npos)
        << replaced.err;
    ExpectNothingNamed("archive.avi.");
    Ok("$K encode --quiet source.avi /dev/null");
    EXPECT_FALSE(fs::exists("/dev/null.framemd5"));

    Ok("printf '#hash: MD5\\n#dimensions 0: 96x64\\n0, 0, 0, 1, 12288, not-a-digest\\n' > garbled.framemd5");
    const struct {
        std::string fixity;
        std::string problem;
    } cases[] = {
        {"longer-archive.avi.framemd5", "lists 6 pictures, the archive holds 5"},
        {"small-archive.avi.framemd5", "is of 64x48 pictures, the archive's are 96x64"},
        {"garbled.framemd5", "line 3 is not a framemd5 line"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fixity);
        const Result result = Run("$K verify --fixity " + c.fixity + " archive.avi");
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.out.find("archive.avi: the fixity file " + c.fixity + " " + c.problem + "\n"),
                  std::string::npos)
            << result.out;
        const Json report = JsonOf("$K verify --json --fixity " + c.fixity + " archive.avi", 1);
        EXPECT_EQ(report["fixity"]["state"], "mismatch");
        EXPECT_EQ(report["fixity"]["problem"], c.problem);
    }
    ExpectError("$K verify --fixity missing.framemd5 archive.avi", {"missing.framemd5: cannot be read"});
}

// The reports are one JSON object whatever the file's name, with the fields
// the README lists; a failure is an object too, with the same exit status.
TEST_F(FixityTest, ReportsAreOneJsonObject)
{
    MakeClip("source.avi", "76x20", "bgr24", 4, true, "crop=74:20:0:0");
    const std::string name = "a \"quoted\"\\ name ü\t.avi";
    const std::string quoted = "'a \"quoted\"\\ name ü\t.avi'";
    Ok("$K encode --quiet --lossy source.avi " + quoted);

    const Json info = JsonOf("$K info --json --frames " + quoted, 0);
    EXPECT_EQ(info["file"], name);
    EXPECT_EQ(info["width"], 74);
    EXPECT_EQ(info["frames"], 4);
    EXPECT_EQ(info["coders"]["HUFY"], 4);
    EXPECT_EQ(info["exact"], false);
    EXPECT_EQ(info["provenance"]["source_pixel_format"], "bgr24");
    EXPECT_EQ(info["provenance"]["mapping"], "bt601");
    EXPECT_EQ(info["fixity"], name + ".framemd5");
    EXPECT_EQ(info["streams"][0]["type"], "audio");
    EXPECT_EQ(info["frame_list"].size(), 4u);

    const Json verified = JsonOf("$K verify --json --against source.avi " + quoted, 0);
    EXPECT_EQ(verified["intact"], true);
    EXPECT_EQ(verified["fixity"]["state"], "match");
    EXPECT_EQ(verified["against"]["identical"], false);
    EXPECT_GT(verified["against"]["difference"]["psnr_db"].get<double>(), 20.0);
    EXPECT_TRUE(verified["against"]["difference"].contains("R"));
    EXPECT_EQ(verified["against"]["audio_identical"], true);
    EXPECT_EQ(verified["damaged"].size(), 0u);

    for (const std::string command : {"info", "verify"}) {
        const Json failed = JsonOf("$K " + command + " --json source.avi", 1);
        EXPECT_EQ(failed["file"], "source.avi");
        EXPECT_NE(failed["error"].get<std::string>().find("not KSHA"), std::string::npos) << failed.dump();
    }
}
} // namespace
