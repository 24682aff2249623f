// The driver as a host sees it: every test talks to DriverProc by messages,
// the way a codec manager does, and checks what comes back and what the
// driver handed to the platform's services.
//
// Built on Linux and for Windows. On Linux the platform's services are the
// stand-ins of platform/driver_services.h, whose call records the tests read;
// on Windows DriverProc is linked in statically and calls winmm's and
// user32's own, so there the tests check answers only, and the tests that
// exist to read the stand-ins' records (or load the Linux shared library)
// are not compiled.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <dlfcn.h>
#include <malloc.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "picture/planar_picture.h"
#include "colour/colour.h"
#include "colour/colour_internal.h"
#include "driver/codec_instance.h"
#include "driver/driver_proc.h"
#include "platform/driver_services.h"
#include "platform/memory.h"
#include "support/guarded_buffer.h"
#include "support/test_support.h"

namespace {

LRESULT Send(DWORD_PTR id, UINT message, const void* p1 = nullptr, const void* p2 = nullptr)
{
    return DriverProc(id, nullptr, message, reinterpret_cast<LPARAM>(p1), reinterpret_cast<LPARAM>(p2));
}

// An open instance, closed at scope exit.
struct Instance {
    DWORD_PTR id;
    Instance() : id(static_cast<DWORD_PTR>(Send(0, DRV_OPEN))) {}
    ~Instance() { Send(id, DRV_CLOSE); }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;
    LRESULT operator()(UINT message, const void* p1 = nullptr, const void* p2 = nullptr) const
    {
        return Send(id, message, p1, p2);
    }
};

BITMAPINFOHEADER Format(LONG width, LONG height, WORD bitCount, DWORD compression)
{
    BITMAPINFOHEADER format{};
    format.biSize = sizeof(BITMAPINFOHEADER);
    format.biWidth = width;
    format.biHeight = height;
    format.biPlanes = 1;
    format.biBitCount = bitCount;
    format.biCompression = compression;
    format.biSizeImage = DWORD(std::abs(int64_t(width) * height) * bitCount / 8);
    return format;
}

BITMAPINFOHEADER Rgb24(LONG w, LONG h) { return Format(w, h, 24, BI_RGB); }
BITMAPINFOHEADER Yuy2(LONG w, LONG h) { return Format(w, h, 16, FourccYUY2); }
BITMAPINFOHEADER Uyvy(LONG w, LONG h) { return Format(w, h, 16, FourccUYVY); }
BITMAPINFOHEADER Ksha(LONG w, LONG h) { return Format(w, h, 16, FourccKSHA); }

// Gradients with a little noise: compresses like a picture, not like noise.
std::vector<uint8_t> PictureLike(std::size_t count, uint32_t seed)
{
    std::vector<uint8_t> bytes = RandomBytes(count, seed);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = uint8_t((i * 7 / 5 + seed) + (bytes[i] & 15));
    return bytes;
}

// Compresses frames as a host does: query, proposal, size, BEGIN, frames.
struct CompressedFrame {
    std::vector<uint8_t> bytes;
    DWORD flags = 0;
};

// A working picture for calling the core directly, as the raw-encode tool
// does, and the core's record for a host's header.
struct DirectPicture {
    PlanarPicture picture{};
    explicit DirectPicture(uint32_t width, uint32_t height) { ResizePlanarPicture(picture, width, height); }
    ~DirectPicture() { ReleasePlanarPicture(picture); }
};

FrameFormat CoreFormatOf(const BITMAPINFOHEADER& header)
{
    const uint32_t width = uint32_t(header.biWidth), height = uint32_t(std::abs(header.biHeight));
    if (header.biCompression == FourccYUY2) return {width, height, PixelLayout::Yuy2, RowOrder::TopDown};
    if (header.biCompression == FourccUYVY) return {width, height, PixelLayout::Uyvy, RowOrder::TopDown};
    return {width, height, header.biBitCount == 32 ? PixelLayout::Rgb32 : PixelLayout::Rgb24,
            header.biHeight < 0 ? RowOrder::TopDown : RowOrder::BottomUp};
}

ICCOMPRESS CompressRecord(BITMAPINFOHEADER& input, const void* frame, BITMAPINFOHEADER& output, void* buffer,
                          DWORD* flags, DWORD quality)
{
    ICCOMPRESS record{};
    record.lpbiInput = &input;
    record.lpInput = const_cast<void*>(frame);
    record.lpbiOutput = &output;
    record.lpOutput = buffer;
    record.lpdwFlags = flags;
    record.dwQuality = quality;
    return record;
}

} // namespace

// ---------------------------------------------------------------------------
// The message table

TEST(MessageTable, FixedAnswers)
{
#if !defined(_WIN32)
    ResetDriverServices();
#endif
    Instance codec;
    ASSERT_NE(codec.id, 0u);
    DWORD value = 0;
    struct Row {
        UINT message;
        LRESULT result;
    } rows[] = {
        {DRV_LOAD, 1},
        {DRV_ENABLE, 1},
        {DRV_DISABLE, 1},
        {DRV_FREE, 1},
        {DRV_INSTALL, 1},
        {DRV_REMOVE, 1},
        {DRV_CONFIGURE, -1},
        {DRV_QUERYCONFIGURE, 0},
        {ICM_CONFIGURE, ICERR_UNSUPPORTED},
        {ICM_DECOMPRESS_SET_PALETTE, ICERR_UNSUPPORTED},
        {ICM_DECOMPRESS_GET_PALETTE, ICERR_UNSUPPORTED},
        {ICM_SET_STATUS_PROC, ICERR_UNSUPPORTED},
        {ICM_GETSTATE, 0},
        {ICM_SETSTATE, 0},
        {ICM_GET, ICERR_OK},
        {ICM_COMPRESS_FRAMES_INFO, ICERR_OK},
        // Unsupported although the information block announces it.
        {ICM_COMPRESS_FRAMES, ICERR_UNSUPPORTED},
        {ICM_DRAW_BEGIN, ICERR_UNSUPPORTED},
        {ICM_DRAW, ICERR_UNSUPPORTED},
        {ICM_GETBUFFERSWANTED, ICERR_UNSUPPORTED},
        {ICM_SET, ICERR_UNSUPPORTED},
        {ICM_USER, ICERR_UNSUPPORTED},
        {0x7FFF, ICERR_UNSUPPORTED},
        {0xFFFFFFFFu, ICERR_UNSUPPORTED},
    };
    for (const Row& row : rows) {
        // Whatever the parameters hold.
        EXPECT_EQ(codec(row.message, &value, &value), row.result) << "message 0x" << std::hex << row.message;
        EXPECT_EQ(DriverProc(codec.id, nullptr, row.message, -1, 12345), row.result)
            << "message 0x" << std::hex << row.message;
    }
#if !defined(_WIN32)
    EXPECT_EQ(DriverServices().defDriverProcCalls, 0u);
    EXPECT_EQ(DriverServices().dialogRuns, 0u);
#endif
}

// On Linux the stand-in records each call and answers what the test sets;
// on Windows the answer must be the one winmm's DefDriverProc gives for the
// same call (0 for all of these), not one of the driver's own.
TEST(MessageTable, LowMessagesGoToTheDefaultDriverProcedureUnchanged)
{
#if !defined(_WIN32)
    ResetDriverServices();
    LRESULT answer = 0x5EED;
#endif
    HDRVR driver = reinterpret_cast<HDRVR>(uintptr_t(0x1234));
    UINT messages[] = {0, 0x3FFF, DRV_EXITSESSION, DRV_POWER, DRV_RESERVED, 0x0B00};
    for (UINT message : messages) {
        DWORD_PTR id = DWORD_PTR(0xABCD0000) + message;
        LPARAM p1 = LPARAM(-7) - LPARAM(message);
        LPARAM p2 = LPARAM(0x7654321) + LPARAM(message);
#if defined(_WIN32)
        LRESULT expected = DefDriverProc(id, driver, message, p1, p2);
        EXPECT_EQ(DriverProc(id, driver, message, p1, p2), expected) << "message 0x" << std::hex << message;
#else
        DriverServices().defDriverProcResult = answer;
        std::size_t before = DriverServices().defDriverProcCalls;
        EXPECT_EQ(DriverProc(id, driver, message, p1, p2), answer);
        ASSERT_EQ(DriverServices().defDriverProcCalls, before + 1);
        const DefDriverProcCall& call = DriverServices().lastDefDriverProc;
        EXPECT_EQ(call.driverId, id);
        EXPECT_EQ(call.driver, driver);
        EXPECT_EQ(call.message, message);
        EXPECT_EQ(call.lParam1, p1);
        EXPECT_EQ(call.lParam2, p2);
        answer = -answer * 3;
#endif
    }
}

// ---------------------------------------------------------------------------
// Open, close, quality

