#include "driver_proc.h"

#include "codec/codec.h"
#include "codec_instance.h"
#include "colour/colour.h"
#include "formats.h"
#include "platform/layout_check.h"
#include "platform/memory.h"

const char AboutDetailsText[] =
    "How it works:\n\n"
    "This codec first converts video to UYVY format, which is slightly lossy.  "
    "This format is the most common \"raw\" storage format for digital video and capture cards, however, "
    "and maintains more precision than most lossy codecs.  "
    "After conversion to UYVY, the image is passed through a lossless 2D transform, "
    "followed by a custom huffman encoder.";

namespace {
HINSTANCE moduleHandle = nullptr;

// Answer of a message whose driver identifier names no instance.
constexpr LRESULT NoInstance = ICERR_BADHANDLE;

CodecInstance* InstanceOf(DWORD_PTR driverId) { return reinterpret_cast<CodecInstance*>(driverId); }

LRESULT OpenInstance(ICOPEN* open)
{
    // One instance serves compression and decompression alike, so neither
    // fccHandler nor the open mode matters; only the driver type does.
    if (open && open->fccType != ICTYPE_VIDEO) return 0;
    CodecInstance* instance = static_cast<CodecInstance*>(AllocateMemory(sizeof(CodecInstance)));
    if (instance) {
        instance->frameTag = 0;
        instance->quality = OpenQuality;
        instance->picture = nullptr;
        // Not a test of ClampTableBuilt first: another thread may be building
        // the table; the call waits for it and orders the reads after it.
        BuildClampTable();
    }
    if (open) open->dwError = instance ? ICERR_OK : ICERR_MEMORY;
    return reinterpret_cast<LRESULT>(instance);
}

void CloseInstance(CodecInstance* instance)
{
    if (!instance) return;
    ReleasePicture(*instance);
    FreeMemory(instance);
}

void CopyWide(WCHAR* destination, const char* text)
{
    do *destination++ = static_cast<WCHAR>(static_cast<unsigned char>(*text));
    while (*text++ != '\0');
}

// Answers the bytes written: the caller's size when the record fits in it,
// else 0 with nothing written, rather than a partial record.
LRESULT GetInfo(ICINFO* info, LPARAM size)
{
    if (!info || size < static_cast<LPARAM>(sizeof(ICINFO))) return 0;
    // dwSize and szDriver are the caller's.
    info->fccType = ICTYPE_VIDEO;
    info->fccHandler = FourccKSHA;
    info->dwFlags = DriverFlags;
    info->dwVersion = DriverVersion;
    info->dwVersionICM = ICVERSION;
    CopyWide(info->szName, DriverName);
    CopyWide(info->szDescription, DriverDescription);
    return size;
}

LRESULT ShowAbout(LPARAM owner)
{
    // -1 only asks whether there is an About box.
    if (owner == -1) return ICERR_OK;
    DialogBoxParamA(moduleHandle, MAKEINTRESOURCEA(AboutDialogTemplate), reinterpret_cast<HWND>(owner),
                    AboutDialogProc, 0);
    return ICERR_OK;
}

LRESULT WriteValue(LPARAM destination, DWORD value)
{
    if (!destination) return ICERR_BADPARAM;
    *reinterpret_cast<DWORD*>(destination) = value;
    return ICERR_OK;
}

// The messages that work on an instance.
LRESULT InstanceMessage(CodecInstance& instance, UINT message, LPARAM lParam1, LPARAM lParam2)
{
    switch (message) {
    case ICM_COMPRESS_BEGIN:
        return BeginCompress(instance, reinterpret_cast<const BITMAPINFOHEADER*>(lParam1),
                             reinterpret_cast<const BITMAPINFOHEADER*>(lParam2));
    case ICM_COMPRESS:
        return CompressHostFrame(instance, reinterpret_cast<const ICCOMPRESS*>(lParam1));
    case ICM_DECOMPRESS_BEGIN:
        return BeginDecompress(instance, reinterpret_cast<const BITMAPINFOHEADER*>(lParam1),
                               reinterpret_cast<const BITMAPINFOHEADER*>(lParam2));
    case ICM_DECOMPRESSEX_BEGIN: {
        const ICDECOMPRESSEX* record = reinterpret_cast<const ICDECOMPRESSEX*>(lParam1);
        if (!record) return ICERR_BADPARAM;
        return BeginDecompress(instance, record->lpbiSrc, record->lpbiDst);
    }
    case ICM_DECOMPRESS: {
        const ICDECOMPRESS* record = reinterpret_cast<const ICDECOMPRESS*>(lParam1);
        if (!record) return ICERR_BADPARAM;
        return DecompressHostFrame(instance, record->dwFlags, record->lpbiInput, record->lpInput,
                                   record->lpbiOutput, record->lpOutput);
    }
    case ICM_DECOMPRESSEX: {
        const ICDECOMPRESSEX* record = reinterpret_cast<const ICDECOMPRESSEX*>(lParam1);
        if (!record) return ICERR_BADPARAM;
        return DecompressHostFrame(instance, record->dwFlags, record->lpbiSrc, record->lpSrc, record->lpbiDst,
                                   record->lpDst);
    }
    case ICM_COMPRESS_END:
    case ICM_DECOMPRESS_END:
    case ICM_DECOMPRESSEX_END:
        ReleasePicture(instance);
        return ICERR_OK;
    case ICM_GETQUALITY:
        return WriteValue(lParam1, instance.quality);
    case ICM_SETQUALITY:
        // Stored as given: the host's business what it means beyond 10000.
        if (!lParam1) return ICERR_BADPARAM;
        instance.quality = *reinterpret_cast<const DWORD*>(lParam1);
        return ICERR_OK;
    }
    return ICERR_UNSUPPORTED;
}
} // namespace

