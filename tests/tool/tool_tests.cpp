// kestrun end to end: AVI, Y4M and raw files made by Debian's ffmpeg go
// through the tool and are checked with ffmpeg, ffprobe and by reading the
// AVI structure directly. Every test runs in a fresh temporary folder.
#include <functional>

#include "tool_test.h"

namespace {
// ---------------------------------------------------------------------------

TEST_F(ToolTest, PackedSourcesComeBackByteForByteWithTheirAudio)
{
    for (const std::string pixelFormat : {"yuyv422", "uyvy422"}) {
        SCOPED_TRACE(pixelFormat);
        MakeClip("source.avi", "96x64", pixelFormat, 12);
        const std::string format = pixelFormat == "yuyv422" ? "yuy2" : "uyvy";
        Ok("$K encode --quiet source.avi archive.avi");
        Ok("$K decode --quiet --format " + format + " archive.avi back.avi");
        const auto source = Pictures("source.avi", pixelFormat);
        ASSERT_EQ(source.size(), 96u * 64 * 2 * 12);
        EXPECT_EQ(Pictures("back.avi", pixelFormat), source);
        EXPECT_EQ(Audio("back.avi"), Audio("source.avi"));
        EXPECT_EQ(Audio("archive.avi"), Audio("source.avi"));
        // The other packed layout is the same samples moved about.
        Ok("$K decode --quiet --format " + std::string(format == "yuy2" ? "uyvy" : "yuy2") + " archive.avi other.avi");
        EXPECT_EQ(Pictures("other.avi", pixelFormat), source);
        // Raw output is the pictures alone, top row first.
        Ok("$K decode --quiet --format " + format + " archive.avi back.raw");
        EXPECT_EQ(ReadBytes(Path("back.raw")), source);
    }
}

TEST_F(ToolTest, RgbSourceComesBackWithinTheColourConversion)
{
    // An odd width: RGB24 takes any width of at least 2.
    MakeClip("source.avi", "76x20", "bgr24", 6, true, "format=bgr24,crop=75:20:0:0");
    // Lossy, so only when asked for: nothing is written, and the message says
    // what would be lost, how much, and how to ask.
    ExpectError("$K encode source.avi archive.avi",
                {"source.avi", "75x20 bgr24", "colour is stored as BT.601 4:2:2; decoded RGB differs from the source",
                 "PSNR", "--lossy"});
    ExpectNothingNamed("archive");
    Result lossy = Run("$K encode --lossy source.avi archive.avi");
    EXPECT_EQ(lossy.status, 0) << lossy.err;
    EXPECT_NE(lossy.err.find("archived lossy, as --lossy asks"), std::string::npos) << lossy.err;
    Ok("$K decode --quiet --format rgb24 archive.avi back24.avi");
    Ok("$K decode --quiet --format rgb32 archive.avi back32.avi");
    const auto source = Pictures("source.avi", "bgr24");
    const auto back = Pictures("back24.avi", "bgr24");
    ASSERT_EQ(back.size(), source.size());
    // The same pictures as the raw commands make of the same frames (which
    // take RGB bottom-up: the frames go in flipped and come out flipped).
    Ok("ffmpeg -nostdin -v error -i source.avi -map 0:v -vf vflip -f rawvideo -pix_fmt bgr24 -y flipped.bgr");
    Ok("$K raw-encode --quiet -s 75x20 -f rgb24 -q 0 flipped.bgr frames.ksha");
    Ok("$K raw-decode --quiet -s 75x20 -f rgb24 frames.ksha flipped-back.bgr");
    Ok("ffmpeg -nostdin -v error -f rawvideo -s 75x20 -pix_fmt bgr24 -i flipped-back.bgr -vf vflip -f rawvideo -y "
       "unflipped.bgr");
    EXPECT_EQ(back, ReadBytes(Path("unflipped.bgr")));
    // Within the colour conversion's error (an upside-down or shifted picture scores about 10 dB).
    EXPECT_GT(Psnr(back, source), 28.0);
    EXPECT_EQ(Pictures("back32.avi", "bgr24"), back);
    // Video for Windows hosts expect bottom-up RGB: a positive height in the AVI.
    const AviFacts facts = ReadAvi(Path("back24.avi"));
    EXPECT_EQ(facts.height, 20);
    EXPECT_EQ(facts.bitCount, 24);

    // verify says how far the pictures are from the source, never "identical"
    // (the audio, on a line of its own, is).
    const std::string verified = Ok("$K verify --quiet --against source.avi archive.avi | grep -v 'audio stream'");
    EXPECT_NE(verified.find("exactly what the codec makes of the source"), std::string::npos) << verified;
    EXPECT_NE(verified.find("largest difference R "), std::string::npos) << verified;
    EXPECT_NE(verified.find("PSNR "), std::string::npos) << verified;
    EXPECT_EQ(verified.find("identical"), std::string::npos) << verified;
    // The odd width reads everywhere: framemd5 and decode in RGB, with a note.
    EXPECT_NE(Ok("$K verify --quiet archive.avi").find("a lossy archive of a bgr24 source"), std::string::npos);
    const std::string hashes = "grep -v '^#' | cut -d, -f5-";
    EXPECT_EQ(Ok("$K framemd5 --quiet archive.avi | " + hashes),
              Ok("ffmpeg -nostdin -v error -i back24.avi -an -f framemd5 -pix_fmt bgr24 - | " + hashes));
    Result decoded = Run("$K decode archive.avi default.avi");
    EXPECT_EQ(decoded.status, 0) << decoded.err;
    EXPECT_NE(decoded.err.find("75 pixels wide"), std::string::npos) << decoded.err;
    EXPECT_EQ(Pictures("default.avi", "bgr24"), back);
    ExpectError("$K decode --format yuy2 archive.avi packed.avi", {"yuy2 needs an even width", "75 pixels wide"});
}

// Every other source must be converted: refused with what it would lose, and
// with --lossy archived and reported as distant from the source, never identical.
TEST_F(ToolTest, ConvertedSourcesAreTakenOnlyWhenAsked)
{
    const struct {
        const char* pixelFormat;
        const char* loss;
        const char* differences;
    } sources[] = {
        {"yuv422p10le", "10 bits a sample are narrowed to 8", "largest difference Y "},
        {"yuv444p", "chroma at full resolution is halved to 4:2:2", "largest difference Y 0, U "},
        {"yuva420p", "the alpha channel is dropped", ", A "},
        {"gray", "its levels are scaled into 16 to 235, and it gets neutral chroma", "largest difference Y "},
    };
    for (const auto& source : sources) {
        SCOPED_TRACE(source.pixelFormat);
        const std::string clip = std::string(source.pixelFormat) + ".nut";
        MakeClip(clip, "32x16", source.pixelFormat, 3, false);
        ExpectError("$K encode " + clip + " archive.avi", {source.pixelFormat, source.loss, "PSNR", "--lossy"});
        ExpectNothingNamed("archive");
        Ok("$K encode --quiet --lossy " + clip + " archive.avi");
        const std::string verified = Ok("$K verify --quiet --against " + clip + " archive.avi");
        EXPECT_NE(verified.find(source.differences), std::string::npos) << verified;
        EXPECT_NE(verified.find(source.loss), std::string::npos) << verified;
        EXPECT_EQ(verified.find("identical"), std::string::npos) << verified;
        EXPECT_NE(Ok("$K info archive.avi").find("lossy"), std::string::npos);
        Ok("rm archive.avi archive.avi.framemd5");
    }
}

// 4:2:0 and 4:1:1 sources, progressive and interlaced, are kept by repeating
// their chroma: their own pictures come back out, as framemd5, Y4M and
// verify show, and taking another subsampling out is lossy, so asked for.
TEST_F(ToolTest, SubsampledSourcesComeBackExactly)
{
    struct Case {
        const char* name;
        std::string make; // ffmpeg arguments after the test source
        const char* format;
        const char* kept;
    } cases[] = {
        {"ntsc.dv", "-target ntsc-dv", "yuv411p", "chroma samples repeated along the rows"},
        {"pal.dv", "-target pal-dv", "yuv420p", "chroma rows repeated in each field"},
        {"small.avi", "-s 66x30 -c:v ffv1 -pix_fmt yuv420p", "yuv420p", "chroma rows repeated"},
        {"full.avi", "-s 40x23 -c:v mjpeg -pix_fmt yuvj420p", "yuvj420p", "chroma rows repeated"},
    };
    const std::string hashes = " | grep -v '^#' | cut -d, -f5-";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Ok(std::string("ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=720x576:rate=25 -frames:v 4 ") + c.make +
           " -y " + c.name);
        Result encoded = Run(std::string("$K encode ") + c.name + " archive.avi");
        ASSERT_EQ(encoded.status, 0) << encoded.err;
        EXPECT_NE(encoded.err.find(std::string(c.format) + " is kept exactly, " + c.kept), std::string::npos)
            << encoded.err;
        const std::string theirs =
            Ok(std::string("ffmpeg -nostdin -v error -i ") + c.name + " -an -f framemd5 -pix_fmt " + c.format + " -");
        EXPECT_EQ(Ok(std::string("$K framemd5 --format ") + c.format + " archive.avi"), theirs);
        Ok(std::string("$K decode --quiet --format ") + c.format + " archive.avi back.y4m");
        EXPECT_EQ(Ok(std::string("ffmpeg -nostdin -v error -i back.y4m -f framemd5 -pix_fmt ") + c.format + " -" +
                     hashes),
                  Ok(std::string("ffmpeg -nostdin -v error -i ") + c.name + " -an -f framemd5 -pix_fmt " + c.format +
                     " -" + hashes));
        EXPECT_NE(Ok(std::string("$K verify --quiet --against ") + c.name + " archive.avi")
                      .find("4 frames intact (HUFY 4, LZYV 0), identical to the source"),
                  std::string::npos);
        const std::string info = Ok("$K info archive.avi");
        EXPECT_NE(info.find(std::string("pictures:    exact, ") + c.kept), std::string::npos) << info;
        // Another subsampling would interpolate: refused, then made when asked.
        const std::string range = std::string(c.format).rfind("yuvj", 0) == 0 ? "yuvj" : "yuv";
        const std::string other = range + (std::string(c.format).find("411") != std::string::npos ? "420p" : "411p");
        ExpectError(std::string("$K decode --format ") + other + " archive.avi other.avi", {"would interpolate", "--lossy"});
        Ok(std::string("$K decode --quiet --lossy --format ") + other + " archive.avi other.avi");
    }
}