TEST(OpenClose, OpenTakesOnlyVideoCompressorsAndReportsThroughTheRecord)
{
    DWORD_PTR plain = static_cast<DWORD_PTR>(Send(0, DRV_OPEN));
    EXPECT_NE(plain, 0u) << "an open without a record makes an instance";
    EXPECT_TRUE(ClampTableBuilt);
    EXPECT_EQ(Send(plain, DRV_CLOSE), 1);

    ICOPEN open{};
    open.dwSize = sizeof(open);
    open.fccType = ICTYPE_VIDEO;
    open.fccHandler = mmioFOURCC('x', 'y', 'z', 'w'); // not examined
    open.dwFlags = 0x7;                                // nor is the mode
    open.dwError = 12345;
    DWORD_PTR video = static_cast<DWORD_PTR>(Send(0, DRV_OPEN, nullptr, &open));
    EXPECT_NE(video, 0u);
    EXPECT_EQ(open.dwError, ICERR_OK);
    EXPECT_EQ(Send(video, DRV_CLOSE), 1);

    for (DWORD type : {mmioFOURCC('V', 'I', 'D', 'C'), mmioFOURCC('a', 'u', 'd', 'c'), DWORD(0),
                       mmioFOURCC('v', 'i', 'd', 'd'), ICTYPE_VIDEO ^ 0x80000000u}) {
        ICOPEN other = open;
        other.fccType = type;
        other.dwError = 12345;
        ICOPEN before = other;
        EXPECT_EQ(Send(0, DRV_OPEN, nullptr, &other), 0);
        EXPECT_EQ(std::memcmp(&other, &before, sizeof(ICOPEN)), 0) << "the refused record is left untouched";
    }
    // Closing nothing succeeds.
    EXPECT_EQ(Send(0, DRV_CLOSE), 1);
}

TEST(OpenClose, FailedAllocationAtOpen)
{
#if defined(KESTRUN_FAULT_INJECTION)
    ICOPEN open{};
    open.fccType = ICTYPE_VIDEO;
    open.dwError = 12345;
    SetAllocationFailure(1);
    LRESULT result = Send(0, DRV_OPEN, nullptr, &open);
    SetAllocationFailure(0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(open.dwError, ICERR_MEMORY);
#else
    GTEST_SKIP() << "allocation failures need the fault-injection build";
#endif
}

TEST(OpenClose, QualityAndKeyFrameAnswers)
{
    Instance first, second;
    DWORD value = 0;
    EXPECT_EQ(first(ICM_GETQUALITY, &value), ICERR_OK);
    EXPECT_EQ(value, 9000u);
    EXPECT_EQ(first(ICM_GETDEFAULTQUALITY, &value), ICERR_OK);
    EXPECT_EQ(value, 5500u);
    EXPECT_EQ(Send(0, ICM_GETDEFAULTQUALITY, &value), ICERR_OK) << "needs no instance";
    value = 0;
    EXPECT_EQ(first(ICM_GETDEFAULTKEYFRAMERATE, &value), ICERR_OK);
    EXPECT_EQ(value, 1u);

    for (DWORD stored : {DWORD(12345), DWORD(0), DWORD(0xFFFFFFFF), DWORD(ICQUALITY_HIGH + 1)}) {
        EXPECT_EQ(first(ICM_SETQUALITY, &stored), ICERR_OK);
        value = 1;
        EXPECT_EQ(first(ICM_GETQUALITY, &value), ICERR_OK);
        EXPECT_EQ(value, stored) << "stored without a range test";
    }
    EXPECT_EQ(second(ICM_GETQUALITY, &value), ICERR_OK);
    EXPECT_EQ(value, 9000u) << "quality is per instance";
}

// ---------------------------------------------------------------------------
// Information block

TEST(InformationBlock, FillsTheRecordAndAnswersTheCallersSize)
{
    Instance codec;
    for (LPARAM size : {LPARAM(sizeof(ICINFO)), LPARAM(1000)}) {
        std::vector<uint8_t> buffer(1024, 0xA5);
        ICINFO* info = reinterpret_cast<ICINFO*>(buffer.data());
        info->dwSize = 0x1111;
        const std::vector<uint8_t> driverBefore(buffer.begin() + offsetof(ICINFO, szDriver),
                                                buffer.begin() + sizeof(ICINFO));
        EXPECT_EQ(DriverProc(codec.id, nullptr, ICM_GETINFO, reinterpret_cast<LPARAM>(info), size), size);
        EXPECT_EQ(info->dwSize, 0x1111u);
        EXPECT_EQ(info->fccType, ICTYPE_VIDEO);
        EXPECT_EQ(std::memcmp(&info->fccHandler, "KSHA", 4), 0);
        EXPECT_EQ(info->dwFlags, 9u);
        EXPECT_EQ(info->dwVersion, 0x10000u);
        EXPECT_EQ(info->dwVersionICM, 0x104u);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(info->szName)), u"Kestrun Arc");
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(info->szDescription)), u"Kestrun Archive Codec");
        EXPECT_TRUE(std::equal(driverBefore.begin(), driverBefore.end(), buffer.begin() + offsetof(ICINFO, szDriver)))
            << "szDriver is the caller's";
        EXPECT_TRUE(std::all_of(buffer.begin() + sizeof(ICINFO), buffer.end(), [](uint8_t b) { return b == 0xA5; }));
    }
}

TEST(InformationBlock, ABufferTooSmallIsLeftAloneAndAnswersZero)
{
    Instance codec;
    for (LPARAM size : {LPARAM(sizeof(ICINFO) - 1), LPARAM(312), LPARAM(40), LPARAM(0), LPARAM(-1)}) {
        std::vector<uint8_t> buffer(1024, 0x5A);
        EXPECT_EQ(DriverProc(codec.id, nullptr, ICM_GETINFO, reinterpret_cast<LPARAM>(buffer.data()), size), 0)
            << "size " << size;
        EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0x5A; })) << "size " << size;
    }
    EXPECT_EQ(Send(codec.id, ICM_GETINFO, nullptr, reinterpret_cast<void*>(sizeof(ICINFO))), 0);
}

// ---------------------------------------------------------------------------
// About box

// On Windows a dialog shown here would wait for a click that never comes,
// and the run would time out.
TEST(AboutBox, MinusOneOnlyAsksWhetherThereIsOne)
{
#if !defined(_WIN32)
    ResetDriverServices();
#endif
    Instance codec;
    EXPECT_EQ(DriverProc(codec.id, nullptr, ICM_ABOUT, -1, 0), ICERR_OK);
#if !defined(_WIN32)
    EXPECT_EQ(DriverServices().dialogRuns, 0u);
#endif
}

#if !defined(_WIN32)
// Linux only: the dialog is run by the stand-in, which feeds it a script and
// records what the procedure did. (In the Windows test program the driver is
// not a DLL, so it has no module holding template 102; the DLL's About box
// is exercised by tests/windows.)
TEST(AboutBox, RunsTemplate102AndOnlyOkClosesIt)
{
    ResetDriverServices();
    const DialogMessage script[] = {
        {WM_COMMAND, IDCANCEL, 0, 0},               // Esc, close box
        {0x0010 /* WM_CLOSE */, 0, 0, 0},
        {WM_COMMAND, 1000, 0, 0},
        {WM_COMMAND, (1u << 16) | IDOK, 0, 0},      // notification code ignored
        {WM_COMMAND, IDOK, 0, 0},                   // never reached
    };
    ScriptDialog(script, std::size(script));
    Instance codec;
    HWND owner = reinterpret_cast<HWND>(uintptr_t(0x4242));
    EXPECT_EQ(DriverProc(codec.id, nullptr, ICM_ABOUT, reinterpret_cast<LPARAM>(owner), 0), ICERR_OK);

    const DriverServicesRecord& seen = DriverServices();
    ASSERT_EQ(seen.dialogRuns, 1u);
    EXPECT_EQ(seen.dialogModule, DriverModule());
    EXPECT_EQ(seen.dialogTemplate, MAKEINTRESOURCEA(102));
    EXPECT_EQ(seen.dialogOwner, owner);
    EXPECT_EQ(seen.dialogProcedure, &AboutDialogProc);
    EXPECT_EQ(seen.dialogInitParam, 0);

    ASSERT_EQ(seen.itemMessageCount, 1u);
    EXPECT_EQ(seen.itemMessages[0].dialog, seen.dialogWindow);
    EXPECT_EQ(seen.itemMessages[0].item, 1000);
    EXPECT_EQ(seen.itemMessages[0].message, UINT(WM_SETTEXT));
    EXPECT_EQ(seen.itemMessages[0].wParam, 0u);
    EXPECT_STREQ(seen.itemMessages[0].text, AboutDetailsText);

    ASSERT_EQ(seen.deliveredCount, 5u);
    EXPECT_EQ(seen.delivered[0].message, UINT(WM_INITDIALOG));
    EXPECT_EQ(seen.delivered[0].result, TRUE);
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(seen.delivered[i].result, FALSE) << "message " << i;
    EXPECT_EQ(seen.delivered[4].result, TRUE);
    EXPECT_EQ(seen.endDialogCalls, 1u);
    EXPECT_TRUE(seen.dialogEnded);
    EXPECT_EQ(seen.dialogResult, 0);
}
#endif

