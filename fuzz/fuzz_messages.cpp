// The message surface: random sequences of messages with random numbers and
// parameters into DriverProc. Must never crash, overrun or leak.
//
// Each step reads a message (one of the table's or any number), a driver
// identifier (0 or an instance this input opened) and, for each parameter,
// either an integer or, where the message takes a record, null or a record
// with random fields. Records keep the host's side of the contract: a
// header buffer is as long as its biSize says (up to 4096 bytes), picture
// buffers are as large as their header says, a compressed frame's buffer is
// biSizeImage bytes and a compress output has the worst-case frame size of
// its input; all of them end against guard pages. Instances still open at
// the end are closed, so LeakSanitizer sees anything a message leaked.
#include <memory>
#include <vector>

#include "codec/codec.h"
#include "fuzz_driver.h"
#include "tests/support/guarded_buffer.h"

namespace {
const UINT knownMessages[] = {
    DRV_LOAD, DRV_ENABLE, DRV_OPEN, DRV_CLOSE, DRV_DISABLE, DRV_FREE, DRV_CONFIGURE, DRV_QUERYCONFIGURE,
    DRV_INSTALL, DRV_REMOVE, DRV_EXITSESSION, DRV_POWER, ICM_GETSTATE, ICM_SETSTATE, ICM_GETINFO, ICM_CONFIGURE,
    ICM_ABOUT, ICM_GETERRORTEXT, ICM_GETFORMATNAME, ICM_ENUMFORMATS, ICM_GETDEFAULTQUALITY, ICM_GETQUALITY,
    ICM_SETQUALITY, ICM_SET, ICM_GET, ICM_COMPRESS_GET_FORMAT, ICM_COMPRESS_GET_SIZE, ICM_COMPRESS_QUERY,
    ICM_COMPRESS_BEGIN, ICM_COMPRESS, ICM_COMPRESS_END, ICM_DECOMPRESS_GET_FORMAT, ICM_DECOMPRESS_QUERY,
    ICM_DECOMPRESS_BEGIN, ICM_DECOMPRESS, ICM_DECOMPRESS_END, ICM_DECOMPRESS_SET_PALETTE,
    ICM_DECOMPRESS_GET_PALETTE, ICM_DRAW_QUERY, ICM_DRAW_BEGIN, ICM_GETBUFFERSWANTED, ICM_GETDEFAULTKEYFRAMERATE,
    ICM_DECOMPRESSEX_BEGIN, ICM_DECOMPRESSEX_QUERY, ICM_DECOMPRESSEX, ICM_DECOMPRESSEX_END,
    ICM_COMPRESS_FRAMES_INFO, ICM_COMPRESS_FRAMES, ICM_SET_STATUS_PROC, ICM_USER - 1, ICM_USER, 0,
};

constexpr std::size_t LargestPicture = std::size_t(1) << 22;

class Session {
public:
    explicit Session(FuzzReader& reader) : reader_(reader)
    {
        // Most host sessions start with an instance.
        if (reader_.Byte() & 1) {
            const DWORD_PTR driver = OpenDriver();
            FUZZ_CHECK(driver != 0);
            instances_.push_back(driver);
        }
    }
    ~Session()
    {
        for (DWORD_PTR instance : instances_) CloseDriver(instance);
    }

