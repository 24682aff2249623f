// The end-to-end tests' fixture: a fresh folder a test, bash command lines
// with the tool as $K, clips from ffmpeg's test sources, and readers of what
// the tool writes (the AVI structure directly, frame lists, framemd5 lines).
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

struct Result {
    int status = -1;
    std::string out, err;
};

inline std::string ReadText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::vector<uint8_t> ReadBytes(const fs::path& path)
{
    const std::string text = ReadText(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

inline void WriteBytes(const fs::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "kestrun-tool-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override
    {
        std::error_code error;
        if (!HasFailure()) fs::remove_all(dir_, error);
        else std::fprintf(stderr, "files kept in %s\n", dir_.c_str());
    }

    fs::path Path(const std::string& name) const { return dir_ / name; }

    // Runs a bash command line in the test folder; K is the tool.
    Result Run(const std::string& command)
    {
        const fs::path script = Path("command.sh"), out = Path("command.out"), err = Path("command.err");
        {
            std::ofstream file(script);
            file << "set -o pipefail\ncd '" << dir_.string() << "'\nK='" << KESTRUN_TOOL << "'\n"
                 << "S='" << KESTRUN_SOURCE_DIR << "'\n" << command << "\n";
        }
        const std::string line = "bash '" + script.string() + "' >'" + out.string() + "' 2>'" + err.string() + "'";
        const int raw = std::system(line.c_str());
        Result result;
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        result.out = ReadText(out);
        result.err = ReadText(err);
        return result;
    }

    // Runs a command that must succeed; returns its standard output.
    std::string Ok(const std::string& command)
    {
        Result result = Run(command);
        EXPECT_EQ(result.status, 0) << command << "\n" << result.err;
        return result.out;
    }

    // A clip from ffmpeg's test source: video in `pixelFormat`, with a mono
    // 16-bit audio track when `audio`.
    void MakeClip(const std::string& name, const std::string& size, const std::string& pixelFormat, int frames,
                  bool audio = true, const std::string& filter = "")
    {
        std::string command = "ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=" + size + ":rate=25";
        if (audio) command += " -f lavfi -i sine=frequency=440:sample_rate=8000";
        if (!filter.empty()) command += " -vf " + filter;
        command += " -frames:v " + std::to_string(frames) + " -c:v rawvideo -pix_fmt " + pixelFormat;
        if (audio) command += " -c:a pcm_s16le -t " + std::to_string(frames / 25.0);
        Ok(command + " -y " + name);
    }

    // The video of `file` as raw frames in `pixelFormat`, every picture once
    // whatever its timing.
    std::vector<uint8_t> Pictures(const std::string& file, const std::string& pixelFormat)
    {
        Ok("ffmpeg -nostdin -v error -i " + file + " -map 0:v -fps_mode passthrough -f rawvideo -pix_fmt " +
           pixelFormat + " -y pictures.raw");
        return ReadBytes(Path("pictures.raw"));
    }

    // The first audio track of `file` as its raw samples.
    std::vector<uint8_t> Audio(const std::string& file)
    {
        Ok("ffmpeg -nostdin -v error -i " + file + " -map 0:a:0 -c:a copy -f s16le -y audio.raw");
        return ReadBytes(Path("audio.raw"));
    }

    // One value a line from ffprobe, for `entries` (such as packet=pts_time)
    // of the streams `select` (v, a:0); "N/A" is left out.
    std::vector<double> Probe(const std::string& file, const std::string& select, const std::string& entries)
    {
        std::vector<double> values;
        std::istringstream lines(Ok("ffprobe -v error -select_streams " + select + " -show_entries " + entries +
                                    " -of csv=p=0 " + file + " | tr ',' '\\n'"));
        for (std::string line; std::getline(lines, line);)
            if (!line.empty() && line != "N/A") values.push_back(std::stod(line));
        return values;
    }

    // Where the stream `select` of `file` ends: its last packet's time and duration.
    double StreamEnd(const std::string& file, const std::string& select)
    {
        const std::vector<double> times = Probe(file, select, "packet=pts_time,duration_time");
        double end = 0;
        for (std::size_t i = 0; i + 1 < times.size(); i += 2) end = std::max(end, times[i] + times[i + 1]);
        return end;
    }

    // Nothing in the folder whose name starts with `name` (no output, no temporary).
    void ExpectNothingNamed(const std::string& name)
    {
        for (const auto& entry : fs::directory_iterator(dir_))
            EXPECT_NE(entry.path().filename().string().rfind(name, 0), 0u)
                << entry.path() << " was left behind";
    }

    // A failing command: non-zero status, and a message with each of `words`.
    void ExpectError(const std::string& command, const std::vector<std::string>& words)
    {
        Result result = Run(command);
        EXPECT_NE(result.status, 0) << command;
        for (const auto& word : words) EXPECT_NE(result.err.find(word), std::string::npos) << command << "\n" << result.err;
    }

    fs::path dir_;
};

// ---------------------------------------------------------------------------
// The AVI structure, read directly: chunks, stream headers, index.

inline uint32_t Le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

struct AviFacts {
    std::string videoHandler, videoCompression;
    int width = 0, height = 0, bitCount = 0;
    int videoChunks = 0, keyChunks = 0, emptyChunks = 0, audioStreams = 0;
    std::vector<std::vector<uint8_t>> frames; // the video chunks' contents
};

inline void WalkChunks(const std::vector<uint8_t>& file, std::size_t begin, std::size_t end, AviFacts& facts,
                std::string& lastStreamType)
{
    for (std::size_t at = begin; at + 8 <= end;) {
        const std::string id(reinterpret_cast<const char*>(&file[at]), 4);
        const uint32_t size = Le32(&file[at + 4]);
        const std::size_t body = at + 8;
        if (body + size > end) break;
        if (id == "RIFF" || id == "LIST") {
            WalkChunks(file, body + 4, body + size, facts, lastStreamType);
        } else if (id == "strh" && size >= 8) {
            lastStreamType.assign(reinterpret_cast<const char*>(&file[body]), 4);
            if (lastStreamType == "vids") facts.videoHandler.assign(reinterpret_cast<const char*>(&file[body + 4]), 4);
            if (lastStreamType == "auds") ++facts.audioStreams;
        } else if (id == "strf" && lastStreamType == "vids" && size >= 40) {
            facts.width = int(Le32(&file[body + 4]));
            facts.height = int(Le32(&file[body + 8]));
            facts.bitCount = file[body + 14] | file[body + 15] << 8;
            facts.videoCompression.assign(reinterpret_cast<const char*>(&file[body + 16]), 4);
        } else if (id == "idx1") {
            for (std::size_t e = body; e + 16 <= body + size; e += 16)
                if (std::memcmp(&file[e], "00dc", 4) == 0) {
                    ++facts.videoChunks;
                    if (Le32(&file[e + 4]) & 0x10) ++facts.keyChunks;
                    if (Le32(&file[e + 12]) == 0) ++facts.emptyChunks;
                }
        } else if (id == "00dc") {
            facts.frames.emplace_back(file.begin() + long(body), file.begin() + long(body + size));
        }
        at = body + size + (size & 1);
    }
}

inline AviFacts ReadAvi(const fs::path& path)
{
    AviFacts facts;
    std::vector<uint8_t> file = ReadBytes(path);
    std::string type;
    WalkChunks(file, 0, file.size(), facts, type);
    return facts;
}

inline double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += double(int(a[i]) - int(b[i])) * (int(a[i]) - int(b[i]));
    return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * double(a.size()) / sum);
}