TEST(AboutBox, DetailsTextIsOneAnsiStringWithAnLfPair)
{
    std::string text = AboutDetailsText;
    EXPECT_EQ(text.size(), 357u);
    EXPECT_EQ(text.rfind("How it works:\n\nThis codec", 0), 0u);
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    // Two blanks after each inner full stop.
    std::size_t doubles = 0;
    for (std::size_t at = text.find(".  "); at != std::string::npos; at = text.find(".  ", at + 1)) ++doubles;
    EXPECT_EQ(doubles, 2u);
    EXPECT_NE(text.find("common \"raw\" storage"), std::string::npos);
    EXPECT_EQ(text.back(), '.');
}

// ---------------------------------------------------------------------------
// Queries

TEST(Queries, CompressionInputsAndOutputs)
{
    Instance codec;
    struct Case {
        BITMAPINFOHEADER input;
        bool withOutput;
        BITMAPINFOHEADER output;
        LRESULT expected;
        const char* what;
    } cases[] = {
        {Rgb24(320, 240), false, {}, ICERR_OK, "RGB24"},
        {Yuy2(320, 240), false, {}, ICERR_OK, "YUY2"},
        {Uyvy(320, 240), false, {}, ICERR_OK, "UYVY"},
        {Format(320, 240, 32, BI_RGB), false, {}, ICERR_BADFORMAT, "RGB32"},
        {Format(320, 240, 16, BI_RGB), false, {}, ICERR_BADFORMAT, "RGB16"},
        {Format(320, 240, 24, FourccYUY2), false, {}, ICERR_BADFORMAT, "YUY2 at 24 bits"},
        {Ksha(320, 240), false, {}, ICERR_BADFORMAT, "KSHA input"},
        {Rgb24(320, 240), true, Ksha(320, 240), ICERR_OK, "matching KSHA"},
        {Rgb24(320, 240), true, Format(320, 240, 0, FourccKSHA), ICERR_OK, "any KSHA bit count"},
        {Rgb24(320, 240), true, Format(320, 240, 99, FourccKSHA), ICERR_OK, "any KSHA bit count"},
        {Rgb24(320, 240), true, Ksha(320, -240), ICERR_BADFORMAT, "flipped output"},
        {Rgb24(320, -240), true, Ksha(320, -240), ICERR_OK, "top-down source, same sign"},
        {Rgb24(320, 240), true, Ksha(321, 240), ICERR_BADFORMAT, "other width"},
        {Rgb24(320, 240), true, Yuy2(320, 240), ICERR_BADFORMAT, "output not KSHA"},
        // Sizes the frame code cannot take.
        {Yuy2(321, 240), false, {}, ICERR_BADFORMAT, "YUY2 odd width"},
        {Uyvy(3, 2), true, Ksha(3, 2), ICERR_BADFORMAT, "UYVY odd width"},
        {Rgb24(321, 240), false, {}, ICERR_OK, "RGB24 odd width"},
        {Rgb24(1, 240), false, {}, ICERR_BADFORMAT, "width 1"},
        {Rgb24(0, 240), false, {}, ICERR_BADFORMAT, "width 0"},
        {Rgb24(-320, 240), false, {}, ICERR_BADFORMAT, "negative width"},
        {Rgb24(320, 0), true, Ksha(320, 0), ICERR_BADFORMAT, "no rows"},
        {Yuy2(2, 0), false, {}, ICERR_BADFORMAT, "no rows"},
        {Rgb24(65536, 2), false, {}, ICERR_BADFORMAT, "too wide"},
        {Rgb24(2, -2147483647 - 1), false, {}, ICERR_BADFORMAT, "height INT_MIN"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(codec(ICM_COMPRESS_QUERY, &c.input, c.withOutput ? &c.output : nullptr), c.expected) << c.what;
}

TEST(Queries, DecompressionAndTheExtendedQueryAgree)
{
    Instance codec;
    struct Case {
        BITMAPINFOHEADER input;
        bool withOutput;
        BITMAPINFOHEADER output;
        LRESULT expected;
        const char* what;
    } cases[] = {
        {Ksha(320, 240), false, {}, ICERR_OK, "input alone"},
        {Rgb24(320, 240), false, {}, ICERR_BADFORMAT, "not KSHA, no output"},
        {Yuy2(320, 240), true, Yuy2(320, 240), ICERR_BADFORMAT, "not KSHA"},
        {Ksha(320, 240), true, Rgb24(320, 240), ICERR_OK, "RGB24"},
        {Ksha(320, 240), true, Rgb24(320, -240), ICERR_OK, "RGB24 top-down"},
        {Ksha(320, 240), true, Format(320, 240, 32, BI_RGB), ICERR_OK, "RGB32"},
        {Ksha(320, 240), true, Format(320, -240, 32, BI_RGB), ICERR_OK, "RGB32 top-down"},
        {Ksha(320, 240), true, Yuy2(320, 240), ICERR_OK, "YUY2"},
        {Ksha(320, 240), true, Uyvy(320, -240), ICERR_OK, "UYVY, either sign"},
        {Ksha(320, 240), true, Format(320, 240, 16, BI_RGB), ICERR_BADFORMAT, "RGB16"},
        {Ksha(320, 240), true, Format(320, 240, 24, FourccYUY2), ICERR_BADFORMAT, "YUY2 at 24 bits"},
        {Ksha(320, 240), true, Ksha(320, 240), ICERR_BADFORMAT, "KSHA out"},
        {Ksha(320, 240), true, Rgb24(321, 240), ICERR_BADFORMAT, "width one more"},
        {Ksha(320, 240), true, Rgb24(319, 240), ICERR_BADFORMAT, "width one less"},
        {Ksha(320, 240), true, Rgb24(320, 241), ICERR_BADFORMAT, "other height"},
        // Sizes the frame code cannot take.
        {Ksha(321, 240), true, Rgb24(321, 240), ICERR_OK, "odd width to RGB"},
        {Ksha(321, 240), true, Yuy2(321, 240), ICERR_BADFORMAT, "odd width to YUY2"},
        {Ksha(3, 2), true, Uyvy(3, -2), ICERR_BADFORMAT, "odd width to UYVY"},
        {Ksha(1, 240), false, {}, ICERR_BADFORMAT, "width 1"},
        {Ksha(1, 240), true, Rgb24(1, 240), ICERR_BADFORMAT, "width 1"},
        {Ksha(320, 0), true, Rgb24(320, 0), ICERR_BADFORMAT, "no rows"},
        {Ksha(0, 0), false, {}, ICERR_BADFORMAT, "empty"},
    };
    for (const Case& c : cases) {
        const BITMAPINFOHEADER* output = c.withOutput ? &c.output : nullptr;
        EXPECT_EQ(codec(ICM_DECOMPRESS_QUERY, &c.input, output), c.expected) << c.what;
        ICDECOMPRESSEX ex{};
        ex.lpbiSrc = const_cast<BITMAPINFOHEADER*>(&c.input);
        ex.lpbiDst = const_cast<BITMAPINFOHEADER*>(output);
        ex.dxDst = 1; // rectangles are not looked at
        ex.xSrc = -5;
        EXPECT_EQ(codec(ICM_DECOMPRESSEX_QUERY, &ex, nullptr), c.expected) << "EX: " << c.what;
    }
}

// ---------------------------------------------------------------------------
// Proposals and the size answer

TEST(Proposals, CompressionCopiesTheInputAsKsha)
{
    Instance codec;
    BITMAPINFOHEADER input = Rgb24(320, -240);
    input.biSizeImage = 0;
    input.biXPelsPerMeter = 2835;
    input.biYPelsPerMeter = -3;
    input.biClrUsed = 7;
    input.biClrImportant = 9;
    EXPECT_EQ(codec(ICM_COMPRESS_GET_FORMAT, &input, nullptr), 112);
    EXPECT_EQ(codec(ICM_COMPRESS_GET_FORMAT, nullptr, nullptr), 112);
    uint8_t buffer[112];
    std::memset(buffer, 0xEE, sizeof(buffer));
    ASSERT_EQ(codec(ICM_COMPRESS_GET_FORMAT, &input, buffer), ICERR_OK);
    BITMAPINFOHEADER expected = input;
    expected.biBitCount = 16;
    expected.biCompression = FourccKSHA;
    EXPECT_EQ(std::memcmp(buffer, &expected, 40), 0) << "a 40-byte header, sign and biSizeImage kept";
    EXPECT_TRUE(std::all_of(buffer + 40, buffer + 112, [](uint8_t b) { return b == 0xEE; }));
    // The proposal is what the query accepts.
    EXPECT_EQ(codec(ICM_COMPRESS_QUERY, &input, buffer), ICERR_OK);
}

TEST(Proposals, DecompressionCopiesTheInputAsRgb24)
{
    Instance codec;
    BITMAPINFOHEADER input = Ksha(320, 240);
    input.biXPelsPerMeter = 11;
    input.biClrImportant = 5;
    input.biSizeImage = 777;
    EXPECT_EQ(codec(ICM_DECOMPRESS_GET_FORMAT, &input, nullptr), 112);
    BITMAPINFOHEADER output{};
    ASSERT_EQ(codec(ICM_DECOMPRESS_GET_FORMAT, &input, &output), ICERR_OK);
    BITMAPINFOHEADER expected = input;
    expected.biBitCount = 24;
    expected.biCompression = BI_RGB;
    expected.biSizeImage = 230400;
    EXPECT_EQ(std::memcmp(&output, &expected, 40), 0);
    EXPECT_EQ(codec(ICM_DECOMPRESS_QUERY, &input, &output), ICERR_OK);

    input.biWidth = 321;
    input.biHeight = -2; // the magnitude keeps the size positive
    ASSERT_EQ(codec(ICM_DECOMPRESS_GET_FORMAT, &input, &output), ICERR_OK);
    EXPECT_EQ(output.biSizeImage, 321u * 2 * 3);
    EXPECT_EQ(output.biHeight, -2);
}

// Header lengths that do not fit the 112-byte answer or are shorter than the
// 108 bytes once copied for biSize 0: no read past the header, no write past
// 112 bytes, and an output whose biSize says how long it is.
TEST(Proposals, StayInsideBothHeadersWhateverBiSizeSays)
{
    Instance codec;
    struct Case {
        DWORD biSize;
        std::size_t readable; // bytes of the input that exist
        DWORD expectedSize;
    } cases[] = {{0, 40, 40}, {40, 40, 40}, {52, 52, 52}, {108, 108, 108}, {112, 112, 112}, {124, 124, 108},
                 {4096, 4096, 108}};
    for (UINT message : {UINT(ICM_COMPRESS_GET_FORMAT), UINT(ICM_DECOMPRESS_GET_FORMAT)}) {
        for (const Case& c : cases) {
            GuardedBuffer input(c.readable);
            GuardedBuffer output(112);
            ASSERT_TRUE(input.data() && output.data());
            for (std::size_t i = 0; i < c.readable; ++i) input.data()[i] = uint8_t(i * 3 + 1);
            BITMAPINFOHEADER header = message == ICM_COMPRESS_GET_FORMAT ? Rgb24(64, 32) : Ksha(64, 32);
            header.biSize = c.biSize;
            std::memcpy(input.data(), &header, 40);
            std::memset(output.data(), 0xEE, 112);

            ASSERT_EQ(codec(message, input.data(), output.data()), ICERR_OK) << "biSize " << c.biSize;
            BITMAPINFOHEADER proposed;
            std::memcpy(&proposed, output.data(), 40);
            EXPECT_EQ(proposed.biSize, c.expectedSize) << "biSize " << c.biSize;
            EXPECT_EQ(proposed.biWidth, 64);
            EXPECT_EQ(proposed.biHeight, 32);
            EXPECT_TRUE(std::equal(output.data() + 40, output.data() + c.expectedSize, input.data() + 40))
                << "the rest of the header is copied, biSize " << c.biSize;
            EXPECT_TRUE(std::all_of(output.data() + c.expectedSize, output.data() + 112, [](uint8_t b) { return b == 0xEE; }))
                << "biSize " << c.biSize;
        }
        // Not a BITMAPINFOHEADER at all (a 12-byte core header, say): refused, nothing written.
        GuardedBuffer core(12);
        GuardedBuffer output(112);
        ASSERT_TRUE(core.data() && output.data());
        std::memset(core.data(), 0, 12);
        core.data()[0] = 12;
        std::memset(output.data(), 0xEE, 112);
        // The fields past 12 bytes are not there to read; only biSize may be looked at.
        EXPECT_EQ(codec(message, core.data(), output.data()), ICERR_BADFORMAT);
        EXPECT_TRUE(std::all_of(output.data(), output.data() + 112, [](uint8_t b) { return b == 0xEE; }));
    }
}

TEST(SizeAnswer, FormulaForTheProposedFormat)
{
    Instance codec;
    struct Case {
        LONG width, height;
        LRESULT expected;
    } cases[] = {{320, 240, 153766}, {640, 480, 615027}, {1, 1, 15}, {320, -240, 153766}, {640, -480, 615027}};
    for (const Case& c : cases) {
        BITMAPINFOHEADER input = Rgb24(c.width, c.height);
        BITMAPINFOHEADER output{};
        ASSERT_EQ(codec(ICM_COMPRESS_GET_FORMAT, &input, &output), ICERR_OK);
        EXPECT_EQ(codec(ICM_COMPRESS_GET_SIZE, &input, &output), c.expected) << c.width << "x" << c.height;
        EXPECT_EQ(codec(ICM_COMPRESS_GET_SIZE, nullptr, &output), c.expected) << "the input is not needed";
    }
}

// Noise is the worst input for both coders; the smallest pictures are where
// the plain formula falls short of a stored deflate stream.
TEST(SizeAnswer, NoFrameIsLargerThanTheAnswer)
{
    Instance codec;
    struct Shape {
        LONG width, height;
        BITMAPINFOHEADER (*format)(LONG, LONG);
    } shapes[] = {{2, 1, Yuy2}, {2, 2, Uyvy}, {4, 4, Yuy2}, {2, 1, Rgb24}, {3, 1, Rgb24}, {5, 3, Rgb24},
                  {16, 16, Yuy2}, {64, 2, Uyvy}, {33, 7, Rgb24}, {96, 64, Yuy2}, {160, 120, Rgb24}};
    uint32_t seed = 1;
    for (const Shape& shape : shapes) {
        for (LONG height : {shape.height, -shape.height}) {
            BITMAPINFOHEADER input = shape.format(shape.width, height);
            BITMAPINFOHEADER output{};
            ASSERT_EQ(codec(ICM_COMPRESS_GET_FORMAT, &input, &output), ICERR_OK);
            LRESULT size = codec(ICM_COMPRESS_GET_SIZE, &input, &output);
            ASSERT_GT(size, 0);
            ASSERT_EQ(codec(ICM_COMPRESS_BEGIN, &input, &output), ICERR_OK);
            for (DWORD quality : {DWORD(0), DWORD(5999), DWORD(6000), DWORD(10000)}) {
                std::vector<uint8_t> frame = RandomBytes(input.biSizeImage, seed++);
                std::vector<uint8_t> compressed(std::size_t(size) + 64, 0xCD);
                DWORD flags = 0;
                ICCOMPRESS record = CompressRecord(input, frame.data(), output, compressed.data(), &flags, quality);
                ASSERT_EQ(codec(ICM_COMPRESS, &record, reinterpret_cast<void*>(sizeof(record))), ICERR_OK);
                EXPECT_LE(LRESULT(output.biSizeImage), size)
                    << shape.width << "x" << height << " quality " << quality;
                EXPECT_TRUE(std::all_of(compressed.begin() + size, compressed.end(), [](uint8_t b) { return b == 0xCD; }));
            }
            EXPECT_EQ(codec(ICM_COMPRESS_END), ICERR_OK);
        }
    }
}

// ---------------------------------------------------------------------------
// BEGIN, END and the picture

TEST(Begin, RefusesWhatTheQueriesRefuse)
{
    Instance codec;
    struct Pair {
        UINT message;
        BITMAPINFOHEADER input, output;
    } pairs[] = {
        {ICM_COMPRESS_BEGIN, Yuy2(321, 240), Ksha(321, 240)},
        {ICM_COMPRESS_BEGIN, Rgb24(1, 240), Ksha(1, 240)},
        {ICM_COMPRESS_BEGIN, Rgb24(320, 0), Ksha(320, 0)},
        {ICM_COMPRESS_BEGIN, Format(320, 240, 32, BI_RGB), Ksha(320, 240)},
        {ICM_COMPRESS_BEGIN, Rgb24(320, 240), Ksha(320, -240)},
        {ICM_COMPRESS_BEGIN, Rgb24(320, 240), Rgb24(320, 240)},
        {ICM_DECOMPRESS_BEGIN, Ksha(320, 240), Format(320, 240, 16, BI_RGB)},
        {ICM_DECOMPRESS_BEGIN, Ksha(321, 240), Uyvy(321, 240)},
        {ICM_DECOMPRESS_BEGIN, Ksha(320, 240), Rgb24(322, 240)},
        {ICM_DECOMPRESS_BEGIN, Rgb24(320, 240), Rgb24(320, 240)},
        {ICM_DECOMPRESSEX_BEGIN, Ksha(320, 240), Yuy2(320, 239)},
        {ICM_DECOMPRESSEX_BEGIN, Ksha(1, 1), Rgb24(1, 1)},
    };
    for (const Pair& pair : pairs) {
        LRESULT result;
        if (pair.message == ICM_DECOMPRESSEX_BEGIN) {
            ICDECOMPRESSEX ex{};
            ex.lpbiSrc = const_cast<BITMAPINFOHEADER*>(&pair.input);
            ex.lpbiDst = const_cast<BITMAPINFOHEADER*>(&pair.output);
            result = codec(pair.message, &ex, nullptr);
        } else {
            result = codec(pair.message, &pair.input, &pair.output);
        }
        EXPECT_EQ(result, ICERR_BADFORMAT) << pair.input.biWidth << "x" << pair.input.biHeight << " message 0x"
                                           << std::hex << pair.message;
    }
    // Nothing was attached, so a frame finds no picture.
    BITMAPINFOHEADER input = Yuy2(321, 240), output = Ksha(321, 240);
    std::vector<uint8_t> frame(321 * 240 * 2), compressed(400000);
    ICCOMPRESS record = CompressRecord(input, frame.data(), output, compressed.data(), nullptr, 0);
    EXPECT_LT(codec(ICM_COMPRESS, &record), 0);
}

TEST(Begin, TwoBeginsKeepTheSecondPictureAndEndsMayRepeat)
{
    Instance codec;
    BITMAPINFOHEADER large = Yuy2(64, 48), largeOut = Ksha(64, 48);
    BITMAPINFOHEADER small = Yuy2(32, 16), smallOut = Ksha(32, 16);
    ASSERT_EQ(codec(ICM_COMPRESS_BEGIN, &large, &largeOut), ICERR_OK);
    ASSERT_EQ(codec(ICM_COMPRESS_BEGIN, &small, &smallOut), ICERR_OK);

    std::vector<uint8_t> compressed(20000);
    std::vector<uint8_t> smallFrame = PictureLike(32 * 16 * 2, 3);
    std::vector<uint8_t> largeFrame = PictureLike(64 * 48 * 2, 4);
    ICCOMPRESS record = CompressRecord(small, smallFrame.data(), smallOut, compressed.data(), nullptr, 0);
    EXPECT_EQ(codec(ICM_COMPRESS, &record), ICERR_OK);
    record = CompressRecord(large, largeFrame.data(), largeOut, compressed.data(), nullptr, 0);
    EXPECT_NE(codec(ICM_COMPRESS, &record), ICERR_OK) << "the first picture is gone";

    EXPECT_EQ(codec(ICM_COMPRESS_END), ICERR_OK);
    EXPECT_EQ(codec(ICM_COMPRESS_END), ICERR_OK);
    EXPECT_EQ(codec(ICM_DECOMPRESS_END), ICERR_OK);
    EXPECT_EQ(codec(ICM_DECOMPRESSEX_END), ICERR_OK);
    record = CompressRecord(small, smallFrame.data(), smallOut, compressed.data(), nullptr, 0);
    EXPECT_NE(codec(ICM_COMPRESS, &record), ICERR_OK) << "END released the picture";
}

// Reads the heap's figures through glibc's mallinfo2, so Linux only.
#if defined(__GLIBC__)
TEST(Begin, ARepeatedBeginReleasesThePictureBefore)
{
    Instance codec;
    BITMAPINFOHEADER input = Rgb24(1024, 512), output = Ksha(1024, 512); // 1 MiB pictures
    ASSERT_EQ(codec(ICM_COMPRESS_BEGIN, &input, &output), ICERR_OK);
    auto inUse = [] {
        struct mallinfo2 info = mallinfo2();
        return info.uordblks + info.hblkhd;
    };
    std::size_t before = inUse();
    for (int i = 0; i < 32; ++i) {
        ASSERT_EQ(codec(ICM_COMPRESS_BEGIN, &input, &output), ICERR_OK);
        ICDECOMPRESSEX ex{};
        BITMAPINFOHEADER ksha = Ksha(1024, 512), rgb = Rgb24(1024, 512);
        ex.lpbiSrc = &ksha;
        ex.lpbiDst = &rgb;
        ASSERT_EQ(codec(ICM_DECOMPRESSEX_BEGIN, &ex), ICERR_OK);
        ASSERT_EQ(codec(ICM_DECOMPRESS_BEGIN, &ksha, &rgb), ICERR_OK);
    }
    EXPECT_LT(inUse(), before + 2 * PictureBytes(1024, 512)) << "96 BEGINs kept their pictures";
}
#endif

TEST(Begin, AllocationFailuresAnswerMemoryAndLeaveNoPicture)
{
#if defined(KESTRUN_FAULT_INJECTION)
    Instance codec;
    BITMAPINFOHEADER input = Uyvy(64, 32), output = Ksha(64, 32);
    ASSERT_EQ(codec(ICM_COMPRESS_BEGIN, &input, &output), ICERR_OK); // tables built, a picture attached
    std::vector<uint8_t> frame = PictureLike(64 * 32 * 2, 9), compressed(10000);
    ICCOMPRESS record = CompressRecord(input, frame.data(), output, compressed.data(), nullptr, 0);
    for (std::uint64_t failing : {1u, 2u}) { // the holder, then its planes
        SetAllocationFailure(failing);
        LRESULT result = codec(ICM_COMPRESS_BEGIN, &input, &output);
        SetAllocationFailure(0);
        EXPECT_EQ(result, ICERR_MEMORY) << "allocation " << failing;
        EXPECT_NE(codec(ICM_COMPRESS, &record), ICERR_OK) << "no picture after a failed BEGIN";
        ASSERT_EQ(codec(ICM_COMPRESS_BEGIN, &input, &output), ICERR_OK);
        EXPECT_EQ(codec(ICM_COMPRESS, &record), ICERR_OK);
    }
    BITMAPINFOHEADER ksha = Ksha(64, 32), rgb = Rgb24(64, 32);
    SetAllocationFailure(2);
    EXPECT_EQ(codec(ICM_DECOMPRESS_BEGIN, &ksha, &rgb), ICERR_MEMORY);
    SetAllocationFailure(0);
#else
    GTEST_SKIP() << "allocation failures need the fault-injection build";
#endif
}

// ---------------------------------------------------------------------------
// Messages without an instance, a picture or a record

TEST(Robustness, InstanceMessagesWithoutAnInstanceAnswerAnError)
{
    BITMAPINFOHEADER input = Yuy2(32, 16), output = Ksha(32, 16), rgb = Rgb24(32, 16);
    std::vector<uint8_t> frame(32 * 16 * 3), compressed(4000);
    ICCOMPRESS compress = CompressRecord(input, frame.data(), output, compressed.data(), nullptr, 0);
    ICDECOMPRESS decompress{0, &output, compressed.data(), &rgb, frame.data(), 0};
    ICDECOMPRESSEX ex{};
    ex.lpbiSrc = &output;
    ex.lpSrc = compressed.data();
    ex.lpbiDst = &rgb;
    ex.lpDst = frame.data();
    DWORD quality = 100;
    struct Message {
        UINT number;
        const void *p1, *p2;
    } messages[] = {
        {ICM_COMPRESS_BEGIN, &input, &output}, {ICM_COMPRESS, &compress, nullptr},
        {ICM_COMPRESS_END, nullptr, nullptr},  {ICM_DECOMPRESS_BEGIN, &output, &rgb},
        {ICM_DECOMPRESS, &decompress, nullptr}, {ICM_DECOMPRESS_END, nullptr, nullptr},
        {ICM_DECOMPRESSEX_BEGIN, &ex, nullptr}, {ICM_DECOMPRESSEX, &ex, nullptr},
        {ICM_DECOMPRESSEX_END, nullptr, nullptr}, {ICM_GETQUALITY, &quality, nullptr},
        {ICM_SETQUALITY, &quality, nullptr},
    };
    for (const Message& m : messages)
        EXPECT_LT(Send(0, m.number, m.p1, m.p2), 0) << "message 0x" << std::hex << m.number;
    EXPECT_EQ(quality, 100u);
}

TEST(Robustness, FramesWithoutBeginAnswerAnError)
{
    Instance codec;
    // A real frame, made on another instance.
    BITMAPINFOHEADER input = Yuy2(32, 16), output = Ksha(32, 16), yuy2 = Yuy2(32, 16);
    std::vector<uint8_t> frame = PictureLike(32 * 16 * 2, 5), compressed(4000);
    {
        Instance maker;
        ASSERT_EQ(maker(ICM_COMPRESS_BEGIN, &input, &output), ICERR_OK);
        ICCOMPRESS record = CompressRecord(input, frame.data(), output, compressed.data(), nullptr, 0);
        ASSERT_EQ(maker(ICM_COMPRESS, &record), ICERR_OK);
    }
    std::vector<uint8_t> decoded(frame.size(), 0x11);
    ICCOMPRESS compress = CompressRecord(input, frame.data(), output, compressed.data(), nullptr, 0);
    ICDECOMPRESS decompress{0, &output, compressed.data(), &yuy2, decoded.data(), 0};
    ICDECOMPRESSEX ex{};
    ex.lpbiSrc = &output;
    ex.lpSrc = compressed.data();
    ex.lpbiDst = &yuy2;
    ex.lpDst = decoded.data();
    for (int round = 0; round < 2; ++round) { // before any BEGIN, and after an END
        EXPECT_LT(codec(ICM_COMPRESS, &compress), 0);
        EXPECT_LT(codec(ICM_DECOMPRESS, &decompress), 0);
        EXPECT_LT(codec(ICM_DECOMPRESSEX, &ex), 0);
        ASSERT_EQ(codec(ICM_DECOMPRESS_BEGIN, &output, &yuy2), ICERR_OK);
        ASSERT_EQ(codec(ICM_DECOMPRESS, &decompress), ICERR_OK);
        ASSERT_EQ(codec(ICM_DECOMPRESS_END), ICERR_OK);
    }
    EXPECT_EQ(decoded, frame);
}

TEST(Robustness, MissingRecordsAnswerAnError)
{
    Instance codec;
    BITMAPINFOHEADER rgb = Rgb24(32, 16), ksha = Ksha(32, 16);
    uint8_t buffer[112];
    EXPECT_LT(codec(ICM_COMPRESS_QUERY, nullptr, &ksha), 0);
    EXPECT_LT(codec(ICM_DECOMPRESS_QUERY, nullptr, &rgb), 0);
    EXPECT_LT(codec(ICM_DECOMPRESSEX_QUERY), 0);
    EXPECT_LT(codec(ICM_COMPRESS_GET_FORMAT, nullptr, buffer), 0);
    EXPECT_LT(codec(ICM_DECOMPRESS_GET_FORMAT, nullptr, buffer), 0);
    EXPECT_LT(codec(ICM_COMPRESS_GET_SIZE, &rgb, nullptr), 0);
    EXPECT_LT(codec(ICM_COMPRESS_BEGIN, &rgb, nullptr), 0);
    EXPECT_LT(codec(ICM_COMPRESS_BEGIN, nullptr, &ksha), 0);
    EXPECT_LT(codec(ICM_DECOMPRESS_BEGIN, &ksha, nullptr), 0);
    EXPECT_LT(codec(ICM_DECOMPRESSEX_BEGIN), 0);
    ICDECOMPRESSEX empty{};
    EXPECT_LT(codec(ICM_DECOMPRESSEX_BEGIN, &empty), 0);
    EXPECT_LT(codec(ICM_GETQUALITY), 0);
    EXPECT_LT(codec(ICM_SETQUALITY), 0);
    EXPECT_LT(codec(ICM_GETDEFAULTQUALITY), 0);
    EXPECT_LT(codec(ICM_GETDEFAULTKEYFRAMERATE), 0);

    ASSERT_EQ(codec(ICM_DECOMPRESS_BEGIN, &ksha, &rgb), ICERR_OK);
    EXPECT_LT(codec(ICM_COMPRESS), 0);
    EXPECT_LT(codec(ICM_DECOMPRESS), 0);
    EXPECT_LT(codec(ICM_DECOMPRESSEX), 0);
    ICDECOMPRESS noOutput{0, &ksha, buffer, &rgb, nullptr, 0};
    EXPECT_LT(codec(ICM_DECOMPRESS, &noOutput), 0);
    ICDECOMPRESSEX noInput{};
    noInput.lpbiDst = &rgb;
    noInput.lpDst = buffer;
    EXPECT_LT(codec(ICM_DECOMPRESSEX, &noInput), 0);
    ASSERT_EQ(codec(ICM_COMPRESS_BEGIN, &rgb, &ksha), ICERR_OK);
    ICCOMPRESS noFrame{};
    noFrame.lpbiInput = &rgb;
    noFrame.lpbiOutput = &ksha;
    noFrame.lpOutput = buffer;
    EXPECT_LT(codec(ICM_COMPRESS, &noFrame), 0);
}

// ---------------------------------------------------------------------------
// Frames

namespace {
// One frame compressed through DriverProc, with the formats a host would use.
struct Stream {
    BITMAPINFOHEADER input;
    BITMAPINFOHEADER compressedFormat;
    std::vector<uint8_t> frame;
    std::vector<uint8_t> compressed;
};

Stream CompressThroughDriver(const Instance& codec, const BITMAPINFOHEADER& format, std::vector<uint8_t> frame,
                             DWORD quality)
{
    Stream stream{format, {}, std::move(frame), {}};
    EXPECT_EQ(codec(ICM_COMPRESS_QUERY, &stream.input), ICERR_OK);
    LRESULT formatSize = codec(ICM_COMPRESS_GET_FORMAT, &stream.input);
    EXPECT_EQ(formatSize, 112);
    std::vector<uint8_t> proposal(std::size_t(std::max<LRESULT>(formatSize, 40)));
    EXPECT_EQ(codec(ICM_COMPRESS_GET_FORMAT, &stream.input, proposal.data()), ICERR_OK);
    std::memcpy(&stream.compressedFormat, proposal.data(), sizeof(BITMAPINFOHEADER));
    EXPECT_EQ(codec(ICM_COMPRESS_QUERY, &stream.input, &stream.compressedFormat), ICERR_OK);
    LRESULT size = codec(ICM_COMPRESS_GET_SIZE, &stream.input, &stream.compressedFormat);
    stream.compressed.assign(std::size_t(size), 0);
    EXPECT_EQ(codec(ICM_COMPRESS_BEGIN, &stream.input, &stream.compressedFormat), ICERR_OK);
    DWORD flags = 0;
    DWORD ckid = 0;
    ICCOMPRESS record = CompressRecord(stream.input, stream.frame.data(), stream.compressedFormat,
                                       stream.compressed.data(), &flags, quality);
    record.lpckid = &ckid;
    EXPECT_EQ(codec(ICM_COMPRESS, &record, reinterpret_cast<void*>(sizeof(record))), ICERR_OK);
    EXPECT_EQ(codec(ICM_COMPRESS_END), ICERR_OK);
    EXPECT_NE(flags & AVIIF_KEYFRAME, 0u);
    EXPECT_LE(LRESULT(stream.compressedFormat.biSizeImage), size);
    stream.compressed.resize(stream.compressedFormat.biSizeImage);
    return stream;
}

std::vector<uint8_t> CompressDirectly(BITMAPINFOHEADER input, const std::vector<uint8_t>& frame, DWORD quality)
{
    const FrameFormat format = CoreFormatOf(input);
    DirectPicture direct(format.width, format.height);
    std::vector<uint8_t> compressed(WorstCaseFrameSize(format.width, format.height));
    std::size_t size = 0;
    EXPECT_EQ(CompressFrame(direct.picture, format, frame.data(), frame.size(), CoderForQuality(quality),
                            compressed.data(), compressed.size(), &size),
              CodecResult::Ok);
    compressed.resize(size);
    return compressed;
}

std::vector<uint8_t> DecompressDirectly(const std::vector<uint8_t>& compressed, const BITMAPINFOHEADER& output)
{
    const FrameFormat format = CoreFormatOf(output);
    DirectPicture direct(format.width, format.height);
    std::vector<uint8_t> decoded(output.biSizeImage);
    EXPECT_EQ(DecompressFrame(direct.picture, compressed.data(), compressed.size(), format, decoded.data(),
                              decoded.size()),
              CodecResult::Ok);
    return decoded;
}

// Decompresses through DriverProc with ICM_DECOMPRESS and ICM_DECOMPRESSEX;
// both must give the same picture. Buffers start zeroed like the direct
// path's: RGB32 output keeps the fourth byte as it was.
std::vector<uint8_t> DecompressThroughDriver(const Instance& codec, const Stream& stream, BITMAPINFOHEADER output)
{
    BITMAPINFOHEADER compressedFormat = stream.compressedFormat;
    EXPECT_EQ(codec(ICM_DECOMPRESS_QUERY, &compressedFormat, &output), ICERR_OK);
    EXPECT_EQ(codec(ICM_DECOMPRESS_BEGIN, &compressedFormat, &output), ICERR_OK);
    std::vector<uint8_t> decoded(output.biSizeImage, 0);
    ICDECOMPRESS record{ICDECOMPRESS_HURRYUP, &compressedFormat, const_cast<uint8_t*>(stream.compressed.data()),
                        &output, decoded.data(), 0};
    EXPECT_EQ(codec(ICM_DECOMPRESS, &record, reinterpret_cast<void*>(sizeof(record))), ICERR_OK);
    EXPECT_EQ(codec(ICM_DECOMPRESS_END), ICERR_OK);

    ICDECOMPRESSEX ex{};
    ex.lpbiSrc = &compressedFormat;
    ex.lpSrc = const_cast<uint8_t*>(stream.compressed.data());
    ex.lpbiDst = &output;
    std::vector<uint8_t> decodedEx(output.biSizeImage, 0);
    ex.lpDst = decodedEx.data();
    EXPECT_EQ(codec(ICM_DECOMPRESSEX_BEGIN, &ex, reinterpret_cast<void*>(sizeof(ex))), ICERR_OK);
    EXPECT_EQ(codec(ICM_DECOMPRESSEX, &ex, reinterpret_cast<void*>(sizeof(ex))), ICERR_OK);
    EXPECT_EQ(codec(ICM_DECOMPRESSEX_END), ICERR_OK);
    EXPECT_EQ(decoded, decodedEx);
    return decoded;
}
} // namespace

TEST(HostSession, PackedFramesMatchTheDirectPathAndComeBackExactly)
{
    Instance codec;
    uint32_t seed = 20;
    for (DWORD quality : {DWORD(5000), DWORD(9000)}) {
        for (auto format : {Yuy2, Uyvy}) {
            for (LONG height : {48L, 17L, -17L}) {
                BITMAPINFOHEADER input = format(64, height);
                std::vector<uint8_t> frame = PictureLike(input.biSizeImage, seed++);
                Stream stream = CompressThroughDriver(codec, input, frame, quality);
                EXPECT_EQ(stream.compressed, CompressDirectly(input, frame, quality))
                    << "height " << height << " quality " << quality;
                // Back into the same packed format, byte for byte.
                EXPECT_EQ(DecompressThroughDriver(codec, stream, input), frame) << "height " << height;
            }
        }
    }
}

TEST(HostSession, RgbFramesMatchTheDirectPathBothWays)
{
    Instance codec;
    uint32_t seed = 40;
    for (DWORD quality : {DWORD(0), DWORD(10000)}) {
        for (LONG width : {64L, 33L}) {
            BITMAPINFOHEADER input = Rgb24(width, 24);
            std::vector<uint8_t> frame = PictureLike(input.biSizeImage, seed++);
            Stream stream = CompressThroughDriver(codec, input, frame, quality);
            EXPECT_EQ(stream.compressed, CompressDirectly(input, frame, quality)) << "width " << width;
            for (BITMAPINFOHEADER output : {Rgb24(width, 24), Rgb24(width, -24), Format(width, 24, 32, BI_RGB)})
                EXPECT_EQ(DecompressThroughDriver(codec, stream, output), DecompressDirectly(stream.compressed, output))
                    << "width " << width << " bits " << output.biBitCount << " height " << output.biHeight;
        }
    }
}

// A top-down source is the same picture as its bottom-up mirror: the same
// size answer, and the same frame.
TEST(HostSession, TopDownSourcesCompressLikeTheirBottomUpMirror)
{
    Instance codec;
    const LONG width = 40, height = 30;
    std::vector<uint8_t> bottomUp = PictureLike(width * height * 3, 77);
    std::vector<uint8_t> topDown(bottomUp.size());
    for (LONG row = 0; row < height; ++row)
        std::memcpy(&topDown[std::size_t(row) * width * 3], &bottomUp[std::size_t(height - 1 - row) * width * 3],
                    std::size_t(width) * 3);
    for (DWORD quality : {DWORD(1000), DWORD(8000)}) {
        Stream up = CompressThroughDriver(codec, Rgb24(width, height), bottomUp, quality);
        Stream down = CompressThroughDriver(codec, Rgb24(width, -height), topDown, quality);
        EXPECT_EQ(down.compressedFormat.biHeight, -height) << "the proposal keeps the sign";
        EXPECT_EQ(up.compressed, down.compressed);
    }
    // Packed frames are top-down whatever the sign says.
    std::vector<uint8_t> packed = PictureLike(width * height * 2, 78);
    EXPECT_EQ(CompressThroughDriver(codec, Yuy2(width, height), packed, 0).compressed,
              CompressThroughDriver(codec, Yuy2(width, -height), packed, 0).compressed);
}

TEST(DecompressGate, UpdatesAndNullFramesAreSkippedOtherFlagsDecode)
{
    Instance codec;
    BITMAPINFOHEADER input = Uyvy(32, 8);
    std::vector<uint8_t> frame = PictureLike(input.biSizeImage, 91);
    Stream stream = CompressThroughDriver(codec, input, frame, 0);
    BITMAPINFOHEADER compressedFormat = stream.compressedFormat;
    ASSERT_EQ(codec(ICM_DECOMPRESS_BEGIN, &compressedFormat, &input), ICERR_OK);
    struct Case {
        DWORD flags;
        bool decoded;
    } cases[] = {{ICDECOMPRESS_NULLFRAME, false},
                 {ICDECOMPRESS_UPDATE, false},
                 {ICDECOMPRESS_UPDATE | ICDECOMPRESS_HURRYUP, false},
                 {DWORD(ICDECOMPRESS_NULLFRAME | ICDECOMPRESS_PREROLL), false},
                 {ICDECOMPRESS_HURRYUP, true},
                 {ICDECOMPRESS_PREROLL, true},
                 {ICDECOMPRESS_NOTKEYFRAME, true},
                 {0, true}};
    for (const Case& c : cases) {
        std::vector<uint8_t> output(frame.size(), 0x77);
        ICDECOMPRESS record{c.flags, &compressedFormat, stream.compressed.data(), &input, output.data(), 0};
        EXPECT_EQ(codec(ICM_DECOMPRESS, &record), ICERR_OK) << std::hex << c.flags;
        if (c.decoded)
            EXPECT_EQ(output, frame) << std::hex << c.flags;
        else
            EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](uint8_t b) { return b == 0x77; }))
                << std::hex << c.flags;

        std::vector<uint8_t> outputEx(frame.size(), 0x77);
        ICDECOMPRESSEX ex{};
        ex.dwFlags = c.flags;
        ex.lpbiSrc = &compressedFormat;
        ex.lpSrc = stream.compressed.data();
        ex.lpbiDst = &input;
        ex.lpDst = outputEx.data();
        EXPECT_EQ(codec(ICM_DECOMPRESSEX, &ex), ICERR_OK) << std::hex << c.flags;
        EXPECT_EQ(outputEx, output) << "EX, " << std::hex << c.flags;
    }
}

