// The platform services that the driver calls: the default driver procedure
// and the dialog manager for the About box.
//
// On Windows these are winmm's and user32's own. Elsewhere this file declares
// stand-ins with the same signatures. They do no window work: they record
// every call, so that tests can see what the driver handed to the platform,
// and DialogBoxParamA "runs" a dialog by feeding its procedure
// WM_INITDIALOG and then a scripted list of messages until EndDialog.
#pragma once

#include "vfw.h"

#if !defined(_WIN32)

typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);

LRESULT WINAPI DefDriverProc(DWORD_PTR dwDriverIdentifier, HDRVR hdrvr, UINT uMsg, LPARAM lParam1, LPARAM lParam2);
INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                               LPARAM dwInitParam);
LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult);

// What the stand-ins saw. Fixed-size so that recording never allocates.
struct DefDriverProcCall {
    DWORD_PTR driverId;
    HDRVR driver;
    UINT message;
    LPARAM lParam1;
    LPARAM lParam2;
};

struct DialogMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    INT_PTR result; // what the dialog procedure answered (recorded messages only)
};

struct DialogItemMessage {
    HWND dialog;
    int item;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    char text[1024]; // copy of the string for WM_SETTEXT, cut to fit
    std::size_t textLength; // full strlen of that string
};

constexpr std::size_t MaxRecordedCalls = 16;

struct DriverServicesRecord {
    // DefDriverProc
    std::size_t defDriverProcCalls;
    DefDriverProcCall lastDefDriverProc;
    LRESULT defDriverProcResult; // what the stand-in answers; set by tests

    // DialogBoxParamA
    std::size_t dialogRuns;
    HINSTANCE dialogModule;
    LPCSTR dialogTemplate;
    HWND dialogOwner;
    DLGPROC dialogProcedure;
    LPARAM dialogInitParam;
    HWND dialogWindow;    // the handle the procedure was given
    bool dialogEnded;     // EndDialog was called for it
    INT_PTR dialogResult; // the value given to EndDialog

    // Messages fed to the dialog procedure, WM_INITDIALOG first.
    DialogMessage delivered[MaxRecordedCalls];
    std::size_t deliveredCount;

    // SendDlgItemMessageA
    DialogItemMessage itemMessages[MaxRecordedCalls];
    std::size_t itemMessageCount;

    // EndDialog
    std::size_t endDialogCalls;
};

// The record, and a reset that also clears the dialog script.
DriverServicesRecord& DriverServices();
void ResetDriverServices();

// Messages that the next dialogs receive after WM_INITDIALOG, in order, up to
// the first one after which the procedure has called EndDialog. A dialog
// whose script runs out without EndDialog returns -1, as a dialog that could
// not be shown does.
void ScriptDialog(const DialogMessage* messages, std::size_t count);

#endif