extern "C" LRESULT WINAPI DriverProc(DWORD_PTR dwDriverId, HDRVR hDriver, UINT uMsg, LPARAM lParam1, LPARAM lParam2)
{
    switch (uMsg) {
    case DRV_LOAD:
    case DRV_ENABLE:
    case DRV_DISABLE:
    case DRV_FREE:
    case DRV_INSTALL:
    case DRV_REMOVE:
        return 1;
    case DRV_OPEN:
        return OpenInstance(reinterpret_cast<ICOPEN*>(lParam2));
    case DRV_CLOSE:
        CloseInstance(InstanceOf(dwDriverId));
        return 1;
    case DRV_CONFIGURE:
        return -1;
    case DRV_QUERYCONFIGURE:
        return 0;

    case ICM_COMPRESS_QUERY:
        return QueryCompress(reinterpret_cast<const BITMAPINFOHEADER*>(lParam1),
                             reinterpret_cast<const BITMAPINFOHEADER*>(lParam2));
    case ICM_COMPRESS_GET_FORMAT:
        return ProposeCompressFormat(reinterpret_cast<const BITMAPINFOHEADER*>(lParam1),
                                     reinterpret_cast<void*>(lParam2));
    case ICM_COMPRESS_GET_SIZE:
        return CompressedFrameSize(reinterpret_cast<const BITMAPINFOHEADER*>(lParam2));
    case ICM_DECOMPRESS_QUERY:
        return QueryDecompress(reinterpret_cast<const BITMAPINFOHEADER*>(lParam1),
                               reinterpret_cast<const BITMAPINFOHEADER*>(lParam2));
    case ICM_DECOMPRESSEX_QUERY: {
        const ICDECOMPRESSEX* record = reinterpret_cast<const ICDECOMPRESSEX*>(lParam1);
        if (!record) return ICERR_BADPARAM;
        return QueryDecompress(record->lpbiSrc, record->lpbiDst);
    }
    case ICM_DECOMPRESS_GET_FORMAT:
        return ProposeDecompressFormat(reinterpret_cast<const BITMAPINFOHEADER*>(lParam1),
                                       reinterpret_cast<void*>(lParam2));

    case ICM_COMPRESS_BEGIN:
    case ICM_COMPRESS:
    case ICM_COMPRESS_END:
    case ICM_DECOMPRESS_BEGIN:
    case ICM_DECOMPRESS:
    case ICM_DECOMPRESS_END:
    case ICM_DECOMPRESSEX_BEGIN:
    case ICM_DECOMPRESSEX:
    case ICM_DECOMPRESSEX_END:
    case ICM_GETQUALITY:
    case ICM_SETQUALITY: {
        CodecInstance* instance = InstanceOf(dwDriverId);
        if (!instance) return NoInstance;
        return InstanceMessage(*instance, uMsg, lParam1, lParam2);
    }

    case ICM_GETDEFAULTKEYFRAMERATE:
        return WriteValue(lParam1, 1); // every frame is a key frame
    case ICM_GETDEFAULTQUALITY:
        return WriteValue(lParam1, DefaultQuality);
    case ICM_GETINFO:
        return GetInfo(reinterpret_cast<ICINFO*>(lParam1), lParam2);
    case ICM_ABOUT:
        return ShowAbout(lParam1);
    case ICM_GETSTATE:
    case ICM_SETSTATE:
        return 0; // nothing is configurable, so there is no state to carry
    case ICM_COMPRESS_FRAMES_INFO:
    case ICM_GET:
        return ICERR_OK;
    case ICM_CONFIGURE:
    case ICM_SET_STATUS_PROC:
    case ICM_DECOMPRESS_SET_PALETTE:
    case ICM_DECOMPRESS_GET_PALETTE:
        return ICERR_UNSUPPORTED;
    }
    if (uMsg >= ICM_USER) return ICERR_UNSUPPORTED;
    return DefDriverProc(dwDriverId, hDriver, uMsg, lParam1, lParam2);
}

INT_PTR CALLBACK AboutDialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        SendDlgItemMessageA(hwnd, AboutDetailsControl, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(AboutDetailsText));
        return TRUE; // let the dialog manager set the focus
    case WM_COMMAND:
        // Only OK closes the box; Esc and the close box (IDCANCEL) do not.
        if (LOWORD(wParam) == IDOK) {
            EndDialog(hwnd, 0);
            return TRUE;
        }
        return FALSE;
    }
    return FALSE;
}

HINSTANCE DriverModule() { return moduleHandle; }

#if defined(_WIN32)
// The same for every reason: the handle only serves to find the About template.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD, LPVOID)
{
    moduleHandle = instance;
    return TRUE;
}
#endif
