// Allocation failure: for every n, a whole host session and a command-line
// encode and decode run with the n-th allocation failing. Nothing may crash
// or leak, the failure must be reported (or the result must be complete and
// exact anyway), and no frame may claim bytes it does not hold.
//
// Needs the fault-injection build (KESTRUN_FAULT_INJECTION=ON); run it under
// AddressSanitizer so that leaks and overruns on the error paths are seen
// (scripts/robustness.sh does both).
#include <gtest/gtest.h>

#if !defined(KESTRUN_FAULT_INJECTION)

TEST(AllocationFailure, NeedsTheFaultInjectionBuild)
{
    GTEST_SKIP() << "configure with -DKESTRUN_FAULT_INJECTION=ON to run the allocation-failure tests";
}

#else

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "driver/driver_proc.h"
#include "platform/memory.h"
#include "support/test_support.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTRUN_HAVE_LSAN 1
#endif
#elif defined(__SANITIZE_ADDRESS__)
#define KESTRUN_HAVE_LSAN 1
#endif
#if defined(KESTRUN_HAVE_LSAN)
#include <sanitizer/lsan_interface.h>
#endif

#if defined(KESTRUN_TOOL_COMMANDS)
#include <unistd.h>

#include "tools/cli.h"
#include "tools/commands.h"
#endif