TEST_F(ToolTest, ArchivesAreKshaAvisThatFfprobeReads)
{
    MakeClip("source.avi", "96x64", "yuyv422", 10);
    Ok("$K encode --quiet source.avi archive.avi");
    const AviFacts facts = ReadAvi(Path("archive.avi"));
    EXPECT_EQ(facts.videoHandler, "KSHA");
    EXPECT_EQ(facts.videoCompression, "KSHA");
    EXPECT_EQ(facts.bitCount, 16);
    EXPECT_EQ(facts.width, 96);
    EXPECT_EQ(facts.height, 64);
    EXPECT_EQ(facts.videoChunks, 10);
    EXPECT_EQ(facts.keyChunks, 10);
    EXPECT_EQ(facts.emptyChunks, 0); // a constant rate: no holds
    EXPECT_EQ(facts.audioStreams, 1);
    ASSERT_EQ(facts.frames.size(), 10u);
    for (const auto& frame : facts.frames) {
        ASSERT_GE(frame.size(), 8u);
        EXPECT_EQ(std::string(frame.begin(), frame.begin() + 4), "YFUH"); // HUFY, low byte first
        EXPECT_EQ(Le32(&frame[4]) + 8, frame.size());
    }

    const std::string streams = Ok("ffprobe -v error -count_packets -show_entries "
                                   "stream=codec_type,codec_tag_string,width,height,nb_frames,nb_read_packets,codec_name "
                                   "-of compact archive.avi");
    EXPECT_NE(streams.find("codec_type=video|codec_tag_string=KSHA|width=96|height=64|nb_frames=10|nb_read_packets=10"),
              std::string::npos)
        << streams;
    EXPECT_NE(streams.find("codec_name=pcm_s16le|codec_type=audio"), std::string::npos) << streams;
    const std::string flags = Ok("ffprobe -v error -select_streams v -show_entries packet=flags -of csv archive.avi");
    std::string keyFrames;
    for (int i = 0; i < 10; ++i) keyFrames += "packet,K_\n";
    EXPECT_EQ(flags, keyFrames);
}

TEST_F(ToolTest, Framemd5MatchesFfmpegOnTheSource)
{
    MakeClip("yuyv.avi", "96x64", "yuyv422", 8);
    MakeClip("uyvy.avi", "64x48", "uyvy422", 5, false);
    for (const std::string name : {"yuyv.avi", "uyvy.avi"}) {
        SCOPED_TRACE(name);
        Ok("$K encode --quiet " + name + " archive.avi");
        const std::string ours = Ok("$K framemd5 archive.avi");
        const std::string theirs = Ok("ffmpeg -nostdin -v error -i " + name + " -an -f framemd5 -pix_fmt yuyv422 -");
        EXPECT_EQ(ours, theirs);
        EXPECT_NE(ours.find("#dimensions 0:"), std::string::npos);
    }
    // The built-in sample is 4:2:0, kept exactly: its own pictures come back.
    Ok("$K encode --quiet --coder deflate \"$S/samples/city-720x405.mpg\" sample.avi");
    EXPECT_EQ(Ok("$K framemd5 --format yuv420p sample.avi"),
              Ok("ffmpeg -nostdin -v error -i \"$S/samples/city-720x405.mpg\" -f framemd5 -pix_fmt yuv420p -"));
}

