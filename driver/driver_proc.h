// The installable-compressor entry: the one function a host's codec manager
// calls, with a message number and two parameters.
#pragma once

#include "platform/driver_services.h"
#include "platform/vfw.h"

#if defined(_WIN32)
// Exported by ordinal through kestrun.def.
#define KESTRUN_DRIVER_EXPORT
#else
#define KESTRUN_DRIVER_EXPORT __attribute__((visibility("default")))
#endif

extern "C" KESTRUN_DRIVER_EXPORT LRESULT WINAPI DriverProc(DWORD_PTR dwDriverId, HDRVR hDriver, UINT uMsg,
                                                          LPARAM lParam1, LPARAM lParam2);

// What ICM_GETINFO reports.
constexpr DWORD DriverFlags = VIDCF_QUALITY | VIDCF_COMPRESSFRAMES;
constexpr DWORD DriverVersion = 0x10000;
constexpr const char* DriverName = "Kestrun Arc";
constexpr const char* DriverDescription = "Kestrun Archive Codec";

constexpr DWORD OpenQuality = 9000;
constexpr DWORD DefaultQuality = 5500;

// The About box: dialog template 102 of the module, whose control 1000
// receives the details text when the dialog opens.
constexpr WORD AboutDialogTemplate = 102;
constexpr int AboutDetailsControl = 1000;
extern const char AboutDetailsText[];

INT_PTR CALLBACK AboutDialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// The module handle stored at attach; null where the driver is not a DLL.
HINSTANCE DriverModule();
