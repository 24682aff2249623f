; The Windows installer of the Kestrun Archive Codec: both DLLs into place as
; kestrun.dll with their Drivers32 values vidc.KSHA, an entry in Apps &
; Features, and an uninstaller that takes away exactly that.
;
;   makensis -DVERSION=1.1 -DSOURCES=DIR -DOUTFILE=setup.exe [-DTARGET=amd64-unicode] kestrun.nsi
;
; DIR holds kestrun64.dll, kestrun32.dll, INSTALL.md and LICENSE. The 32-bit
; installer (the default, x86-unicode) runs on 32-bit and 64-bit Windows; an
; amd64-unicode build of the same script only on 64-bit Windows (the tests
; use it where 32-bit programs cannot run).
; Silent: setup.exe /S, uninstall.exe /S. Exit status 2: vidc.KSHA names
; another driver, nothing was changed.
Unicode true
!ifndef TARGET
  !define TARGET x86-unicode
!endif
Target ${TARGET}

!include LogicLib.nsh
!include x64.nsh
!include FileFunc.nsh

!define PRODUCT "Kestrun Archive Codec"
!define PUBLISHER "The Kestrun Archive Codec developers"
!define DRIVERS32 "Software\Microsoft\Windows NT\CurrentVersion\Drivers32"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KestrunArchiveCodec"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
InstallDir "$PROGRAMFILES64\${PRODUCT}"
ShowInstDetails show
ShowUninstDetails show
SetOverwrite on

LicenseData "${SOURCES}\LICENSE"
Page license
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Leaves $0 empty if vidc.KSHA is free or ours in the current view, else
; the other driver's file.
!macro ForeignDriver
  ReadRegStr $0 HKLM "${DRIVERS32}" "vidc.KSHA"
  ${If} $0 == "kestrun.dll"
    StrCpy $0 ""
  ${EndIf}
!macroend

!macro RefuseForeignDriver
  !insertmacro ForeignDriver
  ${If} $0 != ""
    MessageBox MB_OK|MB_ICONSTOP "vidc.KSHA is taken by another driver ($0); nothing was changed." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
!macroend

Function .onInit
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "admin"
    MessageBox MB_OK|MB_ICONSTOP "Installing a codec needs administrator rights." /SD IDOK
    SetErrorLevel 740
    Quit
  ${EndIf}
  ${If} ${RunningX64}
    SetRegView 64
    !insertmacro RefuseForeignDriver
    SetRegView 32
    !insertmacro RefuseForeignDriver
    SetRegView 64
  ${Else}
    !insertmacro RefuseForeignDriver
  ${EndIf}
FunctionEnd

Section "Codec"
  SetOutPath "$INSTDIR"
  File "${SOURCES}\INSTALL.md"
  File "${SOURCES}\LICENSE"
  ${If} ${RunningX64}
    ; 64-bit programs load System32, 32-bit programs SysWOW64.
    ${DisableX64FSRedirection}
    SetOutPath "$WINDIR\System32"
    File "/oname=kestrun.dll" "${SOURCES}\kestrun64.dll"
    ${EnableX64FSRedirection}
    SetOutPath "$WINDIR\SysWOW64"
    File "/oname=kestrun.dll" "${SOURCES}\kestrun32.dll"
    SetRegView 64
    WriteRegStr HKLM "${DRIVERS32}" "vidc.KSHA" "kestrun.dll"
    SetRegView 32
    WriteRegStr HKLM "${DRIVERS32}" "vidc.KSHA" "kestrun.dll"
    SetRegView 64
  ${Else}
    SetOutPath "$SYSDIR"
    File "/oname=kestrun.dll" "${SOURCES}\kestrun32.dll"
    WriteRegStr HKLM "${DRIVERS32}" "vidc.KSHA" "kestrun.dll"
  ${EndIf}

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ; In KiB: the folder and the two DLLs.
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntOp $0 $0 + ${DLL_KIB}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Function un.onInit
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
FunctionEnd

; Removes vidc.KSHA in the current view only if it still names kestrun.dll.
!macro RemoveOurValue
  ReadRegStr $0 HKLM "${DRIVERS32}" "vidc.KSHA"
  ${If} $0 == "kestrun.dll"
    DeleteRegValue HKLM "${DRIVERS32}" "vidc.KSHA"
  ${ElseIf} $0 != ""
    DetailPrint "vidc.KSHA names another driver ($0): left as it is"
  ${EndIf}
!macroend

Section "Uninstall"
  ${If} ${RunningX64}
    SetRegView 64
    !insertmacro RemoveOurValue
    SetRegView 32
    !insertmacro RemoveOurValue
    SetRegView 64
    ${DisableX64FSRedirection}
    Delete /REBOOTOK "$WINDIR\System32\kestrun.dll"
    ${EnableX64FSRedirection}
    Delete /REBOOTOK "$WINDIR\SysWOW64\kestrun.dll"
  ${Else}
    !insertmacro RemoveOurValue
    Delete /REBOOTOK "$SYSDIR\kestrun.dll"
  ${EndIf}
  Delete "$INSTDIR\INSTALL.md"
  Delete "$INSTDIR\LICENSE"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