TEST_F(ToolTest, Y4mGoesThroughPipesBothWays)
{
    MakeClip("source.avi", "96x64", "yuyv422", 7, false);
    const auto source = Pictures("source.avi", "yuyv422");
    Ok("ffmpeg -nostdin -v error -i source.avi -f yuv4mpegpipe -pix_fmt yuv422p - | $K encode --quiet - archive.avi");
    Ok("$K decode --quiet archive.avi - | ffmpeg -nostdin -v error -f yuv4mpegpipe -i - -f rawvideo -pix_fmt yuyv422 "
       "-y back.raw");
    EXPECT_EQ(ReadBytes(Path("back.raw")), source);
    Ok("$K decode --quiet archive.avi back.y4m");
    const std::string y4m = ReadText(Path("back.y4m"));
    EXPECT_EQ(y4m.substr(0, y4m.find('\n')), "YUV4MPEG2 W96 H64 F25:1 Ip A1:1 C422 XYSCSS=422");
    EXPECT_EQ(Pictures("back.y4m", "yuyv422"), source);
    // The converted sample comes through a pipe too, with a note that it was converted.
    Result result = Run("cat \"$S/samples/city-720x405.mpg\" | $K encode - piped.avi");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("yuv420p is kept exactly, chroma rows repeated"), std::string::npos) << result.err;
    Ok("$K verify --quiet --against \"$S/samples/city-720x405.mpg\" piped.avi");
}

TEST_F(ToolTest, ThreadCountsGiveIdenticalFiles)
{
    MakeClip("source.avi", "128x96", "yuyv422", 24);
    for (const std::string coder : {"huffman", "deflate", "smallest", "archive"}) {
        SCOPED_TRACE(coder);
        Ok("$K encode --quiet --coder " + coder + " --threads 1 source.avi one.avi");
        Ok("$K encode --quiet --coder " + coder + " --threads 4 source.avi four.avi");
        EXPECT_EQ(ReadBytes(Path("one.avi")), ReadBytes(Path("four.avi")));
    }
    Ok("$K decode --quiet --threads 1 one.avi one-back.avi && $K decode --quiet --threads 4 one.avi four-back.avi");
    EXPECT_EQ(ReadBytes(Path("one-back.avi")), ReadBytes(Path("four-back.avi")));
    EXPECT_EQ(Ok("$K framemd5 --threads 1 one.avi"), Ok("$K framemd5 --threads 3 one.avi"));
    Ok("ffmpeg -nostdin -v error -i source.avi -f rawvideo -y source.yuy2");
    Ok("$K raw-encode --quiet -s 128x96 -f yuy2 -q 0 --threads 1 source.yuy2 one.ksha");
    Ok("$K raw-encode --quiet -s 128x96 -f yuy2 -q 0 --threads 4 source.yuy2 four.ksha");
    EXPECT_EQ(ReadBytes(Path("one.ksha")), ReadBytes(Path("four.ksha")));
    Ok("$K raw-decode --quiet -s 128x96 -f yuy2 --threads 4 four.ksha four.yuy2");
    EXPECT_EQ(ReadBytes(Path("four.yuy2")), ReadBytes(Path("source.yuy2")));
}

TEST_F(ToolTest, PicturesReadWhereTheyLieGiveTheDemuxersFrames)
{
    // A source of packed 4:2:2 alone, with its index, is read where its
    // pictures lie, by the workers; with an audio track, or without an
    // index, through the demuxer. Every way gives raw-encode's frames.
    for (const std::string pixelFormat : {"yuyv422", "uyvy422"}) {
        SCOPED_TRACE(pixelFormat);
        const std::string format = pixelFormat == "yuyv422" ? "yuy2" : "uyvy";
        MakeClip("video.avi", "128x96", pixelFormat, 12, false);
        MakeClip("with-audio.avi", "128x96", pixelFormat, 12, true);
        Ok("ffmpeg -nostdin -v error -i video.avi -f rawvideo -y pictures.raw");
        Ok("$K raw-encode --quiet -s 128x96 -f " + format + " -q 0 pictures.raw frames.ksha");
        const std::vector<uint8_t> frames = ReadBytes(Path("frames.ksha"));
        ASSERT_FALSE(frames.empty());
        for (const std::string threads : {"1", "3"}) {
            Ok("$K encode --quiet --threads " + threads + " video.avi archive-" + threads + ".avi");
            EXPECT_EQ(JoinedFrames(Path("archive-" + threads + ".avi")), frames) << threads << " threads";
        }
        EXPECT_EQ(ReadBytes(Path("archive-1.avi")), ReadBytes(Path("archive-3.avi")));
        Ok("$K encode --quiet --threads 2 with-audio.avi demuxed.avi");
        EXPECT_EQ(JoinedFrames(Path("demuxed.avi")), frames);
    }

    std::vector<uint8_t> file = ReadBytes(Path("video.avi"));
    const std::size_t index = std::string(file.begin(), file.end()).rfind("idx1");
    ASSERT_NE(index, std::string::npos);
    std::vector<uint8_t> unindexed = file;
    std::memcpy(&unindexed[index], "JUNK", 4);
    WriteBytes(Path("unindexed.avi"), unindexed);
    Ok("$K encode --quiet --threads 2 unindexed.avi archive.avi");
    EXPECT_EQ(JoinedFrames(Path("archive.avi")), ReadBytes(Path("frames.ksha")));

    // A chunk that is not where the index puts it is named, and nothing is kept.
    const std::size_t movi = std::string(file.begin(), file.end()).find("movi");
    ASSERT_NE(movi, std::string::npos);
    const std::size_t chunk5 = movi + 4 + 5 * (8 + 128 * 96 * 2);
    ASSERT_EQ(std::string(file.begin() + long(chunk5), file.begin() + long(chunk5 + 4)), "00dc");
    std::memcpy(&file[chunk5 + 2], "xx", 2);
    WriteBytes(Path("moved.avi"), file);
    ExpectError("$K encode --threads 2 moved.avi out.avi", {"moved.avi", "picture 5 is not where the index puts it"});
    ExpectNothingNamed("out.avi");
}

TEST_F(ToolTest, UniformPicturesWithTinyFramesAreKept)
{
    // All-zero pictures leave one residual value: a HUFY frame of a few bytes,
    // which is complete although far shorter than any other frame can be.
    Ok("head -c $((256*256*2*3)) /dev/zero > zero.yuy2 && ffmpeg -nostdin -v error -f rawvideo -s 256x256 "
       "-pix_fmt yuyv422 -r 25 -i zero.yuy2 -c:v rawvideo -y zero.avi");
    Ok("$K encode --quiet zero.avi zero-ksha.avi");
    const auto sizes = FrameSizes(Ok("$K info --frames zero-ksha.avi"));
    ASSERT_EQ(sizes.size(), 3u);
    EXPECT_LT(sizes.at(0).second, 32);
    Ok("$K verify --quiet --against zero.avi zero-ksha.avi");
    Ok("$K decode --quiet zero-ksha.avi back.yuy2");
    EXPECT_EQ(ReadBytes(Path("back.yuy2")), ReadBytes(Path("zero.yuy2")));
}

