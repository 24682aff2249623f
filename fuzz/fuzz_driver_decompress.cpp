// Any frame bytes into DriverProc's decompress path, for every output format
// the queries accept, through ICM_DECOMPRESS and ICM_DECOMPRESSEX.
//
// Input: a mode byte (bits 0-2 output layout, bit 3 the EX messages, bit 4 a
// top-down compressed format), a width byte, a height byte, then the frame.
// The frame and the picture end against guard pages; the host tells the
// frame's exact size in biSizeImage. A packed picture that decodes must also
// survive a round trip through the compressor unchanged.
#include "fuzz_driver.h"
#include "tests/support/guarded_buffer.h"

namespace {
const RawLayout layouts[8] = {
    {FourccYUY2, 16, false}, {FourccUYVY, 16, false}, {BI_RGB, 24, false}, {BI_RGB, 24, true},
    {BI_RGB, 32, false},     {BI_RGB, 32, true},      {FourccYUY2, 16, false}, {FourccUYVY, 16, false},
};

bool IsPacked(const RawLayout& layout) { return layout.compression != BI_RGB; }

LRESULT Decompress(DWORD_PTR driver, bool ex, BITMAPINFOHEADER& input, const uint8_t* frame,
                   BITMAPINFOHEADER& output, uint8_t* picture)
{
    if (ex) {
        ICDECOMPRESSEX record{};
        record.lpbiSrc = &input;
        record.lpSrc = const_cast<uint8_t*>(frame);
        record.lpbiDst = &output;
        record.lpDst = picture;
        record.dxDst = record.dxSrc = output.biWidth;
        record.dyDst = record.dySrc = output.biHeight;
        if (Send(driver, ICM_DECOMPRESSEX_QUERY, &record) != ICERR_OK) return ICERR_BADFORMAT;
        if (Send(driver, ICM_DECOMPRESSEX_BEGIN, &record) != ICERR_OK) return ICERR_BADFORMAT;
        LRESULT result = Send(driver, ICM_DECOMPRESSEX, &record);
        Send(driver, ICM_DECOMPRESSEX_END);
        return result;
    }
    if (Send(driver, ICM_DECOMPRESS_QUERY, &input, &output) != ICERR_OK) return ICERR_BADFORMAT;
    if (Send(driver, ICM_DECOMPRESS_BEGIN, &input, &output) != ICERR_OK) return ICERR_BADFORMAT;
    ICDECOMPRESS record{};
    record.lpbiInput = &input;
    record.lpInput = const_cast<uint8_t*>(frame);
    record.lpbiOutput = &output;
    record.lpOutput = picture;
    LRESULT result = Send(driver, ICM_DECOMPRESS, &record);
    Send(driver, ICM_DECOMPRESS_END);
    return result;
}

// Compresses a decoded packed picture and decodes it again: it must come back.
void CheckRoundTrip(DWORD_PTR driver, const RawLayout& layout, uint32_t width, uint32_t height,
                    const GuardedBuffer& picture)
{
    BITMAPINFOHEADER raw = MakeHeader(width, height, layout);
    BITMAPINFOHEADER compressed = MakeCompressedHeader(width, LONG(height), 0);
    const LRESULT capacity = Send(driver, ICM_COMPRESS_GET_SIZE, &raw, &compressed);
    FUZZ_CHECK(capacity > 0);
    FUZZ_CHECK(Send(driver, ICM_COMPRESS_BEGIN, &raw, &compressed) == ICERR_OK);
    GuardedBuffer frame{std::size_t(capacity)};
    ICCOMPRESS record{};
    record.lpbiInput = &raw;
    record.lpInput = const_cast<uint8_t*>(picture.data());
    record.lpbiOutput = &compressed;
    record.lpOutput = frame.data();
    FUZZ_CHECK(Send(driver, ICM_COMPRESS, &record) == ICERR_OK);
    Send(driver, ICM_COMPRESS_END);
    FUZZ_CHECK(frame.Intact());
    FUZZ_CHECK(compressed.biSizeImage <= DWORD(capacity));

    GuardedBuffer again(picture.size());
    BITMAPINFOHEADER output = raw;
    FUZZ_CHECK(Decompress(driver, false, compressed, frame.data(), output, again.data()) == ICERR_OK);
    FUZZ_CHECK(std::memcmp(again.data(), picture.data(), picture.size()) == 0);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    FuzzReader reader(data, size);
    const uint8_t mode = reader.Byte();
    const RawLayout& layout = layouts[mode & 7];
    const bool ex = (mode & 8) != 0;
    const bool topDownStream = (mode & 16) != 0;
    uint32_t width = 2 + reader.Byte() % 63;
    const uint32_t height = 1 + reader.Byte() % 64;
    if (IsPacked(layout)) width &= ~1u;
    // biSizeImage 0 would tell the codec to take the frame at its word.
    if (reader.Remaining() == 0) return 0;

    GuardedBuffer frame(reader.Remaining());
    std::memcpy(frame.data(), reader.Rest(), frame.size());
    BITMAPINFOHEADER input =
        MakeCompressedHeader(width, topDownStream ? -LONG(height) : LONG(height), DWORD(frame.size()));
    BITMAPINFOHEADER output = MakeHeader(width, height, layout);
    GuardedBuffer picture(std::size_t(width) * height * (layout.bitCount / 8));

    const DWORD_PTR driver = OpenDriver();
    FUZZ_CHECK(driver != 0);
    const LRESULT result = Decompress(driver, ex, input, frame.data(), output, picture.data());
    FUZZ_CHECK(result == ICERR_OK || result == ICERR_ERROR);
    FUZZ_CHECK(frame.Intact());
    FUZZ_CHECK(picture.Intact());
    if (result == ICERR_OK && IsPacked(layout)) CheckRoundTrip(driver, layout, width, height, picture);
    CloseDriver(driver);
    return 0;
}
