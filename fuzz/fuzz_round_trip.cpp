// Random pictures of random size, format and quality compressed through
// DriverProc and decoded again.
//
// Input: a format byte (YUY2, UYVY, RGB24 bottom-up or top-down), a quality
// byte, a width byte, a height byte, then picture bytes, repeated as needed.
// Every compressed frame must fit the size answer, announce exactly what it
// holds, be the same each time, fail to decode when cut short by a byte, and
// decode to the picture: exactly for packed input; for RGB (lossy through
// 4:2:2) the RGB24 and top-down RGB32 decodes of the frame must agree pixel
// for pixel, and the packed decode must survive a second round trip.
#include <vector>

#include "codec/codec.h"
#include "fuzz_driver.h"
#include "tests/support/guarded_buffer.h"

namespace {
const RawLayout inputs[4] = {
    {FourccYUY2, 16, false}, {FourccUYVY, 16, false}, {BI_RGB, 24, false}, {BI_RGB, 24, true}};
const DWORD qualities[6] = {0, 5999, 6000, 10000, 0xFFFFFFFF, 9000};

struct Compressed {
    std::vector<uint8_t> frame;
    BITMAPINFOHEADER format;
};

Compressed Compress(const GuardedBuffer& picture, uint32_t width, uint32_t height, const RawLayout& layout,
                    DWORD quality)
{
    const DWORD_PTR driver = OpenDriver();
    FUZZ_CHECK(driver != 0);
    BITMAPINFOHEADER raw = MakeHeader(width, height, layout);
    FUZZ_CHECK(Send(driver, ICM_COMPRESS_QUERY, &raw) == ICERR_OK);
    // The host asks for the output format and its frame size, then allocates.
    FUZZ_CHECK(Send(driver, ICM_COMPRESS_GET_FORMAT, &raw) == 112);
    alignas(8) uint8_t formatBuffer[112];
    FUZZ_CHECK(Send(driver, ICM_COMPRESS_GET_FORMAT, &raw, formatBuffer) == ICERR_OK);
    BITMAPINFOHEADER compressed;
    std::memcpy(&compressed, formatBuffer, sizeof compressed);
    FUZZ_CHECK(compressed.biCompression == FourccKSHA);
    const LRESULT capacity = Send(driver, ICM_COMPRESS_GET_SIZE, &raw, &compressed);
    FUZZ_CHECK(capacity >= LRESULT(FrameHeaderSize));
    FUZZ_CHECK(Send(driver, ICM_COMPRESS_QUERY, &raw, &compressed) == ICERR_OK);
    FUZZ_CHECK(Send(driver, ICM_COMPRESS_BEGIN, &raw, &compressed) == ICERR_OK);

    Compressed result{};
    for (int pass = 0; pass < 2; ++pass) {
        GuardedBuffer frame{std::size_t(capacity)};
        DWORD flags = 0, chunk = 0;
        ICCOMPRESS record{};
        record.lpbiInput = &raw;
        record.lpInput = const_cast<uint8_t*>(picture.data());
        record.lpbiOutput = &compressed;
        record.lpOutput = frame.data();
        record.lpdwFlags = &flags;
        record.lpckid = &chunk;
        record.dwQuality = quality;
        FUZZ_CHECK(Send(driver, ICM_COMPRESS, &record) == ICERR_OK);
        FUZZ_CHECK(frame.Intact());
        FUZZ_CHECK(picture.Intact());
        FUZZ_CHECK(flags & AVIIF_KEYFRAME);
        const DWORD size = compressed.biSizeImage;
        FUZZ_CHECK(size >= FrameHeaderSize && size <= DWORD(capacity));
        FrameHeader header;
        FUZZ_CHECK(ReadFrameHeader(frame.data(), size, &header));
        FUZZ_CHECK(header.tag == FrameTagHuffman || header.tag == FrameTagDeflate);
        FUZZ_CHECK(header.payloadLength == size - FrameHeaderSize);
        // The same picture gives the same frame: no stale memory reaches it.
        if (pass == 0) result.frame.assign(frame.data(), frame.data() + size);
        else FUZZ_CHECK(result.frame.size() == size && std::memcmp(result.frame.data(), frame.data(), size) == 0);
    }
    FUZZ_CHECK(Send(driver, ICM_COMPRESS_END) == ICERR_OK);
    CloseDriver(driver);
    result.format = compressed;
    result.format.biSizeImage = DWORD(result.frame.size());
    return result;
}

// Decodes the frame (cut to `size` bytes) into `layout`; the result code.
LRESULT Decode(const Compressed& compressed, std::size_t size, uint32_t width, uint32_t height,
               const RawLayout& layout, bool ex, GuardedBuffer& picture)
{
    const DWORD_PTR driver = OpenDriver();
    FUZZ_CHECK(driver != 0);
    GuardedBuffer frame(size);
    std::memcpy(frame.data(), compressed.frame.data(), size);
    BITMAPINFOHEADER input = compressed.format;
    input.biSizeImage = DWORD(size);
    BITMAPINFOHEADER output = MakeHeader(width, height, layout);
    FUZZ_CHECK(Send(driver, ICM_DECOMPRESS_QUERY, &input, &output) == ICERR_OK);
    LRESULT result;
    if (ex) {
        ICDECOMPRESSEX record{};
        record.lpbiSrc = &input;
        record.lpSrc = frame.data();
        record.lpbiDst = &output;
        record.lpDst = picture.data();
        FUZZ_CHECK(Send(driver, ICM_DECOMPRESSEX_BEGIN, &record) == ICERR_OK);
        result = Send(driver, ICM_DECOMPRESSEX, &record);
        FUZZ_CHECK(Send(driver, ICM_DECOMPRESSEX_END) == ICERR_OK);
    } else {
        FUZZ_CHECK(Send(driver, ICM_DECOMPRESS_BEGIN, &input, &output) == ICERR_OK);
        ICDECOMPRESS record{};
        record.lpbiInput = &input;
        record.lpInput = frame.data();
        record.lpbiOutput = &output;
        record.lpOutput = picture.data();
        result = Send(driver, ICM_DECOMPRESS, &record);
        FUZZ_CHECK(Send(driver, ICM_DECOMPRESS_END) == ICERR_OK);
    }
    FUZZ_CHECK(frame.Intact());
    FUZZ_CHECK(picture.Intact());
    CloseDriver(driver);
    return result;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    FuzzReader reader(data, size);
    const RawLayout& layout = inputs[reader.Byte() % 4];
    const uint8_t qualityByte = reader.Byte();
    const DWORD quality = qualityByte < 6 * 40 ? qualities[qualityByte % 6] : reader.Dword();
    const bool packed = layout.compression != BI_RGB;
    uint32_t width = 2 + reader.Byte() % 63;
    const uint32_t height = 1 + reader.Byte() % 48;
    if (packed) width &= ~1u;

    GuardedBuffer picture(std::size_t(width) * height * (layout.bitCount / 8));
    const uint8_t* content = reader.Rest();
    const std::size_t contentSize = reader.Remaining();
    for (std::size_t i = 0; i < picture.size(); ++i)
        picture.data()[i] = contentSize ? content[i % contentSize] : 0;

    const Compressed compressed = Compress(picture, width, height, layout, quality);
    const std::size_t frameSize = compressed.frame.size();

    // A frame cut short by one byte is reported, never passed off as a picture.
    {
        const RawLayout cutLayout = width % 2 == 0 ? RawLayout{FourccYUY2, 16, false} : RawLayout{BI_RGB, 24, false};
        GuardedBuffer cut(std::size_t(width) * height * (cutLayout.bitCount / 8));
        FUZZ_CHECK(Decode(compressed, frameSize - 1, width, height, cutLayout, false, cut) == ICERR_ERROR);
    }

    if (packed) {
        GuardedBuffer decoded(picture.size());
        FUZZ_CHECK(Decode(compressed, frameSize, width, height, layout, (qualityByte & 1) != 0, decoded) == ICERR_OK);
        FUZZ_CHECK(std::memcmp(decoded.data(), picture.data(), picture.size()) == 0);
        return 0;
    }

    // RGB: the bottom-up RGB24 and the top-down RGB32 decodes agree.
    GuardedBuffer rgb24(std::size_t(width) * height * 3);
    GuardedBuffer rgb32(std::size_t(width) * height * 4);
    std::memset(rgb32.data(), 0x5A, rgb32.size());
    FUZZ_CHECK(Decode(compressed, frameSize, width, height, {BI_RGB, 24, false}, false, rgb24) == ICERR_OK);
    FUZZ_CHECK(Decode(compressed, frameSize, width, height, {BI_RGB, 32, true}, true, rgb32) == ICERR_OK);
    for (uint32_t row = 0; row < height; ++row) {
        const uint8_t* bottomUp = rgb24.data() + std::size_t(row) * width * 3;
        const uint8_t* topDown = rgb32.data() + std::size_t(height - 1 - row) * width * 4;
        for (uint32_t x = 0; x < width; ++x) {
            FUZZ_CHECK(std::memcmp(bottomUp + x * 3, topDown + x * 4, 3) == 0);
            FUZZ_CHECK(topDown[x * 4 + 3] == 0x5A); // the fourth byte keeps its value
        }
    }
    // The 4:2:2 form of an RGB frame is exact: its packed decode compresses
    // and decodes back to itself.
    if (width % 2 == 0) {
        const RawLayout yuy2{FourccYUY2, 16, false};
        GuardedBuffer packedPicture(std::size_t(width) * height * 2);
        FUZZ_CHECK(Decode(compressed, frameSize, width, height, yuy2, false, packedPicture) == ICERR_OK);
        const Compressed again = Compress(packedPicture, width, height, yuy2, quality);
        GuardedBuffer decoded(packedPicture.size());
        FUZZ_CHECK(Decode(again, again.frame.size(), width, height, yuy2, true, decoded) == ICERR_OK);
        FUZZ_CHECK(std::memcmp(decoded.data(), packedPicture.data(), packedPicture.size()) == 0);
    }
    return 0;
}