TEST_F(ToolTest, SmallestIsNeverLargerThanEitherCoder)
{
    // Smooth test pictures, then noise, where the coders' order changes.
    MakeClip("smooth.avi", "96x64", "yuyv422", 6, false);
    Ok("head -c $((96*64*2*6)) /dev/urandom > noise.yuy2 && ffmpeg -nostdin -v error -f rawvideo -s 96x64 -pix_fmt "
       "yuyv422 -r 25 -i noise.yuy2 -c:v rawvideo -y noise.avi");
    Ok("$K encode --quiet --coder archive smooth.avi smooth-archive.avi");
    for (const std::string source : {"smooth.avi", "noise.avi"}) {
        SCOPED_TRACE(source);
        std::map<std::string, std::map<int, std::pair<std::string, long>>> sizes;
        for (const std::string coder : {"huffman", "deflate", "smallest", "archive"}) {
            Ok("$K encode --quiet --coder " + coder + " " + source + " " + coder + ".avi");
            sizes[coder] = FrameSizes(Ok("$K info --frames " + coder + ".avi"));
            ASSERT_EQ(sizes[coder].size(), 6u);
            Ok("$K verify --quiet --against " + source + " " + coder + ".avi");
        }
        for (int n = 0; n < 6; ++n) {
            SCOPED_TRACE(n);
            EXPECT_EQ(sizes["deflate"][n].first, "LZYV");
            // Smallest keeps one of the two frames: the smaller, the Huffman coder's on a tie
            // (which is itself a stored LZYV frame when Huffman codes cannot fit).
            const auto& huffman = sizes["huffman"][n];
            const auto& deflate = sizes["deflate"][n];
            EXPECT_EQ(sizes["smallest"][n], huffman.second <= deflate.second ? huffman : deflate);
        }
    }
    // The archive coder writes ordinary deflate frames of the smooth pictures.
    const std::string archive = Ok("$K info smooth-archive.avi");
    EXPECT_NE(archive.find("LZYV 6"), std::string::npos) << archive;
    const std::string info = Ok("$K info deflate.avi");
    EXPECT_NE(info.find("LZYV 6"), std::string::npos) << info;
    EXPECT_NE(info.find("KSHA 96x64, 6 frames"), std::string::npos) << info;
}

// Sources with timing of their own and audio that AVI does not carry: each
// picture keeps its time within half a frame slot, the slots between
// pictures are holds, which decode repeats, and the audio, as PCM, starts
// and ends with the pictures.
TEST_F(ToolTest, PicturesKeepTheirTimesAndTheAudioKeepsInStep)
{
    const std::string make = "ffmpeg -nostdin -v error -f lavfi -i testsrc=size=64x48:rate=30 -f lavfi -i "
                             "sine=frequency=440:sample_rate=48000 -t 1.5 -c:v libx264 -pix_fmt yuv420p ";
    const struct {
        const char* name;
        const char* options;
        int pictures, frames;
        double audioFrame; // seconds
    } cases[] = {
        // As from a phone: the first two pictures 0.18 s apart, then 1/30 s.
        {"phone.mp4", "-vf \"settb=1/300,setpts='PTS+gte(N,1)*44'\" -fps_mode passthrough -enc_time_base:v 1/300 "
                      "-c:a aac", 41, 45, 1024 / 48000.0},
        {"steady.mp4", "-bf 2 -c:a aac", 45, 45, 1024 / 48000.0},
        {"steady.mkv", "-c:a libopus", 45, 45, 960 / 48000.0},
    };
    const std::size_t pictureBytes = 64 * 48 * 3 / 2; // the sources' own 4:2:0
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Ok(make + c.options + " -y " + c.name);
        const Result encoded = Run("$K encode " + std::string(c.name) + " archive.avi");
        ASSERT_EQ(encoded.status, 0) << encoded.err;
        const std::string codec = std::strstr(c.name, "mkv") ? "opus" : "aac";
        EXPECT_NE(encoded.err.find("audio decoded to PCM: stream 1 (" + codec + " to f32le: AVI does not carry " +
                                   codec + " as it is)"),
                  std::string::npos)
            << encoded.err;
        EXPECT_EQ(encoded.err.find("half a frame slot"), std::string::npos) << encoded.err;
        const AviFacts facts = ReadAvi(Path("archive.avi"));
        EXPECT_EQ(facts.videoChunks, c.frames);
        EXPECT_EQ(facts.emptyChunks, c.frames - c.pictures);
        EXPECT_EQ(Ok("ffprobe -v error -select_streams a -show_entries stream=codec_name -of csv=p=0 archive.avi"),
                  "pcm_f32le\n");
        EXPECT_NEAR(StreamEnd("archive.avi", "v"), c.frames / 30.0, 1e-6);
        EXPECT_NEAR(StreamEnd("archive.avi", "a"), StreamEnd("archive.avi", "v"), c.audioFrame);

        const std::vector<double> source = Probe(c.name, "v", "frame=best_effort_timestamp_time");
        const std::vector<double> archive = Probe("archive.avi", "v", "packet=pts_time");
        ASSERT_EQ(source.size(), std::size_t(c.pictures));
        ASSERT_EQ(archive.size(), source.size());
        for (std::size_t i = 0; i < source.size(); ++i)
            EXPECT_LE(std::fabs(archive[i] - (source[i] - source[0])), 0.5 / 30 + 1e-6) << "picture " << i;

        const std::vector<std::string> sums = Md5Column(Ok("$K framemd5 --format yuv420p archive.avi"));
        EXPECT_EQ(sums.size(), std::size_t(c.pictures));
        EXPECT_EQ(sums, Md5Column(Ok("ffmpeg -nostdin -v error -i " + std::string(c.name) +
                                     " -an -fps_mode passthrough -f framemd5 -")));
        const std::string verified = Ok("$K verify --against " + std::string(c.name) + " archive.avi");
        EXPECT_NE(verified.find("archive.avi: " + std::to_string(c.pictures) + " frames intact"), std::string::npos);
        EXPECT_NE(verified.find("archive.avi: audio stream 1: identical to the source (48000 Hz, 1 channel, " +
                                std::to_string(c.frames * 1600) + " samples)\n"),
                  std::string::npos)
            << verified;
        int holds = 0;
        for (const auto& [number, frame] : FrameSizes(Ok("$K info --frames archive.avi")))
            holds += frame == std::make_pair(std::string("hold"), 0L);
        EXPECT_EQ(holds, c.frames - c.pictures);

        // One picture a frame: each frame shows the last picture at or before it.
        Ok("$K decode --quiet --format yuv420p archive.avi back.avi");
        const std::vector<uint8_t> pictures = Pictures(c.name, "yuv420p"), back = Pictures("back.avi", "yuv420p");
        ASSERT_EQ(back.size(), c.frames * pictureBytes);
        std::size_t shown = 0;
        for (int frame = 0; frame < c.frames; ++frame) {
            while (shown + 1 < archive.size() && std::lround(archive[shown + 1] * 30) <= frame) ++shown;
            EXPECT_TRUE(std::equal(back.begin() + long(frame * pictureBytes), back.begin() + long((frame + 1) * pictureBytes),
                                   pictures.begin() + long(shown * pictureBytes)))
                << "frame " << frame;
        }
        // Y4M and raw output repeat the picture from a buffer the decoding
        // workers must not reuse before the holds are written; a reuse shows
        // only in some runs, so there are several.
        for (int run = 0; run < 4; ++run) {
            Ok("$K decode --quiet --threads 2 --format yuv420p archive.avi back.y4m");
            EXPECT_EQ(Pictures("back.y4m", "yuv420p"), back) << "run " << run;
        }
    }
}

