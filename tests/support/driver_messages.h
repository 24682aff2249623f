// Sending a message to the driver as a host does, for the test programs.
#pragma once

#include "driver/driver_proc.h"

inline LRESULT Send(DWORD_PTR driver, UINT message, const void* p1 = nullptr, const void* p2 = nullptr)
{
    return DriverProc(driver, nullptr, message, reinterpret_cast<LPARAM>(p1), reinterpret_cast<LPARAM>(p2));
}
