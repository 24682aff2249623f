#include "driver_services.h"

#if !defined(_WIN32)

#include <cstring>

namespace {
DriverServicesRecord record;
DialogMessage script[MaxRecordedCalls];
std::size_t scriptLength = 0;

// Any non-null value serves: nothing dereferences a window handle here.
HWND__* const dialogWindow = reinterpret_cast<HWND__*>(static_cast<uintptr_t>(0xD1A1));

void Deliver(DLGPROC procedure, HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    INT_PTR result = procedure(window, message, wParam, lParam);
    if (record.deliveredCount < MaxRecordedCalls)
        record.delivered[record.deliveredCount++] = DialogMessage{message, wParam, lParam, result};
}
} // namespace

DriverServicesRecord& DriverServices() { return record; }

void ResetDriverServices()
{
    std::memset(&record, 0, sizeof(record));
    scriptLength = 0;
}

void ScriptDialog(const DialogMessage* messages, std::size_t count)
{
    scriptLength = count < MaxRecordedCalls ? count : MaxRecordedCalls;
    for (std::size_t i = 0; i < scriptLength; ++i) script[i] = messages[i];
}

LRESULT WINAPI DefDriverProc(DWORD_PTR dwDriverIdentifier, HDRVR hdrvr, UINT uMsg, LPARAM lParam1, LPARAM lParam2)
{
    ++record.defDriverProcCalls;
    record.lastDefDriverProc = DefDriverProcCall{dwDriverIdentifier, hdrvr, uMsg, lParam1, lParam2};
    return record.defDriverProcResult;
}

INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                               LPARAM dwInitParam)
{
    ++record.dialogRuns;
    record.dialogModule = hInstance;
    record.dialogTemplate = lpTemplateName;
    record.dialogOwner = hWndParent;
    record.dialogProcedure = lpDialogFunc;
    record.dialogInitParam = dwInitParam;
    record.dialogWindow = dialogWindow;
    record.dialogEnded = false;
    record.dialogResult = 0;
    record.deliveredCount = 0;
    if (!lpDialogFunc) return -1;

    // The dialog manager passes the initialisation value with WM_INITDIALOG.
    Deliver(lpDialogFunc, dialogWindow, WM_INITDIALOG, 0, dwInitParam);
    for (std::size_t i = 0; i < scriptLength && !record.dialogEnded; ++i)
        Deliver(lpDialogFunc, dialogWindow, script[i].message, script[i].wParam, script[i].lParam);
    return record.dialogEnded ? record.dialogResult : -1;
}

LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (record.itemMessageCount >= MaxRecordedCalls) return 0;
    DialogItemMessage& entry = record.itemMessages[record.itemMessageCount++];
    std::memset(&entry, 0, sizeof(entry));
    entry.dialog = hDlg;
    entry.item = nIDDlgItem;
    entry.message = Msg;
    entry.wParam = wParam;
    entry.lParam = lParam;
    if (Msg == WM_SETTEXT && lParam != 0) {
        const char* text = reinterpret_cast<const char*>(lParam);
        entry.textLength = std::strlen(text);
        std::size_t kept = entry.textLength < sizeof(entry.text) - 1 ? entry.textLength : sizeof(entry.text) - 1;
        std::memcpy(entry.text, text, kept);
        return TRUE;
    }
    return 0;
}

BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult)
{
    ++record.endDialogCalls;
    if (hDlg != record.dialogWindow) return FALSE;
    record.dialogEnded = true;
    record.dialogResult = nResult;
    return TRUE;
}

#endif