// Two pictures in one slot: both are kept, the later a slot on, and the note says by how much.
TEST_F(ToolTest, PicturesThatShareASlotAreAllKept)
{
    Ok("ffmpeg -nostdin -v error -f lavfi -i testsrc=size=64x48:rate=30 -vf \"settb=1/300,setpts='PTS-eq(N,1)*7'\" "
       "-fps_mode passthrough -enc_time_base:v 1/300 -t 0.5 -c:v libx264 -pix_fmt yuv420p -y crowded.mp4");
    const Result encoded = Run("$K encode crowded.mp4 archive.avi");
    EXPECT_EQ(encoded.status, 0);
    EXPECT_NE(encoded.err.find("note: crowded.mp4: 1 picture is more than half a frame slot (16.7 ms) from its time: "
                               "pictures that fall in one slot go to the next free one; the largest shift is 23.3 ms"),
              std::string::npos)
        << encoded.err;
    EXPECT_EQ(Md5Column(Ok("$K framemd5 --format yuv420p archive.avi")),
              Md5Column(Ok("ffmpeg -nostdin -v error -i crowded.mp4 -fps_mode passthrough -f framemd5 -")));
    EXPECT_EQ(ReadAvi(Path("archive.avi")).emptyChunks, 0);
}

// Audio that AVI carries as it is is copied; the rest goes in as the PCM of
// its decoder's sample type, silence first where it starts after the
// pictures. verify decodes each and finds it the source's, and says how
// another source's differs.
TEST_F(ToolTest, EveryAudioStreamGoesIn)
{
    const struct {
        const char* name;
        const char* audio;   // the second input and its codec
        const char* archive; // codec_name,channels in the archive
        const char* note;    // "" for a copy
    } cases[] = {
        {"mp3.mkv", "-f lavfi -i sine=sample_rate=44100 -c:a libmp3lame", "mp3,1", ""},
        {"ac3.mp4", "-f lavfi -i sine=sample_rate=48000 -c:a ac3", "ac3,1", ""},
        {"be.mov", "-f lavfi -i sine=sample_rate=22050 -c:a pcm_s16be", "pcm_s16le,1",
         "audio decoded to PCM: stream 1 (pcm_s16be to s16le: AVI does not carry pcm_s16be as it is)"},
        {"flac.mkv", "-f lavfi -i sine=sample_rate=44100,aformat=s32 -c:a flac", "pcm_s32le,1",
         "audio decoded to PCM: stream 1 (flac to s32le: AVI does not carry flac as it is)"},
        {"surround.mp4", "-f lavfi -i sine=sample_rate=48000,aformat=channel_layouts=5.1 -c:a aac", "pcm_f32le,6",
         "audio decoded to PCM: stream 1 (aac to f32le: AVI does not carry aac as it is)"},
        {"late.mkv", "-itsoffset 0.4 -f lavfi -i sine=sample_rate=48000 -c:a ac3", "pcm_f32le,1",
         "(ac3 to f32le: it does not start with the pictures)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Ok("ffmpeg -nostdin -v error -f lavfi -i testsrc=size=64x48:rate=25 " + std::string(c.audio) +
           " -t 1 -c:v libx264 -pix_fmt yuv420p -y " + c.name);
        const Result encoded = Run("$K encode " + std::string(c.name) + " archive.avi");
        ASSERT_EQ(encoded.status, 0) << encoded.err;
        EXPECT_EQ(encoded.err.find(*c.note ? c.note : "audio decoded") != std::string::npos, *c.note != 0)
            << encoded.err;
        EXPECT_EQ(Ok("ffprobe -v error -select_streams a -show_entries stream=codec_name,channels -of csv=p=0 "
                     "archive.avi"),
                  c.archive + std::string("\n"));
        const std::string verified = Ok("$K verify --against " + std::string(c.name) + " archive.avi");
        EXPECT_NE(verified.find("archive.avi: audio stream 1: identical to the source"), std::string::npos) << verified;
    }
    // Starting 0.4 s after the pictures (less the 5 ms the pictures start late): silence first.
    Ok("$K encode --quiet late.mkv archive.avi");
    const std::vector<uint8_t> late = Audio("archive.avi");
    const std::size_t silent = 4 * 48000 * 395 / 1000;
    ASSERT_GT(late.size(), silent + 4000);
    EXPECT_EQ(std::count(late.begin(), late.begin() + long(silent), 0), long(silent));
    EXPECT_LT(std::count(late.begin() + long(silent), late.begin() + long(silent + 4000), 0), 1000);

    // Two audio streams and subtitles: both go in, in order; the subtitles are named.
    Ok("printf '1\\n00:00:00,000 --> 00:00:00,500\\nhello\\n' > words.srt");
    Ok("ffmpeg -nostdin -v error -f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i sine=sample_rate=48000 -f lavfi "
       "-i sine=sample_rate=44100:frequency=1000 -i words.srt -map 0 -map 1 -map 2 -map 3 -t 1 -c:v libx264 -pix_fmt yuv420p -c:a:0 "
       "aac -c:a:1 libmp3lame -c:s srt -y two.mkv");
    const Result encoded = Run("$K encode two.mkv archive.avi");
    EXPECT_NE(encoded.err.find("note: two.mkv: stream 3 (subtitle) left out"), std::string::npos) << encoded.err;
    EXPECT_EQ(Ok("ffprobe -v error -select_streams a -show_entries stream=codec_name -of csv=p=0 archive.avi"),
              "pcm_f32le\nmp3\n");
    const std::string verified = Ok("$K verify --against two.mkv archive.avi");
    EXPECT_NE(verified.find("audio stream 1: identical to the source (48000 Hz, 1 channel, 48000 samples)\n"
                            "archive.avi: audio stream 2: identical to the source (44100 Hz, 1 channel,"),
              std::string::npos)
        << verified;

    // An AVI's PCM is copied, and compared with other sources' audio.
    const std::string avi = "ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=64x48:rate=25 -f lavfi -i "
                            "sine=sample_rate=8000:frequency=";
    const std::string as = " -frames:v 12 -c:v rawvideo -pix_fmt yuyv422 -c:a pcm_s16le -t ";
    Ok(avi + "440" + as + "0.48 -y tone.avi && " + avi + "1000" + as + "0.48 -y other.avi && " + avi + "440" + as +
       "0.48 -af atrim=end=0.3 -y short.avi");
    Ok("$K encode --quiet tone.avi archive.avi");
    Ok("ffmpeg -nostdin -v error -i tone.avi -an -c:v copy -y silent.avi");
    const Result unheard = Run("$K verify --against silent.avi archive.avi");
    EXPECT_EQ(unheard.status, 1);
    EXPECT_NE(unheard.out.find("archive.avi: audio: the archive holds 1 audio stream, the source 0\n"), std::string::npos)
        << unheard.out;
    for (const auto& [source, says] : std::vector<std::pair<std::string, std::string>>{
             {"other.avi", "they first differ at sample 1 (channel 1)"},
             {"short.avi", "the archive holds 3840 samples, the source 2400; the first 2400 are the same"}}) {
        const Result result = Run("$K verify --against " + source + " archive.avi");
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.out.find("12 frames intact (HUFY 12, LZYV 0), identical to the source\n"
                                  "archive.avi: every picture matches its digest in archive.avi.framemd5\n"
                                  "archive.avi: audio stream 1: differs from the source: " + says + "\n"),
                  std::string::npos)
            << result.out;
    }
}

