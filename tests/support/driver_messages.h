// Driving the driver as a host does, for the test programs: messages and
// the format headers that go with them.
#pragma once

#include "codec/codec.h"
#include "driver/driver_proc.h"

inline LRESULT Send(DWORD_PTR driver, UINT message, const void* p1 = nullptr, const void* p2 = nullptr)
{
    return DriverProc(driver, nullptr, message, reinterpret_cast<LPARAM>(p1), reinterpret_cast<LPARAM>(p2));
}

// A format header as hosts fill one in.
inline BITMAPINFOHEADER Header(uint32_t width, uint32_t height, DWORD compression, WORD bitCount, DWORD sizeImage)
{
    BITMAPINFOHEADER format{};
    format.biSize = sizeof format;
    format.biWidth = LONG(width);
    format.biHeight = LONG(height);
    format.biPlanes = 1;
    format.biBitCount = bitCount;
    format.biCompression = compression;
    format.biSizeImage = sizeImage;
    return format;
}