    void Step()
    {
        const uint8_t pick = reader_.Byte();
        const UINT message = pick < 240 ? knownMessages[pick % std::size(knownMessages)] : UINT(reader_.Dword());
        DWORD_PTR driver = 0;
        const uint8_t which = reader_.Byte() % 8;
        if (which < instances_.size()) driver = instances_[which];

        LPARAM lParam1 = 0, lParam2 = 0;
        switch (message) {
        case DRV_OPEN:
            lParam1 = Integer();
            lParam2 = Maybe(Open());
            break;
        case DRV_CLOSE:
            // A host never uses an identifier after closing it.
            for (std::size_t i = 0; i < instances_.size(); ++i)
                if (instances_[i] == driver) instances_.erase(instances_.begin() + std::ptrdiff_t(i));
            break;
        case ICM_GETINFO: {
            const std::size_t length = reader_.Byte() * 2;
            lParam1 = Maybe(Buffer(length));
            lParam2 = reader_.Byte() < 16 ? LPARAM(int32_t(reader_.Dword())) : LPARAM(length);
            if (lParam2 > LPARAM(length)) lParam2 = LPARAM(length);
            break;
        }
        case ICM_GETQUALITY:
        case ICM_SETQUALITY:
        case ICM_GETDEFAULTQUALITY:
        case ICM_GETDEFAULTKEYFRAMERATE:
        case ICM_GETBUFFERSWANTED: {
            uint8_t* value = Buffer(sizeof(DWORD));
            const DWORD random = reader_.Dword();
            std::memcpy(value, &random, sizeof random);
            lParam1 = Maybe(value);
            break;
        }
        case ICM_COMPRESS_QUERY:
        case ICM_DECOMPRESS_QUERY:
        case ICM_COMPRESS_BEGIN:
        case ICM_DECOMPRESS_BEGIN:
        case ICM_COMPRESS_GET_SIZE:
        case ICM_DRAW_QUERY:
            lParam1 = Maybe(Header());
            lParam2 = Maybe(Header());
            break;
        case ICM_COMPRESS_GET_FORMAT:
        case ICM_DECOMPRESS_GET_FORMAT:
            lParam1 = Maybe(Header());
            lParam2 = Maybe(Buffer(112));
            break;
        case ICM_COMPRESS:
            lParam1 = Maybe(Compress());
            lParam2 = Integer();
            break;
        case ICM_DECOMPRESS:
            lParam1 = Maybe(Decompress());
            lParam2 = Integer();
            break;
        case ICM_DECOMPRESSEX_BEGIN:
        case ICM_DECOMPRESSEX_QUERY:
        case ICM_DECOMPRESSEX:
            lParam1 = Maybe(DecompressEx());
            lParam2 = Integer();
            break;
        case ICM_GETSTATE:
        case ICM_SETSTATE:
        case ICM_COMPRESS_FRAMES_INFO:
        case ICM_COMPRESS_FRAMES:
        case ICM_GET:
        case ICM_SET:
        case ICM_CONFIGURE:
        case ICM_SET_STATUS_PROC:
        case ICM_DECOMPRESS_SET_PALETTE:
        case ICM_DECOMPRESS_GET_PALETTE:
        case ICM_DRAW_BEGIN:
            // Records the codec does not read: null or a zeroed block.
            lParam1 = Maybe(Buffer(256));
            lParam2 = Integer();
            break;
        default:
            // Plain values (ICM_ABOUT's window, the DRV_ messages', numbers
            // passed on to DefDriverProc): never dereferenced.
            lParam1 = Integer();
            lParam2 = Integer();
        }

        const LRESULT result = DriverProc(driver, reinterpret_cast<HDRVR>(uintptr_t(0x1234)), message, lParam1, lParam2);
        if (message == DRV_OPEN && result != 0) instances_.push_back(DWORD_PTR(result));
        for (const auto& buffer : buffers_) FUZZ_CHECK(buffer->Intact());
        buffers_.clear();
    }

private:
    LPARAM Integer()
    {
        switch (reader_.Byte() % 4) {
        case 0: return 0;
        case 1: return -1;
        case 2: return LPARAM(reader_.Byte());
        default: return LPARAM(int64_t(reader_.Dword()) << (reader_.Byte() % 33));
        }
    }

    template <typename T> LPARAM Maybe(T* record) { return reader_.Byte() % 8 == 0 ? 0 : reinterpret_cast<LPARAM>(record); }

    uint8_t* Buffer(std::size_t size)
    {
        // Aligned like the records a host allocates.
        buffers_.push_back(std::make_unique<GuardedBuffer>(size, 8));
        std::memset(buffers_.back()->data(), 0, size);
        return buffers_.back()->data();
    }

    LONG Dimension()
    {
        static const LONG special[] = {0, -1, 1, 2, 3, 32767, 32768, 32769, INT32_MIN, INT32_MAX, -2, 720, 405};
        const uint8_t pick = reader_.Byte();
        if (pick < 32) return special[pick % std::size(special)];
        return LONG(int8_t(reader_.Byte())) % 48;
    }

    static std::size_t Magnitude(LONG value) { return value < 0 ? std::size_t(-int64_t(value)) : std::size_t(value); }

    BITMAPINFOHEADER* Header()
    {
        static const DWORD sizes[] = {40, 0, 12, 39, 41, 108, 112, 124, 4096, 0xFFFFFFFF};
        static const DWORD compressions[] = {FourccYUY2, FourccUYVY, FourccKSHA, BI_RGB};
        static const WORD bitCounts[] = {16, 24, 32, 0, 8, 12};
        BITMAPINFOHEADER header{};
        const uint8_t sizePick = reader_.Byte();
        header.biSize = sizePick < 200 ? 40 : sizes[sizePick % std::size(sizes)];
        header.biWidth = Dimension();
        header.biHeight = Dimension();
        header.biPlanes = 1;
        const uint8_t bitPick = reader_.Byte();
        header.biBitCount = bitPick < 240 ? bitCounts[bitPick % 3] : bitCounts[bitPick % std::size(bitCounts)];
        const uint8_t compressionPick = reader_.Byte();
        header.biCompression =
            compressionPick < 248 ? compressions[compressionPick % std::size(compressions)] : reader_.Dword();
        header.biSizeImage = reader_.Byte() < 16 ? reader_.Dword() : 0;
        // The host's buffer is as long as biSize says (within reason).
        std::size_t length = header.biSize > 4096 ? 4096 : std::max<std::size_t>(header.biSize, sizeof header);
        uint8_t* buffer = Buffer(length);
        std::memcpy(buffer, &header, sizeof header);
        for (std::size_t i = sizeof header; i < length; ++i) buffer[i] = reader_.Byte();
        return reinterpret_cast<BITMAPINFOHEADER*>(buffer);
    }