// The frame's size travels in the input header; a frame cut short must not
// decode from bytes the host did not hand over.
TEST(DecompressGate, TheInputHeaderGivesTheFrameSize)
{
    Instance codec;
    BITMAPINFOHEADER input = Yuy2(48, 12);
    std::vector<uint8_t> frame = PictureLike(input.biSizeImage, 92);
    for (DWORD quality : {DWORD(0), DWORD(9000)}) {
        Stream stream = CompressThroughDriver(codec, input, frame, quality);
        BITMAPINFOHEADER compressedFormat = stream.compressedFormat;
        ASSERT_EQ(codec(ICM_DECOMPRESS_BEGIN, &compressedFormat, &input), ICERR_OK);
        std::vector<uint8_t> output(frame.size());
        ICDECOMPRESS record{0, &compressedFormat, stream.compressed.data(), &input, output.data(), 0};
        ICDECOMPRESSEX ex{};
        ex.lpbiSrc = &compressedFormat;
        ex.lpSrc = stream.compressed.data();
        ex.lpbiDst = &input;
        ex.lpDst = output.data();

        compressedFormat.biSizeImage = DWORD(stream.compressed.size() - 4);
        EXPECT_NE(codec(ICM_DECOMPRESS, &record), ICERR_OK) << "quality " << quality;
        EXPECT_NE(codec(ICM_DECOMPRESSEX, &ex), ICERR_OK) << "quality " << quality;
        compressedFormat.biSizeImage = DWORD(stream.compressed.size());
        EXPECT_EQ(codec(ICM_DECOMPRESS, &record), ICERR_OK);
        EXPECT_EQ(codec(ICM_DECOMPRESSEX, &ex), ICERR_OK);
        // No header: the frame is taken at its word.
        record.lpbiInput = nullptr;
        ex.lpbiSrc = nullptr;
        std::fill(output.begin(), output.end(), 0);
        EXPECT_EQ(codec(ICM_DECOMPRESS, &record), ICERR_OK);
        EXPECT_EQ(output, frame);
        EXPECT_EQ(codec(ICM_DECOMPRESSEX, &ex), ICERR_OK);
        EXPECT_EQ(codec(ICM_DECOMPRESS_END), ICERR_OK);
    }
}

