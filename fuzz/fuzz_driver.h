// A host's view of a driver session, for the fuzz targets that drive the
// codec through DriverProc.
#pragma once

#include "codec/codec.h"
#include "driver/driver_proc.h"
#include "fuzz_support.h"

// The raw picture formats a host hands over or asks for.
struct RawLayout {
    DWORD compression;
    WORD bitCount;
    bool topDown; // RGB only: negative height
};

inline BITMAPINFOHEADER MakeHeader(uint32_t width, uint32_t height, const RawLayout& layout)
{
    BITMAPINFOHEADER format{};
    format.biSize = sizeof format;
    format.biWidth = LONG(width);
    format.biHeight = layout.topDown ? -LONG(height) : LONG(height);
    format.biPlanes = 1;
    format.biBitCount = layout.bitCount;
    format.biCompression = layout.compression;
    format.biSizeImage = DWORD(width * height * (layout.bitCount / 8));
    return format;
}

inline BITMAPINFOHEADER MakeCompressedHeader(uint32_t width, LONG height, DWORD frameSize)
{
    BITMAPINFOHEADER format{};
    format.biSize = sizeof format;
    format.biWidth = LONG(width);
    format.biHeight = height;
    format.biPlanes = 1;
    format.biBitCount = 16;
    format.biCompression = FourccKSHA;
    format.biSizeImage = frameSize;
    return format;
}

inline DWORD_PTR OpenDriver()
{
    ICOPEN open{};
    open.dwSize = sizeof open;
    open.fccType = ICTYPE_VIDEO;
    open.fccHandler = FourccKSHA;
    return DWORD_PTR(DriverProc(0, nullptr, DRV_OPEN, 0, reinterpret_cast<LPARAM>(&open)));
}

inline LRESULT Send(DWORD_PTR driver, UINT message, const void* lParam1 = nullptr, const void* lParam2 = nullptr)
{
    return DriverProc(driver, nullptr, message, reinterpret_cast<LPARAM>(lParam1), reinterpret_cast<LPARAM>(lParam2));
}

inline void CloseDriver(DWORD_PTR driver) { DriverProc(driver, nullptr, DRV_CLOSE, 0, 0); }
