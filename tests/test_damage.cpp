// Damage: every frame of a real archive (frames of the sample clip coded
// both ways), cut short at many lengths and with bits flipped at many
// offsets. DecompressFrame must report the damage or decode the frame
// exactly (when the damage lands where it changes nothing), and must never
// touch a byte outside the output picture: input and output sit against
// guard pages with patterned slack checked after each call. Then the same
// damage in an AVI archive: `kestrun verify` names the damaged frames and
// keeps going.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "support/guarded_buffer.h"
#include "support/test_support.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

// A working picture for the sample's size.
struct Picture {
    PlanarPicture planar{};
    Picture(uint32_t width, uint32_t height)
    {
        if (!ResizePlanarPicture(planar, width, height)) std::abort();
    }
    ~Picture() { ReleasePlanarPicture(planar); }
};

struct Archive {
    std::vector<std::vector<uint8_t>> frames;
    std::vector<std::vector<uint8_t>> pictures; // what each frame decodes to
};

Archive MakeArchive(const std::vector<uint8_t>& raw, uint32_t width, uint32_t height)
{
    Archive archive;
    Picture picture(width, height);
    const FrameFormat format{width, height, PixelLayout::Yuy2, RowOrder::TopDown};
    const std::size_t pictureBytes = RawPictureBytes(format);
    for (std::size_t offset = 0; offset + pictureBytes <= raw.size(); offset += pictureBytes) {
        for (FrameCoder coder : {FrameCoder::Huffman, FrameCoder::Deflate}) {
            std::vector<uint8_t> frame(WorstCaseFrameSize(width, height));
            std::size_t size = 0;
            if (CompressFrame(picture.planar, format, raw.data() + offset, pictureBytes, coder, frame.data(),
                              frame.size(), &size) != CodecResult::Ok)
                std::abort();
            frame.resize(size);
            archive.frames.push_back(std::move(frame));
            archive.pictures.emplace_back(raw.begin() + std::ptrdiff_t(offset),
                                          raw.begin() + std::ptrdiff_t(offset + pictureBytes));
        }
    }
    return archive;
}

enum class Outcome { Reported, Exact, Wrong };

// Decodes `size` bytes of `frame` (damaged or not) from a guarded buffer
// into a guarded YUY2 picture.
Outcome Decode(Picture& picture, const uint8_t* frame, std::size_t size, const std::vector<uint8_t>& expected,
               uint32_t width, uint32_t height)
{
    GuardedBuffer input(size);
    std::memcpy(input.data(), frame, size);
    GuardedBuffer output(expected.size());
    const FrameFormat format{width, height, PixelLayout::Yuy2, RowOrder::TopDown};
    const CodecResult result =
        DecompressFrame(picture.planar, input.data(), size, format, output.data(), expected.size());
    EXPECT_TRUE(input.Intact());
    EXPECT_TRUE(output.Intact()) << "bytes in front of the output picture changed";
    EXPECT_TRUE(result == CodecResult::Ok || IsDamage(result)) << "result " << int(result);
    if (result != CodecResult::Ok) return Outcome::Reported;
    return std::memcmp(output.data(), expected.data(), expected.size()) == 0 ? Outcome::Exact : Outcome::Wrong;
}

class Damage : public ::testing::Test {
protected:
    static constexpr uint32_t Width = SampleWidth, Height = SampleHeight;
    static void SetUpTestSuite()
    {
        const std::vector<uint8_t> raw = SampleFrames("yuyv422", 3);
        if (!raw.empty()) archive_ = new Archive(MakeArchive(raw, Width, Height));
    }
    static void TearDownTestSuite()
    {
        delete archive_;
        archive_ = nullptr;
    }
    void SetUp() override
    {
        if (!archive_) GTEST_SKIP() << "ffmpeg is needed to decode the sample clip";
    }
    static Archive* archive_;
};
Archive* Damage::archive_ = nullptr;

TEST_F(Damage, TruncatedFramesAreReported)
{
    Picture picture(Width, Height);
    for (std::size_t f = 0; f < archive_->frames.size(); ++f) {
        SCOPED_TRACE("frame " + std::to_string(f));
        const std::vector<uint8_t>& frame = archive_->frames[f];
        ASSERT_EQ(Decode(picture, frame.data(), frame.size(), archive_->pictures[f], Width, Height), Outcome::Exact);
        // Every length in the header and the first bytes of the payload,
        // the last bytes, and 60 lengths in between.
        std::vector<std::size_t> lengths;
        for (std::size_t n = 0; n < 40; ++n) lengths.push_back(n);
        for (std::size_t n = 1; n <= 16; ++n) lengths.push_back(frame.size() - n);
        for (std::size_t n = 1; n < 60; ++n) lengths.push_back(frame.size() * n / 60);
        for (std::size_t length : lengths) {
            SCOPED_TRACE("cut to " + std::to_string(length) + " bytes");
            EXPECT_EQ(Decode(picture, frame.data(), length, archive_->pictures[f], Width, Height), Outcome::Reported);
            if (HasFailure()) return;
        }
    }
}