TEST_F(ToolTest, VerifyListsEveryDamagedFrameAndKeepsGoing)
{
    MakeClip("source.avi", "96x64", "yuyv422", 10);
    MakeClip("other.avi", "96x64", "uyvy422", 10);
    Ok("$K encode --quiet source.avi archive.avi");
    const std::string good = Ok("$K verify --against source.avi archive.avi");
    EXPECT_NE(good.find("10 frames intact"), std::string::npos) << good;
    EXPECT_NE(good.find("identical to the source"), std::string::npos) << good;

    std::vector<uint8_t> file = ReadBytes(Path("archive.avi"));
    std::size_t f2 = FrameOffset(file, 2), f5 = FrameOffset(file, 5), f7 = FrameOffset(file, 7);
    ASSERT_TRUE(f2 && f5 && f7);
    std::memcpy(&file[f2], "XXXX", 4);                               // unknown tag
    const uint32_t length = Le32(&file[f5 + 4]) - 1;                 // one byte after the payload
    std::memcpy(&file[f5 + 4], &length, 4);
    file[f7 + 8 + Le32(&file[f7 + 4]) / 2] ^= 0x40;                  // a flipped bit in the codes
    WriteBytes(Path("damaged.avi"), file);

    Result result = Run("$K verify --against source.avi damaged.avi");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("frame 2 is damaged: it has an unknown tag"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("frame 5 is damaged: 1 bytes follow the payload"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("frame 7 is damaged"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("3 of 10 frames damaged: 2, 5, 7"), std::string::npos) << result.out;
    // Without a source the structure still gives frames 2 and 5 away.
    result = Run("$K verify damaged.avi");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("frame 2 is damaged"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("frame 5 is damaged"), std::string::npos) << result.out;
    // Another source: the first difference of each frame.
    result = Run("$K verify --against other.avi archive.avi");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("frame 0 is damaged: differs from the source first at row "), std::string::npos)
        << result.out;
    // A truncated archive.
    Ok("head -c $(( $(stat -c %s archive.avi) * 2 / 3 )) archive.avi > cut.avi");
    result = Run("$K verify cut.avi");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("is truncated"), std::string::npos) << result.out;
    // decode and framemd5 refuse damaged and truncated archives and leave nothing.
    ExpectError("$K decode --quiet damaged.avi back.avi", {"damaged.avi", "frame 2 is damaged"});
    ExpectError("$K decode --quiet cut.avi back.avi", {"cut.avi", "truncated"});
    ExpectError("$K framemd5 damaged.avi sums.txt", {"damaged.avi", "frame 2 is damaged"});
    ExpectNothingNamed("back.avi");
    ExpectNothingNamed("sums.txt");
}

// Frame 1 damaged in every way that can be made in place, and what is said of
// it: verify reads it to the end of its stream, decode and framemd5 name
// what its header shows. They decode what the chunk holds, as the driver
// does, whatever the payload length says.
TEST_F(ToolTest, DamagedFramesAreDescribedByWhatIsWrong)
{
    MakeClip("source.avi", "96x64", "yuyv422", 4, false);
    Ok("$K encode --quiet source.avi huffman.avi && $K encode --quiet --coder deflate source.avi deflate.avi");
    const std::string notDecoded = "is damaged: it does not decode to a 96x64 picture (kestrun verify tells more)";
    struct Case {
        const char* archive;
        // Damages the frame, whose content starts at `at` with a payload of
        // `length` bytes; gives what verify and decode say of it ("": decode
        // takes it).
        std::function<std::pair<std::string, std::string>(std::vector<uint8_t>& file, std::size_t at, uint32_t length)>
            damage;
    };
    auto setLength = [](std::vector<uint8_t>& file, std::size_t at, uint32_t length) {
        std::memcpy(&file[at + 4], &length, 4);
    };
    // The HUFY stream's 24-bit length field, first in the payload.
    auto addToStreamLength = [](std::vector<uint8_t>& file, std::size_t at, int delta) {
        const uint32_t length = uint32_t(int(file[at + 8] | file[at + 9] << 8 | file[at + 10] << 16) + delta);
        for (int i = 0; i < 3; ++i) file[at + 8 + i] = uint8_t(length >> (8 * i));
    };
    const Case cases[] = {
        {"huffman.avi",
         [](std::vector<uint8_t>& file, std::size_t at, uint32_t) {
             std::memcpy(&file[at], "XXXX", 4);
             const std::string tag = "it has an unknown tag 0x58585858 (not a HUFY or LZYV frame)";
             return std::make_pair(tag, "is damaged: " + tag);
         }},
        {"deflate.avi",
         [&](std::vector<uint8_t>& file, std::size_t at, uint32_t length) {
             setLength(file, at, length - 3);
             return std::make_pair("3 bytes follow the payload of " + std::to_string(length - 3) + " bytes", notDecoded);
         }},
        {"huffman.avi",
         [&](std::vector<uint8_t>& file, std::size_t at, uint32_t length) {
             setLength(file, at, length + 5);
             const std::string claimed = std::to_string(length + 5), held = std::to_string(length);
             return std::make_pair(
                 "its payload length " + claimed + " runs past the " + held + " bytes the chunk holds (truncated)",
                 std::string());
         }},
        {"huffman.avi",
         [&](std::vector<uint8_t>& file, std::size_t at, uint32_t) {
             addToStreamLength(file, at, -1);
             return std::make_pair(std::string("its HUFY stream holds 12287 bytes, not the 12288 of a 96x64 picture"),
                                   notDecoded);
         }},
        {"huffman.avi",
         [&](std::vector<uint8_t>& file, std::size_t at, uint32_t) {
             addToStreamLength(file, at, 1);
             return std::make_pair(std::string("its HUFY stream does not decode"), notDecoded);
         }},
        {"deflate.avi",
         [&](std::vector<uint8_t>& file, std::size_t at, uint32_t length) {
             file[at + 8 + length - 1] ^= 0x01; // the Adler-32
             return std::make_pair(
                 std::string("its LZYV stream does not inflate to exactly a 96x64 picture with a good checksum"),
                 notDecoded);
         }},
        {"huffman.avi",
         [](std::vector<uint8_t>& file, std::size_t, uint32_t) {
             ResizeFrameChunk(file, 1, 3);
             return std::make_pair(std::string("its header is cut short (3 of 8 bytes)"),
                                   std::string("is truncated: its header is cut short"));
         }},
        {"deflate.avi",
         [](std::vector<uint8_t>& file, std::size_t, uint32_t length) {
             ResizeFrameChunk(file, 1, 12);
             return std::make_pair(std::string("its 12 bytes are too few for a 96x64 picture"),
                                   "is truncated: it holds 4 of its " + std::to_string(length) + " payload bytes");
         }},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("case " + std::to_string(n++) + " on " + c.archive);
        std::vector<uint8_t> file = ReadBytes(Path(c.archive));
        const std::size_t at = FrameOffset(file, 1);
        ASSERT_NE(at, 0u);
        const auto [verifySays, decodeSays] = c.damage(file, at, Le32(&file[at + 4]));
        WriteBytes(Path("damaged.avi"), file);
        Result result = Run("$K verify --fixity " + std::string(c.archive) + ".framemd5 damaged.avi");
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "damaged.avi: frame 1 is damaged: " + verifySays + "\ndamaged.avi: 1 of 4 frames damaged: 1\n");
        result = Run("$K decode --quiet damaged.avi back.avi");
        EXPECT_EQ(result.status, decodeSays.empty() ? 0 : 1);
        EXPECT_EQ(result.err, decodeSays.empty() ? "" : "kestrun decode: damaged.avi: frame 1 " + decodeSays + "\n");
        result = Run("$K framemd5 damaged.avi sums.txt");
        EXPECT_EQ(result.status, decodeSays.empty() ? 0 : 1);
        EXPECT_EQ(result.err, decodeSays.empty() ? ""
                                                 : "kestrun framemd5: damaged.avi: frame 1 " + decodeSays +
                                                       "; no checksum for it\n");
        if (decodeSays.empty()) {
            EXPECT_EQ(Pictures("back.avi", "yuyv422"), Pictures("source.avi", "yuyv422"));
            Ok("rm back.avi sums.txt");
        }
        ExpectNothingNamed("back.avi");
        ExpectNothingNamed("sums.txt");
    }
}