// ---------------------------------------------------------------------------
// The shared library

// libkestrun-vfw.so, built on Linux only (kestrun.dll's exports are checked
// by tests/windows/run-wine-tests.sh).
#if defined(KESTRUN_VFW_LIBRARY)
// A host that leaves the input's biSizeImage at 0 hands over a buffer of at
// least the worst-case size; the payload is read no further than that, and
// an intact frame no further than its own end.
TEST(DecompressGate, AnUnknownFrameSizeIsBoundByTheWorstCaseSize)
{
    Instance codec;
    BITMAPINFOHEADER output = Yuy2(64, 20);
    const std::vector<uint8_t> picture = PictureLike(output.biSizeImage, 7);
    for (DWORD quality : {DWORD(0), DWORD(9000)}) {
        Stream stream = CompressThroughDriver(codec, output, picture, quality);
        BITMAPINFOHEADER compressedFormat = stream.compressedFormat;
        compressedFormat.biSizeImage = 0;
        ASSERT_EQ(codec(ICM_DECOMPRESS_BEGIN, &compressedFormat, &output), ICERR_OK);
        const auto decode = [&](const GuardedBuffer& frame, std::vector<uint8_t>& decoded) {
            ICDECOMPRESS record{0, &compressedFormat, const_cast<uint8_t*>(frame.data()), &output, decoded.data(), 0};
            return codec(ICM_DECOMPRESS, &record);
        };
        // The intact frame, ending against a guard page.
        GuardedBuffer exact(stream.compressed.size());
        std::memcpy(exact.data(), stream.compressed.data(), stream.compressed.size());
        std::vector<uint8_t> decoded(picture.size());
        EXPECT_EQ(decode(exact, decoded), ICERR_OK) << "quality " << quality;
        EXPECT_EQ(decoded, picture);
        // A forged payload length: the reading stops at the worst-case size,
        // where the guard page is.
        const LRESULT bound = codec(ICM_COMPRESS_GET_SIZE, &output, &stream.compressedFormat);
        GuardedBuffer forged{std::size_t(bound)};
        std::memset(forged.data(), 0, forged.size());
        std::memcpy(forged.data(), stream.compressed.data(), stream.compressed.size());
        forged.data()[4] = forged.data()[5] = forged.data()[6] = forged.data()[7] = 0xFF;
        EXPECT_EQ(decode(forged, decoded), ICERR_ERROR) << "quality " << quality;
        EXPECT_EQ(codec(ICM_DECOMPRESS_END), ICERR_OK);
    }
}