// The compressed frames of a KSHA AVI laid back to back, as raw-encode writes them.
inline std::vector<uint8_t> JoinedFrames(const fs::path& archive)
{
    std::vector<uint8_t> joined;
    for (const auto& frame : ReadAvi(archive).frames) joined.insert(joined.end(), frame.begin(), frame.end());
    return joined;
}


// Frame sizes from info --frames: number -> (tag, bytes).
inline std::map<int, std::pair<std::string, long>> FrameSizes(const std::string& info)
{
    std::map<int, std::pair<std::string, long>> sizes;
    std::istringstream lines(info);
    for (std::string line; std::getline(lines, line);) {
        int number;
        char tag[16];
        long bytes;
        if (std::sscanf(line.c_str(), "%d %15s %ld", &number, tag, &bytes) == 3) sizes[number] = {tag, bytes};
    }
    return sizes;
}


// The hash column of framemd5 lines.
inline std::vector<std::string> Md5Column(const std::string& framemd5)
{
    std::vector<std::string> hashes;
    std::istringstream lines(framemd5);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '#') hashes.push_back(line.substr(line.rfind(' ') + 1));
    return hashes;
}


// Finds the offset of video chunk `n`'s content in an archive.
inline std::size_t FrameOffset(const std::vector<uint8_t>& file, int n)
{
    int seen = 0;
    for (std::size_t at = 0; at + 8 < file.size(); ++at)
        if (std::memcmp(&file[at], "00dc", 4) == 0 && at + 12 <= file.size() &&
            (std::memcmp(&file[at + 8], "YFUH", 4) == 0 || std::memcmp(&file[at + 8], "VYZL", 4) == 0) &&
            seen++ == n)
            return at + 8;
    return 0;
}


// Gives video chunk `n` of an archive `size` bytes, in its header and in the index.
inline void ResizeFrameChunk(std::vector<uint8_t>& file, int n, uint32_t size)
{
    const std::size_t at = FrameOffset(file, n);
    std::memcpy(&file[at - 4], &size, 4);
    const std::size_t index = std::string(file.begin(), file.end()).rfind("idx1");
    int seen = 0;
    for (std::size_t e = index + 8; e + 16 <= file.size(); e += 16)
        if (std::memcmp(&file[e], "00dc", 4) == 0 && seen++ == n) std::memcpy(&file[e + 12], &size, 4);
}