// A zero-length frame shows the picture before it again; before the first
// picture there is none to show, which is damage.
TEST_F(ToolTest, ZeroLengthFramesAreHoldsAfterAPicture)
{
    MakeClip("source.avi", "96x64", "yuyv422", 4, false);
    Ok("$K encode --quiet source.avi archive.avi");
    const std::vector<uint8_t> file = ReadBytes(Path("archive.avi"));
    std::vector<uint8_t> held = file, leading = file;
    ResizeFrameChunk(held, 2, 0);
    ResizeFrameChunk(leading, 0, 0);
    WriteBytes(Path("held.avi"), held);
    WriteBytes(Path("leading.avi"), leading);

    EXPECT_EQ(Ok("$K verify held.avi | head -1"),
              "held.avi: 3 frames intact (HUFY 3, LZYV 0); an exact archive of a yuyv422 source\n");
    EXPECT_EQ(FrameSizes(Ok("$K info --frames held.avi")).at(2), std::make_pair(std::string("hold"), 0L));
    EXPECT_EQ(Md5Column(Ok("$K framemd5 held.avi")).size(), 3u);
    Ok("$K decode --quiet held.avi back.yuy2");
    std::vector<uint8_t> expected = Pictures("source.avi", "yuyv422");
    const std::size_t bytes = 96 * 64 * 2;
    std::copy(expected.begin() + long(bytes), expected.begin() + long(2 * bytes), expected.begin() + long(2 * bytes));
    EXPECT_EQ(ReadBytes(Path("back.yuy2")), expected);

    const Result result = Run("$K verify leading.avi");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("leading.avi: frame 0 is damaged: it is empty, and no picture comes before it to repeat"),
              std::string::npos)
        << result.out;
    ExpectError("$K decode leading.avi back.avi", {"leading.avi: frame 0 is empty, and no picture comes before it"});
    ExpectError("$K framemd5 leading.avi", {"leading.avi: frame 0 is empty"});
    ExpectNothingNamed("back.avi");
}

TEST_F(ToolTest, BadInputsAreNamedAndLeaveNoOutput)
{
    MakeClip("source.avi", "64x48", "yuyv422", 3);
    Ok("$K encode --quiet source.avi archive.avi");
    Ok("echo 'not a video at all' > notes.txt");
    Ok("ffmpeg -nostdin -v error -f lavfi -i sine -t 0.2 -y tone.wav");
    Ok("printf 'YUV4MPEG2 W63 H4 F25:1 Ip A1:1 C422\\n' > odd.y4m; for i in 1 2; do printf 'FRAME\\n' >> odd.y4m; "
       "head -c $((63*4 + 32*4*2)) /dev/zero >> odd.y4m; done");
    Ok("ffmpeg -nostdin -v error -f rawvideo -s 1x16 -pix_fmt bgr24 -r 25 -i /dev/zero -frames:v 2 -c:v rawvideo -y "
       "thin.avi");
    Ok("head -c 6000 source.avi > cut-source.avi");

    ExpectError("$K encode notes.txt out.avi", {"notes.txt", "not a video"});
    ExpectError("$K encode tone.wav out.avi", {"tone.wav", "no video stream"});
    ExpectError("$K encode odd.y4m out.avi", {"odd.y4m", "63x4", "even width"});
    ExpectError("$K encode thin.avi out.avi", {"thin.avi", "1x16", "at least 2x1"});
    ExpectError("$K encode missing.avi out.avi", {"missing.avi", "No such file"});
    ExpectError("$K encode archive.avi out.avi", {"archive.avi", "already a KSHA archive"});
    ExpectError("$K encode --coder fastest source.avi out.avi", {"--coder takes huffman, deflate, smallest or archive"});
    ExpectError("$K encode source.avi no-such-folder/out.avi", {"no-such-folder/out.avi", "cannot write"});
    ExpectError("$K encode source.avi /dev/full", {"/dev/full", "No space left on device"});
    ExpectNothingNamed("out.avi");
    for (const std::string command : {"decode", "verify", "framemd5", "info"}) {
        const std::string line = "$K " + command + " source.avi" + (command == "decode" ? " out.avi" : "");
        ExpectError(line, {"source.avi", "rawvideo 'YUY2', not KSHA"});
        ExpectError("$K " + command + " notes.txt" + (command == "decode" ? " out.avi" : ""),
                    {"notes.txt", "not a video"});
    }
    ExpectError("$K decode archive.avi /dev/full", {"/dev/full", "No space left on device"});
    ExpectError("$K decode archive.avi - > /dev/full", {"standard output", "No space left on device"});
    ExpectError("$K framemd5 archive.avi > /dev/full", {"No space left on device"});
    ExpectError("$K decode archive.avi no-such-folder/out.y4m", {"no-such-folder/out.y4m", "cannot write"});
    ExpectError("$K decode --format rgb16 archive.avi out.avi", {"--format takes yuy2, yuyv422, uyvy", "not \"rgb16\""});
    ExpectNothingNamed("out.");
    // A read-only folder.
    if (::geteuid() != 0) {
        Ok("mkdir locked && chmod a-w locked");
        ExpectError("$K encode source.avi locked/out.avi", {"locked/out.avi", "cannot write"});
    }
}