// The host's output size field is not a limit: a host may leave it 0 for RGB.
TEST(DecompressGate, TheOutputSizeFieldDoesNotLimitTheInflate)
{
    Instance codec;
    BITMAPINFOHEADER rgb = Rgb24(10, 6);
    Stream stream = CompressThroughDriver(codec, rgb, RandomBytes(rgb.biSizeImage, 4), 10000);
    ASSERT_EQ(std::memcmp(stream.compressed.data(), "VYZL", 4), 0);
    const std::vector<uint8_t> expected = DecompressThroughDriver(codec, stream, rgb);
    for (DWORD size : {DWORD(0), DWORD(1)}) {
        BITMAPINFOHEADER output = rgb;
        output.biSizeImage = size;
        BITMAPINFOHEADER compressedFormat = stream.compressedFormat;
        ASSERT_EQ(codec(ICM_DECOMPRESS_BEGIN, &compressedFormat, &output), ICERR_OK);
        std::vector<uint8_t> decoded(expected.size(), 0);
        ICDECOMPRESS record{0, &compressedFormat, stream.compressed.data(), &output, decoded.data(), 0};
        EXPECT_EQ(codec(ICM_DECOMPRESS, &record), ICERR_OK);
        EXPECT_EQ(decoded, expected) << "biSizeImage " << size;
        EXPECT_EQ(codec(ICM_DECOMPRESS_END), ICERR_OK);
    }
}

