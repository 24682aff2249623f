// Compile-time check of the host records' layouts. The same numbers hold for
// the platform's own headers (Windows builds) and for our stand-in (Linux),
// so a record that a host hands over is read at the offsets it wrote.
#pragma once

#include <cstddef>

#include "vfw.h"

namespace layout_check {
constexpr std::size_t P = sizeof(void*);
static_assert(P == 4 || P == 8, "pointer size");
constexpr std::size_t AlignUp(std::size_t n, std::size_t a) { return (n + a - 1) / a * a; }

static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(WORD) == 2 && sizeof(WCHAR) == 2);
static_assert(sizeof(LRESULT) == P && sizeof(LPARAM) == P && sizeof(DWORD_PTR) == P);

static_assert(sizeof(BITMAPINFOHEADER) == 40);
static_assert(offsetof(BITMAPINFOHEADER, biWidth) == 4);
static_assert(offsetof(BITMAPINFOHEADER, biHeight) == 8);
static_assert(offsetof(BITMAPINFOHEADER, biPlanes) == 12);
static_assert(offsetof(BITMAPINFOHEADER, biBitCount) == 14);
static_assert(offsetof(BITMAPINFOHEADER, biCompression) == 16);
static_assert(offsetof(BITMAPINFOHEADER, biSizeImage) == 20);
static_assert(offsetof(BITMAPINFOHEADER, biClrImportant) == 36);

static_assert(offsetof(ICOPEN, fccType) == 4);
static_assert(offsetof(ICOPEN, dwFlags) == 16);
static_assert(offsetof(ICOPEN, dwError) == AlignUp(20, P));
static_assert(offsetof(ICOPEN, pV1Reserved) == AlignUp(20, P) + P);
static_assert(offsetof(ICOPEN, dnDevNode) == AlignUp(20, P) + 3 * P);
static_assert(sizeof(ICOPEN) == AlignUp(AlignUp(20, P) + 3 * P + 4, P));

static_assert(offsetof(ICINFO, fccHandler) == 8);
static_assert(offsetof(ICINFO, dwVersionICM) == 20);
static_assert(offsetof(ICINFO, szName) == 24);
static_assert(offsetof(ICINFO, szDescription) == 56);
static_assert(offsetof(ICINFO, szDriver) == 312);
static_assert(sizeof(ICINFO) == 568);

static_assert(offsetof(ICCOMPRESS, lpbiOutput) == P);
static_assert(offsetof(ICCOMPRESS, lpOutput) == 2 * P);
static_assert(offsetof(ICCOMPRESS, lpbiInput) == 3 * P);
static_assert(offsetof(ICCOMPRESS, lpInput) == 4 * P);
static_assert(offsetof(ICCOMPRESS, lpckid) == 5 * P);
static_assert(offsetof(ICCOMPRESS, lpdwFlags) == 6 * P);
static_assert(offsetof(ICCOMPRESS, lFrameNum) == 7 * P);
static_assert(offsetof(ICCOMPRESS, dwFrameSize) == 7 * P + 4);
static_assert(offsetof(ICCOMPRESS, dwQuality) == 7 * P + 8);
static_assert(offsetof(ICCOMPRESS, lpbiPrev) == AlignUp(7 * P + 12, P));
static_assert(offsetof(ICCOMPRESS, lpPrev) == AlignUp(7 * P + 12, P) + P);
static_assert(sizeof(ICCOMPRESS) == AlignUp(7 * P + 12, P) + 2 * P);

static_assert(offsetof(ICDECOMPRESS, lpbiInput) == P);
static_assert(offsetof(ICDECOMPRESS, lpInput) == 2 * P);
static_assert(offsetof(ICDECOMPRESS, lpbiOutput) == 3 * P);
static_assert(offsetof(ICDECOMPRESS, lpOutput) == 4 * P);
static_assert(offsetof(ICDECOMPRESS, ckid) == 5 * P);
static_assert(sizeof(ICDECOMPRESS) == AlignUp(5 * P + 4, P));

static_assert(offsetof(ICDECOMPRESSEX, lpbiSrc) == P);
static_assert(offsetof(ICDECOMPRESSEX, lpSrc) == 2 * P);
static_assert(offsetof(ICDECOMPRESSEX, lpbiDst) == 3 * P);
static_assert(offsetof(ICDECOMPRESSEX, lpDst) == 4 * P);
static_assert(offsetof(ICDECOMPRESSEX, xDst) == 5 * P);
static_assert(offsetof(ICDECOMPRESSEX, dySrc) == 5 * P + 28);
static_assert(sizeof(ICDECOMPRESSEX) == AlignUp(5 * P + 32, P));
} // namespace layout_check