TEST_F(Damage, FlippedBitsAreReportedOrChangeNothing)
{
    Picture picture(Width, Height);
    uint64_t flips[2] = {0, 0}, reported[2] = {0, 0}, exact[2] = {0, 0}, wrong[2] = {0, 0};
    for (std::size_t f = 0; f < archive_->frames.size(); ++f) {
        SCOPED_TRACE("frame " + std::to_string(f));
        std::vector<uint8_t> frame = archive_->frames[f];
        FrameHeader header{};
        ASSERT_TRUE(ReadFrameHeader(frame.data(), frame.size(), &header));
        const int kind = header.tag == FrameTagHuffman ? 0 : 1;
        // Every bit of the header and of the first 48 payload bytes (the
        // stream's own header and tables), then 150 offsets spread over
        // the rest, the last byte included.
        std::vector<std::pair<std::size_t, int>> sites;
        for (std::size_t offset = 0; offset < 56; ++offset)
            for (int bit = 0; bit < 8; ++bit) sites.emplace_back(offset, bit);
        for (std::size_t n = 1; n <= 150; ++n) sites.emplace_back(56 + (frame.size() - 57) * n / 150, int(n % 8));
        for (const auto& [offset, bit] : sites) {
            frame[offset] ^= uint8_t(1u << bit);
            const Outcome outcome = Decode(picture, frame.data(), frame.size(), archive_->pictures[f], Width, Height);
            frame[offset] ^= uint8_t(1u << bit);
            ++flips[kind];
            if (outcome == Outcome::Reported) ++reported[kind];
            if (outcome == Outcome::Exact) ++exact[kind];
            if (outcome == Outcome::Wrong) ++wrong[kind];
            // The header and the deflate stream's checksum leave no flip unseen.
            if (offset < FrameHeaderSize || kind == 1) {
                EXPECT_NE(outcome, Outcome::Wrong) << "bit " << bit << " of byte " << offset << " went unnoticed";
            }
            if (HasFailure()) return;
        }
    }
    // HUFY streams carry no checksum: a flip that swaps one code for
    // another of the same length, or that changes a weight but leaves a
    // complete table, decodes to a wrong picture of the right size. Those
    // are counted, not failed; the deflate frames must show none.
    for (int kind = 0; kind < 2; ++kind)
        std::printf("[ %s ] %llu flips: %llu reported, %llu changed nothing, %llu decoded to another picture\n",
                    kind == 0 ? "HUFY" : "LZYV", static_cast<unsigned long long>(flips[kind]),
                    static_cast<unsigned long long>(reported[kind]), static_cast<unsigned long long>(exact[kind]),
                    static_cast<unsigned long long>(wrong[kind]));
    EXPECT_EQ(wrong[1], 0u);
}

#if !defined(_WIN32)
// The kestrun program next to this test program (build/bin beside build/tests).
std::filesystem::path ToolPath()
{
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return self.parent_path().parent_path() / "bin" / "kestrun";
}

std::string RunShell(const std::string& command, int* status)
{
    std::string output;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return output;
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    const int raw = pclose(pipe);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return output;
}

// Offsets of the video frames' data in an AVI file: the '00dc' chunks.
std::vector<std::pair<std::size_t, std::size_t>> FrameChunks(const std::vector<uint8_t>& file)
{
    std::vector<std::pair<std::size_t, std::size_t>> chunks;
    for (std::size_t i = 0; i + 8 <= file.size(); ++i) {
        if (std::memcmp(&file[i], "00dc", 4) != 0) continue;
        uint32_t size;
        std::memcpy(&size, &file[i + 4], 4);
        if (size >= FrameHeaderSize && i + 8 + size <= file.size() && std::memcmp(&file[i + 8], "YFUH", 4) == 0) {
            chunks.emplace_back(i + 8, size);
            i += 7 + size;
        }
    }
    return chunks;
}

TEST_F(Damage, VerifyNamesTheDamagedFramesAndKeepsGoing)
{
    const std::filesystem::path tool = ToolPath();
    if (tool.empty() || !std::filesystem::exists(tool)) GTEST_SKIP() << "no kestrun program at " << tool;
    const std::filesystem::path directory =
        std::filesystem::temp_directory_path() / ("kestrun-damage-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    const std::filesystem::path clip = directory / "clip.y4m", avi = directory / "archive.avi";
    int status = 0;
    // Eight frames of the clip, coded with Huffman.
    RunShell("ffmpeg -nostdin -v quiet -y -i '" + SampleClipPath() + "' -frames:v 8 -pix_fmt yuv422p '" + clip.string() + "'",
        &status);
    ASSERT_EQ(status, 0);
    std::string output = RunShell("'" + tool.string() + "' encode --coder huffman --quiet '" + clip.string() + "' '" +
                                 avi.string() + "'",
                             &status);
    ASSERT_EQ(status, 0) << output;

    std::ifstream in(avi, std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    const auto chunks = FrameChunks(file);
    ASSERT_EQ(chunks.size(), 8u);
    // Frame 1: an unknown tag. Frame 4: a payload length past the chunk.
    // Frame 6: its stream's length field.
    file[chunks[1].first] ^= 0x01;
    file[chunks[4].first + 6] ^= 0x10;
    file[chunks[6].first + FrameHeaderSize + 1] ^= 0x40;
    std::ofstream(avi, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));

    output = RunShell("'" + tool.string() + "' verify --quiet '" + avi.string() + "'", &status);
    EXPECT_EQ(status, 1) << output;
    EXPECT_NE(output.find("3 of 8 frames damaged: 1, 4, 6"), std::string::npos) << output;
    std::filesystem::remove_all(directory);
}
#endif

} // namespace