// ICM_COMPRESS sets the key-frame flag and nothing else in the host's word,
// records the tag the quality asks for and then the one used, and a refused
// frame leaves the flags and the output header alone.
TEST(HostSession, CompressSetsOnlyTheKeyFrameFlagAndRecordsTheTag)
{
    Instance codec;
    const auto* instance = reinterpret_cast<const CodecInstance*>(codec.id);
    // 2x1 of 0 and 255: Huffman's weight table does not fit, so deflate codes it.
    struct Case {
        LONG width;
        std::vector<uint8_t> picture;
        DWORD quality;
        uint32_t tag;
    } cases[] = {{2, {0, 255, 255, 0}, 0, FrameTagDeflate},
                 {64, PictureLike(64 * 16 * 2, 3), 9000, FrameTagDeflate},
                 {64, PictureLike(64 * 16 * 2, 3), 0, FrameTagHuffman}};
    for (const Case& c : cases) {
        const LONG height = c.width == 2 ? 1 : 16;
        BITMAPINFOHEADER input = Yuy2(c.width, height), output = Ksha(c.width, height);
        std::vector<uint8_t> compressed(std::size_t(codec(ICM_COMPRESS_GET_SIZE, &input, &output)));
        ASSERT_EQ(codec(ICM_COMPRESS_BEGIN, &input, &output), ICERR_OK);
        DWORD flags = 0x40000003;
        ICCOMPRESS record = CompressRecord(input, c.picture.data(), output, compressed.data(), &flags, c.quality);
        EXPECT_EQ(codec(ICM_COMPRESS, &record), ICERR_OK);
        EXPECT_EQ(flags, DWORD(0x40000003 | AVIIF_KEYFRAME));
        EXPECT_EQ(instance->frameTag, c.tag) << "quality " << c.quality;

        BITMAPINFOHEADER rgb32 = Rgb24(c.width, height);
        rgb32.biBitCount = 32;
        flags = 0;
        output.biSizeImage = 77;
        ICCOMPRESS refused = CompressRecord(rgb32, c.picture.data(), output, compressed.data(), &flags, 0);
        EXPECT_EQ(codec(ICM_COMPRESS, &refused), ICERR_BADFORMAT);
        EXPECT_EQ(flags, 0u);
        EXPECT_EQ(output.biSizeImage, 77u);
        EXPECT_EQ(codec(ICM_COMPRESS_END), ICERR_OK);
    }
}