TEST_F(ToolTest, RawCommandsNameTheFrameThatIsWrong)
{
    MakeClip("source.avi", "32x16", "yuyv422", 4, false);
    Ok("ffmpeg -nostdin -v error -i source.avi -f rawvideo -y source.yuy2");
    // A truncated last frame.
    Ok("head -c $((32*16*2*3 + 100)) source.yuy2 > cut.yuy2");
    // Workers read a regular file themselves; one thread, or a pipe, is read in order.
    ExpectError("$K raw-encode --threads 2 -s 32x16 -f yuy2 -q 0 cut.yuy2 out.ksha",
                {"cut.yuy2", "frame 3 is truncated: 100 of 1024 bytes"});
    ExpectError("$K raw-encode --threads 1 -s 32x16 -f yuy2 -q 0 cut.yuy2 out.ksha",
                {"cut.yuy2", "frame 3 is truncated: 100 of 1024 bytes"});
    ExpectError("cat cut.yuy2 | $K raw-encode --threads 2 -s 32x16 -f yuy2 -q 0 - out.ksha",
                {"standard input", "frame 3 is truncated: 100 of 1024 bytes"});
    Ok("$K raw-encode --quiet --threads 2 -s 32x16 -f yuy2 -q 0 source.yuy2 two.ksha");
    Ok("$K raw-encode --quiet --threads 1 -s 32x16 -f yuy2 -q 0 source.yuy2 one.ksha");
    EXPECT_EQ(ReadBytes(Path("two.ksha")), ReadBytes(Path("one.ksha")));
    ExpectError("$K raw-encode -s 32x16 -f yuy2 -q 0 /dev/null out.ksha", {"holds no frame"});
    // A size the format cannot take.
    ExpectError("$K raw-encode -s 31x16 -f yuy2 -q 0 source.yuy2 out.ksha", {"31x16", "even width"});
    ExpectError("$K raw-decode -s 1x16 -f rgb24 source.yuy2 out.raw", {"1x16", "at least 2x1"});
    ExpectNothingNamed("out.");

    Ok("$K raw-encode --quiet -s 32x16 -f yuy2 -q 0 source.yuy2 frames.ksha");
    std::vector<uint8_t> frames = ReadBytes(Path("frames.ksha"));
    std::vector<std::size_t> starts;
    for (std::size_t at = 0; at + 8 <= frames.size(); at += 8 + Le32(&frames[at + 4])) starts.push_back(at);
    ASSERT_EQ(starts.size(), 4u);
    auto write = [&](const std::string& name, std::vector<uint8_t> bytes) { WriteBytes(Path(name), bytes); };
    std::vector<uint8_t> bad = frames;
    std::memcpy(&bad[starts[2]], "ABCD", 4);
    write("tag.ksha", bad);
    ExpectError("$K raw-decode -s 32x16 -f yuy2 tag.ksha out.raw", {"tag.ksha", "frame 2 has an unknown tag"});
    bad = frames;
    bad[starts[1] + 8 + 4] ^= 0xFF; // the Huffman stream's table
    bad[starts[1] + 8 + 5] ^= 0xFF;
    write("damaged.ksha", bad);
    ExpectError("$K raw-decode -s 32x16 -f yuy2 damaged.ksha out.raw", {"damaged.ksha", "frame 1 is damaged"});
    write("cut.ksha", std::vector<uint8_t>(frames.begin(), frames.end() - 5));
    ExpectError("$K raw-decode -s 32x16 -f yuy2 cut.ksha out.raw", {"cut.ksha", "frame 3 is truncated"});
    // Frames of another size do not decode.
    ExpectError("$K raw-decode -s 16x16 -f yuy2 frames.ksha out.raw", {"frame 0"});
    ExpectNothingNamed("out.");
}

// Frames longer than this encoder ever writes, as one without a fallback to
// deflate writes them for small noisy pictures (a Huffman table for values
// spread over the whole byte range), are frames all the same; only a length
// past what the format can describe is damage.
TEST_F(ToolTest, RawDecodeTakesEveryFrameTheFormatAllows)
{
    const auto hex = [](const std::string& text) {
        std::vector<uint8_t> bytes;
        for (std::size_t i = 0; i + 1 < text.size(); i += 2) bytes.push_back(uint8_t(std::stoi(text.substr(i, 2), nullptr, 16)));
        return bytes;
    };
    struct Case {
        const char* size;
        const char* picture;
        const char* frame; // the median transform's residuals as one Huffman stream, 108 and 140 bytes
    } cases[] = {
        {"2x1", "c9cf3804",
         "594655486c00000004000004031000000000000000000000000000000000000000000000000000000000000000000000000000000000"
         "000000000000000000000000010000000000000000000000000000000000000000000000000000000000000000000000000000000000"
         "000000010000019c"},
        {"4x3", "4440ff31153a103391bb5bc26e9e5740237fb27bcb59c16f",
         "594655488c00000018000009161000000000000000100000000010000000000000000000000001000000000010000000000000000000"
         "000000000000000000011000000000001000100000100001000010000000000000000000000010000000000010000010100000000000"
         "0001000000000000000100000000000000100000000011010002a766f7284f8f8347596e32d6e614"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        WriteBytes(Path("long.ksha"), hex(c.frame));
        Ok(std::string("$K raw-decode --quiet -s ") + c.size + " -f yuy2 long.ksha back.yuy2");
        EXPECT_EQ(ReadBytes(Path("back.yuy2")), hex(c.picture));
    }
    // A payload length beyond the format's bound for 2x1 (1,040 bytes a frame).
    std::vector<uint8_t> forged = hex(cases[0].frame);
    forged[4] = 0x09;
    forged[5] = 0x04; // 1,033 payload bytes
    WriteBytes(Path("forged.ksha"), forged);
    ExpectError("$K raw-decode -s 2x1 -f yuy2 forged.ksha out.raw", {"forged.ksha", "frame 0 is damaged"});
}

// The raw commands start without FFmpeg: the executable alone, away from its
// media library, still codes frames; the media commands then say what is missing.
TEST_F(ToolTest, RawCommandsRunWithoutTheMediaLibrary)
{
    const std::string needed = Ok("readelf -d \"$K\" | grep NEEDED");
    EXPECT_EQ(needed.find("libav"), std::string::npos) << needed;
    EXPECT_EQ(needed.find("libsw"), std::string::npos) << needed;

    Ok("mkdir alone && cp \"$K\" alone/kestrun");
    MakeClip("source.avi", "64x32", "yuyv422", 3, false);
    Ok("ffmpeg -nostdin -v error -i source.avi -f rawvideo -y source.yuy2");
    Ok("alone/kestrun raw-encode --quiet -s 64x32 -f yuy2 -q 0 source.yuy2 frames.ksha");
    Ok("alone/kestrun raw-decode --quiet -s 64x32 -f yuy2 frames.ksha back.yuy2");
    EXPECT_EQ(ReadBytes(Path("back.yuy2")), ReadBytes(Path("source.yuy2")));

    Result result = Run("alone/kestrun info source.avi");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("kestrun info: cannot load the media library"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("alone/libkestrun-media.so"), std::string::npos) << result.err;
}

TEST_F(ToolTest, DemoEncodesAndVerifiesTheSample)
{
    const std::string out = Ok("$K demo --quiet --threads 2");
    EXPECT_NE(out.find("720x405 yuv420p, 51 pictures, kept exactly, chroma rows repeated"), std::string::npos) << out;
    EXPECT_NE(out.find("all 51 frames decode to exactly the source's pictures"), std::string::npos) << out;
    EXPECT_NE(out.find("ratio 0."), std::string::npos) << out;
}
} // namespace