namespace {

// Turns injection off whatever way a test leaves.
struct InjectionOff {
    ~InjectionOff() { SetAllocationFailure(0); }
};

// Leaks since the last call, when LeakSanitizer is there to tell.
void ExpectNoLeaks(const std::string& what)
{
#if defined(KESTRUN_HAVE_LSAN)
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << what << " leaked (see the report above)";
#else
    (void)what;
#endif
}

BITMAPINFOHEADER Header(uint32_t width, int32_t height, DWORD compression, WORD bitCount, DWORD sizeImage)
{
    BITMAPINFOHEADER format{};
    format.biSize = sizeof format;
    format.biWidth = LONG(width);
    format.biHeight = height;
    format.biPlanes = 1;
    format.biBitCount = bitCount;
    format.biCompression = compression;
    format.biSizeImage = sizeImage;
    return format;
}

LRESULT Send(DWORD_PTR driver, UINT message, const void* p1 = nullptr, const void* p2 = nullptr)
{
    return DriverProc(driver, nullptr, message, reinterpret_cast<LPARAM>(p1), reinterpret_cast<LPARAM>(p2));
}

constexpr uint8_t Fill = 0xEE;

struct SessionCase {
    const char* name;
    DWORD compression; // of the raw side, both ways
    WORD bitCount;
    DWORD quality;
};

// What one session with the n-th allocation failing did.
struct SessionOutcome {
    bool failed = false;   // some step reported an error
    bool complete = false; // every step succeeded
    std::vector<uint8_t> decoded;
};

// Open, compress begin, compress, end, decompress begin, decompress, end,
// close, the way a host does it, checking every step's promise on the way.
// A session that succeeds must decode to `expected`: the picture itself for
// packed input; for RGB (lossy) what a session with no failure gives.
SessionOutcome RunSession(const SessionCase& c, const std::vector<uint8_t>& picture, uint32_t width,
                          uint32_t height, uint64_t failAt, const std::vector<uint8_t>* expected)
{
    SessionOutcome outcome;
    SetAllocationFailure(failAt);

    ICOPEN open{};
    open.dwSize = sizeof open;
    open.fccType = ICTYPE_VIDEO;
    open.fccHandler = FourccKSHA;
    open.dwError = 12345;
    const DWORD_PTR driver = DWORD_PTR(DriverProc(0, nullptr, DRV_OPEN, 0, reinterpret_cast<LPARAM>(&open)));
    if (driver == 0) {
        EXPECT_EQ(open.dwError, ICERR_MEMORY) << "a failed open says why";
        outcome.failed = true;
        return outcome;
    }
    EXPECT_EQ(open.dwError, ICERR_OK);

    BITMAPINFOHEADER raw = Header(width, int32_t(height), c.compression, c.bitCount, DWORD(picture.size()));
    BITMAPINFOHEADER compressed = Header(width, int32_t(height), FourccKSHA, 16, 0);
    const LRESULT capacity = Send(driver, ICM_COMPRESS_GET_SIZE, &raw, &compressed);
    EXPECT_GT(capacity, 0);
    std::vector<uint8_t> frame(std::size_t(capacity), Fill);
    std::vector<uint8_t> decoded(picture.size(), Fill);

    LRESULT result = Send(driver, ICM_COMPRESS_BEGIN, &raw, &compressed);
    if (result != ICERR_OK) {
        EXPECT_EQ(result, ICERR_MEMORY);
        outcome.failed = true;
    } else {
        DWORD flags = 0;
        ICCOMPRESS record{};
        record.lpbiInput = &raw;
        record.lpInput = const_cast<uint8_t*>(picture.data());
        record.lpbiOutput = &compressed;
        record.lpOutput = frame.data();
        record.lpdwFlags = &flags;
        record.dwQuality = c.quality;
        compressed.biSizeImage = 0xDEADBEEF;
        result = Send(driver, ICM_COMPRESS, &record);
        EXPECT_EQ(Send(driver, ICM_COMPRESS_END), ICERR_OK);
        if (result != ICERR_OK) {
            EXPECT_EQ(result, ICERR_MEMORY);
            outcome.failed = true;
            // Nothing announces a frame: no header, no size for the host.
            EXPECT_EQ(compressed.biSizeImage, 0xDEADBEEFu) << "a failed compress reported a frame size";
            EXPECT_TRUE(std::all_of(frame.begin(), frame.begin() + FrameHeaderSize, [](uint8_t b) { return b == Fill; }))
                << "a failed compress wrote a frame header";
        } else {
            // The frame holds exactly what its header and the size say.
            FrameHeader header{};
            EXPECT_TRUE(ReadFrameHeader(frame.data(), frame.size(), &header));
            EXPECT_TRUE(header.tag == FrameTagHuffman || header.tag == FrameTagDeflate);
            EXPECT_LE(compressed.biSizeImage, DWORD(capacity));
            EXPECT_EQ(std::size_t(header.payloadLength) + FrameHeaderSize, compressed.biSizeImage);
        }
    }
    if (!outcome.failed) {
        BITMAPINFOHEADER input = compressed; // biSizeImage: the frame's size
        BITMAPINFOHEADER output = raw;
        result = Send(driver, ICM_DECOMPRESS_BEGIN, &input, &output);
        if (result != ICERR_OK) {
            EXPECT_EQ(result, ICERR_MEMORY);
            outcome.failed = true;
        } else {
            ICDECOMPRESS record{};
            record.lpbiInput = &input;
            record.lpInput = frame.data();
            record.lpbiOutput = &output;
            record.lpOutput = decoded.data();
            result = Send(driver, ICM_DECOMPRESS, &record);
            EXPECT_EQ(Send(driver, ICM_DECOMPRESS_END), ICERR_OK);
            if (result != ICERR_OK) {
                // A sound frame that could not be decoded is not called damaged.
                EXPECT_EQ(result, ICERR_MEMORY);
                outcome.failed = true;
            } else if (expected) {
                EXPECT_EQ(decoded, *expected) << "a decode that succeeded gave another picture";
            }
        }
    }
    EXPECT_EQ(DriverProc(driver, nullptr, DRV_CLOSE, 0, 0), 1);
    outcome.complete = !outcome.failed;
    outcome.decoded = std::move(decoded);
    return outcome;
}

class SessionFaults : public ::testing::TestWithParam<SessionCase> {};

TEST_P(SessionFaults, EveryAllocationOfAHostSession)
{
    InjectionOff off;
    const SessionCase& c = GetParam();
    const uint32_t width = 48, height = 12;
    std::vector<uint8_t> picture;
    if (c.compression == BI_RGB) {
        picture = RandomBytes(std::size_t(width) * height * 3, 82);
    } else {
        picture = RandomBytes(std::size_t(width) * height * 2, 81);
        // Half the picture smooth, so that both coders have something to do.
        for (std::size_t i = 0; i < picture.size() / 2; ++i) picture[i] = uint8_t(i / 7);
    }
    const SessionOutcome reference = RunSession(c, picture, width, height, 0, nullptr);
    ASSERT_TRUE(reference.complete);
    if (c.compression != BI_RGB) {
        ASSERT_EQ(reference.decoded, picture);
    }

    uint64_t failures = 0, recovered = 0, n = 1;
    for (;; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
        const SessionOutcome outcome = RunSession(c, picture, width, height, n, &reference.decoded);
        if (n > AllocationCount()) {
            // Past the last allocation nothing failed: the session is whole.
            EXPECT_TRUE(outcome.complete);
            break;
        }
        // Either reported, or worked around (the other coder) with every
        // step's result checked above.
        ++(outcome.failed ? failures : recovered);
        ASSERT_FALSE(HasFailure());
    }
    const uint64_t allocations = n - 1;
    EXPECT_GE(allocations, 4u) << "open, picture holder, planes and coder all allocate";
    std::printf("[ %s ] %llu allocations, each failed once: %llu reported, %llu worked around\n", c.name,
                static_cast<unsigned long long>(allocations), static_cast<unsigned long long>(failures),
                static_cast<unsigned long long>(recovered));
    ExpectNoLeaks(c.name);
}

INSTANTIATE_TEST_SUITE_P(AllocationFailure, SessionFaults,
                         ::testing::Values(SessionCase{"YUY2 Huffman", FourccYUY2, 16, 0},
                                           SessionCase{"UYVY deflate", FourccUYVY, 16, 10000},
                                           SessionCase{"RGB24 Huffman", BI_RGB, 24, 0},
                                           SessionCase{"RGB24 deflate", BI_RGB, 24, 6000}),
                         [](const ::testing::TestParamInfo<SessionCase>& info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

#if defined(KESTRUN_TOOL_COMMANDS)

std::vector<uint8_t> ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

struct CommandOutcome {
    int status = 0;
    std::string message;
};

// Runs a command the way main() does, catching what main() catches.
CommandOutcome RunCommand(int (*command)(int, char**), std::vector<std::string> arguments)
{
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    CommandOutcome outcome;
    try {
        outcome.status = command(int(arguments.size()), argv.data());
    } catch (const CliError& error) {
        outcome.status = error.status;
        outcome.message = error.what();
    } catch (const std::bad_alloc&) {
        outcome.status = 1;
        outcome.message = "out of memory";
    } catch (const std::exception& error) {
        outcome.status = 1;
        outcome.message = error.what();
    }
    return outcome;
}

// One command for every n: it succeeds and `check` accepts OUT, or it fails,
// says so, and leaves no OUT behind. Returns the allocations it makes.
template <typename Check>
uint64_t CheckCommandForEveryAllocation(int (*command)(int, char**), const std::vector<std::string>& arguments,
                                        const std::filesystem::path& out, Check check)
{
    uint64_t n = 1;
    for (;; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
        std::filesystem::remove(out);
        SetAllocationFailure(n);
        const CommandOutcome outcome = RunCommand(command, arguments);
        const uint64_t allocations = AllocationCount();
        SetAllocationFailure(0);
        if (outcome.status == 0) {
            check(out);
        } else {
            EXPECT_NE(outcome.message.find("memory"), std::string::npos) << "message: " << outcome.message;
            EXPECT_FALSE(std::filesystem::exists(out)) << "a failed run left " << out << " behind";
        }
        if (n > allocations) {
            EXPECT_EQ(outcome.status, 0) << outcome.message;
            return n - 1;
        }
        if (::testing::Test::HasFailure()) return 0;
    }
}

TEST(AllocationFailure, EveryAllocationOfACommandLineEncodeAndDecode)
{
    InjectionOff off;
    const std::filesystem::path directory =
        std::filesystem::temp_directory_path() / ("kestrun-faults-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    const uint32_t width = 32, height = 8;
    const int frames = 3;
    std::vector<uint8_t> raw = RandomBytes(std::size_t(width) * height * 2 * frames, 83);
    for (std::size_t i = 0; i < raw.size() / 3; ++i) raw[i] = uint8_t(i / 5);
    const std::filesystem::path rawPath = directory / "in.yuy2", framesPath = directory / "frames.ksha",
                                decodedPath = directory / "out.yuy2";
    WriteFile(rawPath, raw);
    const std::string size = std::to_string(width) + "x" + std::to_string(height);

    for (const char* quality : {"0", "10000"}) {
        SCOPED_TRACE(std::string("quality ") + quality);
        // The reference: no failure.
        const std::vector<std::string> encode = {"kestrun", "raw-encode", "-s", size, "-f", "yuy2", "-q", quality,
                                                 "--threads", "1", "--quiet", rawPath.string(), framesPath.string()};
        ASSERT_EQ(RunCommand(RawEncodeCommand, encode).status, 0);
        const std::vector<uint8_t> encoded = ReadFile(framesPath);
        const std::filesystem::path encodedPath = directory / "reference.ksha";
        WriteFile(encodedPath, encoded);

        // An encode that succeeds may have coded a frame with the other coder
        // (the one it chose could not get memory); its frames must decode to
        // the input all the same.
        const std::vector<std::string> check = {"kestrun", "raw-decode", "-s", size, "-f", "yuy2", "--threads", "1",
                                                "--quiet", framesPath.string(), decodedPath.string()};
        const uint64_t encodeAllocations =
            CheckCommandForEveryAllocation(RawEncodeCommand, encode, framesPath, [&](const std::filesystem::path&) {
                ASSERT_EQ(RunCommand(RawDecodeCommand, check).status, 0);
                EXPECT_EQ(ReadFile(decodedPath), raw) << "a raw-encode that succeeded lost the picture";
            });
        const std::vector<std::string> decode = {"kestrun", "raw-decode", "-s", size, "-f", "yuy2", "--threads", "1",
                                                 "--quiet", encodedPath.string(), decodedPath.string()};
        const uint64_t decodeAllocations =
            CheckCommandForEveryAllocation(RawDecodeCommand, decode, decodedPath, [&](const std::filesystem::path& out) {
                EXPECT_EQ(ReadFile(out), raw) << "a raw-decode that succeeded wrote another picture";
            });
        EXPECT_GE(encodeAllocations, 2u);
        EXPECT_GE(decodeAllocations, 2u);
        std::printf("[ quality %s ] raw-encode %llu, raw-decode %llu allocations, each failed once\n", quality,
                    static_cast<unsigned long long>(encodeAllocations),
                    static_cast<unsigned long long>(decodeAllocations));
    }
    std::filesystem::remove_all(directory);
    ExpectNoLeaks("raw-encode and raw-decode");
}

#endif // KESTRUN_TOOL_COMMANDS

} // namespace

#endif // KESTRUN_FAULT_INJECTION