TEST(SharedLibrary, ExportsDriverProcAloneAndAnswersMessages)
{
    void* library = dlopen(KESTRUN_VFW_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    using DriverProcType = LRESULT (*)(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);
    auto proc = reinterpret_cast<DriverProcType>(dlsym(library, "DriverProc"));
    ASSERT_NE(proc, nullptr);
    EXPECT_NE(reinterpret_cast<void*>(proc), reinterpret_cast<void*>(&DriverProc)) << "the library's own copy";

    ICOPEN open{};
    open.dwSize = sizeof(open);
    open.fccType = ICTYPE_VIDEO;
    open.dwError = 99;
    DWORD_PTR id = DWORD_PTR(proc(0, nullptr, DRV_OPEN, 0, reinterpret_cast<LPARAM>(&open)));
    ASSERT_NE(id, 0u);
    EXPECT_EQ(open.dwError, ICERR_OK);
    ICINFO info{};
    EXPECT_EQ(proc(id, nullptr, ICM_GETINFO, reinterpret_cast<LPARAM>(&info), sizeof(info)), LRESULT(sizeof(info)));
    EXPECT_EQ(std::memcmp(&info.fccHandler, "KSHA", 4), 0);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(info.szDescription)), u"Kestrun Archive Codec");

    // A frame through the library is the frame through the linked driver.
    BITMAPINFOHEADER input = Rgb24(20, 10), output = Ksha(20, 10);
    std::vector<uint8_t> frame = PictureLike(input.biSizeImage, 5), compressed(2000);
    EXPECT_EQ(proc(id, nullptr, ICM_COMPRESS_BEGIN, reinterpret_cast<LPARAM>(&input), reinterpret_cast<LPARAM>(&output)),
              ICERR_OK);
    ICCOMPRESS record = CompressRecord(input, frame.data(), output, compressed.data(), nullptr, 8000);
    EXPECT_EQ(proc(id, nullptr, ICM_COMPRESS, reinterpret_cast<LPARAM>(&record), sizeof(record)), ICERR_OK);
    compressed.resize(output.biSizeImage);
    EXPECT_EQ(compressed, CompressDirectly(input, frame, 8000));
    EXPECT_EQ(proc(id, nullptr, DRV_CLOSE, 0, 0), 1);
    dlclose(library);

    // Nothing else is visible from outside.
    std::string command = std::string("nm -D --defined-only '") + KESTRUN_VFW_LIBRARY + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> exported;
    char line[512];
    while (std::fgets(line, sizeof(line), pipe)) {
        char type = 0;
        char name[400];
        if (std::sscanf(line, "%*s %c %399s", &type, name) == 2) exported.insert(name);
    }
    if (pclose(pipe) != 0 && exported.empty()) GTEST_SKIP() << "nm is not available";
    EXPECT_EQ(exported, std::set<std::string>{"DriverProc"});
}
#endif