    ICOPEN* Open()
    {
        auto* open = reinterpret_cast<ICOPEN*>(Buffer(sizeof(ICOPEN)));
        open->dwSize = sizeof(ICOPEN);
        open->fccType = reader_.Byte() < 224 ? ICTYPE_VIDEO : reader_.Dword();
        open->fccHandler = reader_.Byte() < 128 ? FourccKSHA : reader_.Dword();
        open->dwFlags = reader_.Dword();
        return open;
    }

    // A picture buffer as large as `format` says, or null when it says
    // nothing sensible or more than LargestPicture.
    void* Picture(const BITMAPINFOHEADER* format, std::size_t bytesPerPixelTimes8)
    {
        if (!format || reader_.Byte() % 16 == 0) return nullptr;
        const std::size_t pixels = Magnitude(format->biWidth) * Magnitude(format->biHeight);
        const std::size_t size = pixels * bytesPerPixelTimes8 / 8;
        if (Magnitude(format->biWidth) > 65536 || Magnitude(format->biHeight) > 65536 || size > LargestPicture)
            return nullptr;
        return Buffer(size);
    }

    // A compressed frame of biSizeImage bytes (set from the random length).
    void* Frame(BITMAPINFOHEADER* format)
    {
        if (!format || reader_.Byte() % 16 == 0) return nullptr;
        const std::size_t length = 1 + reader_.Word() % 2048;
        uint8_t* frame = Buffer(length);
        for (std::size_t i = 0; i < length && reader_.Remaining(); ++i) frame[i] = reader_.Byte();
        if (length >= 8 && reader_.Byte() < 192) {
            // Mostly a plausible header: a known tag and a length near the truth.
            const uint32_t tag = reader_.Byte() & 1 ? FrameTagHuffman : FrameTagDeflate;
            const uint32_t payload = uint32_t(length - 8) + (reader_.Byte() % 5) - 2;
            std::memcpy(frame, &tag, 4);
            std::memcpy(frame + 4, &payload, 4);
        }
        format->biSizeImage = DWORD(length);
        return frame;
    }

    DWORD* Word() { return reader_.Byte() % 4 == 0 ? nullptr : reinterpret_cast<DWORD*>(Buffer(sizeof(DWORD))); }

    ICCOMPRESS* Compress()
    {
        auto* record = reinterpret_cast<ICCOMPRESS*>(Buffer(sizeof(ICCOMPRESS)));
        record->dwFlags = reader_.Dword();
        record->lpbiInput = reader_.Byte() % 8 ? Header() : nullptr;
        record->lpbiOutput = reader_.Byte() % 8 ? Header() : nullptr;
        record->lpInput = record->lpbiInput ? Picture(record->lpbiInput, record->lpbiInput->biBitCount) : nullptr;
        if (record->lpbiInput && reader_.Byte() % 16) {
            const LONG w = record->lpbiInput->biWidth, h = record->lpbiInput->biHeight;
            const std::size_t worst = WorstCaseFrameSize(uint32_t(Magnitude(w)), uint32_t(Magnitude(h)));
            record->lpOutput = worst <= LargestPicture ? Buffer(worst) : nullptr;
        }
        record->lpckid = Word();
        record->lpdwFlags = Word();
        record->lFrameNum = LONG(reader_.Dword());
        record->dwFrameSize = reader_.Dword();
        record->dwQuality = reader_.Byte() < 128 ? reader_.Byte() * 100 : reader_.Dword();
        return record;
    }

    ICDECOMPRESS* Decompress()
    {
        auto* record = reinterpret_cast<ICDECOMPRESS*>(Buffer(sizeof(ICDECOMPRESS)));
        record->dwFlags = reader_.Byte() < 192 ? 0 : reader_.Dword();
        record->lpbiInput = reader_.Byte() % 8 ? Header() : nullptr;
        record->lpbiOutput = reader_.Byte() % 8 ? Header() : nullptr;
        record->lpInput = Frame(record->lpbiInput);
        if (record->lpbiOutput) record->lpOutput = Picture(record->lpbiOutput, record->lpbiOutput->biBitCount);
        return record;
    }

    ICDECOMPRESSEX* DecompressEx()
    {
        auto* record = reinterpret_cast<ICDECOMPRESSEX*>(Buffer(sizeof(ICDECOMPRESSEX)));
        record->dwFlags = reader_.Byte() < 192 ? 0 : reader_.Dword();
        record->lpbiSrc = reader_.Byte() % 8 ? Header() : nullptr;
        record->lpbiDst = reader_.Byte() % 8 ? Header() : nullptr;
        record->lpSrc = Frame(record->lpbiSrc);
        if (record->lpbiDst) record->lpDst = Picture(record->lpbiDst, record->lpbiDst->biBitCount);
        record->xDst = int(reader_.Dword());
        record->dxDst = int(reader_.Dword());
        return record;
    }

    FuzzReader& reader_;
    std::vector<DWORD_PTR> instances_;
    std::vector<std::unique_ptr<GuardedBuffer>> buffers_;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    FuzzReader reader(data, size);
    Session session(reader);
    for (int step = 0; step < 64 && reader.Remaining(); ++step) session.Step();
    return 0;
}
