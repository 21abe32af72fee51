; Tolvin's setup: one click, for the current user, without administrator rights.
; scripts/release builds it:
;   makensis -DVERSION=x.y.z -DSOURCE=<folder of the release files>
;            -DOUTFILE=<setup.exe> [-DSIGN] installer/tolvin.nsi
; With SIGN, the uninstaller and then the setup are signed by installer/sign
; before they are written; a failed signature fails the build. Paths in here are
; relative to this folder, where makensis works.

Unicode true
Target amd64-unicode
RequestExecutionLevel user
ManifestSupportedOS all
ManifestDPIAware true
SetCompressor /SOLID lzma
; A locked file stops the install (Retry/Cancel, or a failure when silent)
; instead of being skipped with a report of success.
AllowSkipFiles off

!ifndef VERSION | SOURCE | OUTFILE
  !error "define VERSION, SOURCE and OUTFILE"
!endif

!include LogicLib.nsh
!include FileFunc.nsh
!include Sections.nsh

; The window class and quit command every release keeps, read from the header
; the program is built with.
!searchparse /file "../shell/installer_contract.h" \
  `WINDOW_CLASS[] = L"` WINDOW_CLASS `"`
!searchparse /file "../shell/installer_contract.h" `IDM_QUIT = ` IDM_QUIT `;`

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tolvin"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define STARTUP_APPROVED_KEY "Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run"
!define UNINSTALLER "Uninstall Tolvin.exe"
!define WEBVIEW2_CLIENT "Microsoft\EdgeUpdate\Clients\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}"
!define WEBVIEW2_DOWNLOAD "https://developer.microsoft.com/microsoft-edge/webview2/#download"
!define WM_COMMAND 0x0111
!define SYNCHRONIZE 0x00100000

!ifdef SIGN
  !finalize '"./sign" "%1"' = 0
  !uninstfinalize '"./sign" "%1"' = 0
!endif

Name "Tolvin"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Tolvin"
; A second run replaces the installed copy wherever /D= put it.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" InstallLocation
Icon "../shell/tolvin.ico"
UninstallIcon "../shell/tolvin.ico"
BrandingText " "
ShowInstDetails nevershow
ShowUninstDetails nevershow
AutoCloseWindow true

!searchparse "${VERSION}.0.0.0" "" V1 "." V2 "." V3 "." V4 "."
VIProductVersion "${V1}.${V2}.${V3}.${V4}"
VIAddVersionKey ProductName "Tolvin"
VIAddVersionKey ProductVersion "${VERSION}"
VIAddVersionKey FileVersion "${VERSION}"
VIAddVersionKey FileDescription "Tolvin Setup"
!pragma warning disable 9100 ; no LegalCopyright: none is named

Page instfiles
LoadLanguageFile "${NSISDIR}/Contrib/Language files/English.nlf"
LangString ^UnComponentsText ${LANG_ENGLISH} "Tolvin will be removed from this computer. Your \
  settings, sign-in and logs stay for a later install unless you tick the box below."
LangString ^UnComponentsSubText2_NoInstTypes ${LANG_ENGLISH} " "
SpaceTexts none
UninstPage components
UninstPage instfiles

; Asks a running Tolvin of this session to quit as the tray's "Quit Tolvin" does
; and waits up to 10 s for its process (its window goes first) to end. A
; program that stays leaves its files locked, which the copy or delete reports.
!macro END_RUNNING_TOLVIN UN
Function ${UN}endRunningTolvin
  StrCpy $R0 0
  ${Do}
    FindWindow $0 "${WINDOW_CLASS}"
    ${If} $0 == 0
    ${OrIf} $R0 >= 3
      ${Break}
    ${EndIf}
    IntOp $R0 $R0 + 1
    System::Call 'user32::GetWindowThreadProcessId(p r0, *i 0 r1)'
    System::Call 'kernel32::OpenProcess(i ${SYNCHRONIZE}, i 0, i r1) p .r2'
    DetailPrint "Closing Tolvin"
    System::Call 'user32::PostMessageW(p r0, i ${WM_COMMAND}, p ${IDM_QUIT}, p 0)'
    ${If} $2 P<> 0
      System::Call 'kernel32::WaitForSingleObject(p r2, i 10000) i .r3'
      System::Call 'kernel32::CloseHandle(p r2)'
      ${If} $3 != 0
        ${Break}
      ${EndIf}
    ${Else}
      Sleep 1000
    ${EndIf}
  ${Loop}
FunctionEnd
!macroend
!insertmacro END_RUNNING_TOLVIN ""
!insertmacro END_RUNNING_TOLVIN "un."

Function .onInit
  ; A folder this user cannot write (Program Files) is refused here, not met
  ; with a request for administrator rights.
  ClearErrors
  CreateDirectory "$INSTDIR"
  FileOpen $0 "$INSTDIR\tolvin-write-test.tmp" w
  ${If} ${Errors}
    MessageBox MB_OK|MB_ICONSTOP "Tolvin cannot be installed in $INSTDIR: you cannot write to \
      that folder without administrator rights.$\r$\n$\r$\nRun the setup without /D= to install \
      into $LOCALAPPDATA\Programs\Tolvin, or name a folder of your own." /SD IDOK
    RMDir "$INSTDIR"
    SetErrorLevel 2
    Quit
  ${EndIf}
  FileClose $0
  Delete "$INSTDIR\tolvin-write-test.tmp"
FunctionEnd

Section "Tolvin"
  Call endRunningTolvin
  SetOutPath "$INSTDIR"
  File "${SOURCE}/Tolvin.exe"
  File "${SOURCE}/tolvin-app-audio.exe"
  File "${SOURCE}/WebView2Loader.dll"
  File "${SOURCE}/WebView2Loader-NOTICE.txt"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  SetShellVarContext current
  CreateShortcut "$SMPROGRAMS\Tolvin.lnk" "$INSTDIR\Tolvin.exe"

  ${GetSize} "$INSTDIR" "/S=0K /G=0" $0 $1 $2
  WriteRegStr HKCU "${UNINSTALL_KEY}" DisplayName "Tolvin"
  WriteRegStr HKCU "${UNINSTALL_KEY}" DisplayVersion "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" Publisher "Tolvin"
  WriteRegStr HKCU "${UNINSTALL_KEY}" DisplayIcon "$INSTDIR\Tolvin.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" InstallLocation "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" UninstallString '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" QuietUninstallString '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" EstimatedSize $0
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" NoModify 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" NoRepair 1
SectionEnd

; Microsoft's documented test for an installed runtime: a version other than
; 0.0.0.0 in "pv", for the machine or for this user.
Function .onInstSuccess
  ${If} ${Silent}
    Return
  ${EndIf}
  ReadRegStr $0 HKLM "SOFTWARE\WOW6432Node\${WEBVIEW2_CLIENT}" pv
  ReadRegStr $1 HKCU "Software\${WEBVIEW2_CLIENT}" pv
  ${If} $0 == ""
  ${OrIf} $0 == "0.0.0.0"
    ${If} $1 == ""
    ${OrIf} $1 == "0.0.0.0"
      MessageBox MB_YESNO|MB_ICONINFORMATION "Tolvin needs the Microsoft Edge WebView2 Runtime, \
        which is not installed on this computer.$\r$\n$\r$\nOpen Microsoft's download page for \
        the Evergreen runtime now?" IDNO +2
      ExecShell "open" "${WEBVIEW2_DOWNLOAD}"
    ${EndIf}
  ${EndIf}
  Exec '"$INSTDIR\Tolvin.exe"'
FunctionEnd

; A program that still runs keeps its file: Retry/Cancel, or a failure when
; silent, before anything else is removed, so that the entry stays for a retry.
!macro DELETE_OR_STOP FILE
  !define /redef /math ID ${__LINE__} + 0
  retry_${ID}:
  ClearErrors
  Delete "${FILE}"
  ${If} ${Errors}
    MessageBox MB_RETRYCANCEL|MB_ICONSTOP "${FILE} is in use. Quit Tolvin, then click Retry." \
      /SD IDCANCEL IDRETRY retry_${ID}
    SetErrorLevel 2
    Abort
  ${EndIf}
!macroend

Section "un.Tolvin"
  SectionIn RO
  Call un.endRunningTolvin
  !insertmacro DELETE_OR_STOP "$INSTDIR\Tolvin.exe"
  !insertmacro DELETE_OR_STOP "$INSTDIR\tolvin-app-audio.exe"
  Delete "$INSTDIR\WebView2Loader.dll"
  Delete "$INSTDIR\WebView2Loader-NOTICE.txt"
  Delete "$INSTDIR\tolvin-write-test.tmp"
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"

  SetShellVarContext current
  Delete "$SMPROGRAMS\Tolvin.lnk"

  ; "Start with Windows" of this copy, not of another one elsewhere; its
  ; Task Manager state goes with the last Run value of that name.
  ReadRegStr $0 HKCU "${RUN_KEY}" "Tolvin"
  StrCpy $1 $0 1
  ${If} $1 == '"'
    StrCpy $0 $0 "" 1
  ${EndIf}
  StrLen $2 "$INSTDIR\"
  StrCpy $1 $0 $2
  ${If} $1 == "$INSTDIR\"
    DeleteRegValue HKCU "${RUN_KEY}" "Tolvin"
  ${EndIf}
  ClearErrors
  ReadRegStr $0 HKCU "${RUN_KEY}" "Tolvin"
  ${If} ${Errors}
    DeleteRegValue HKCU "${STARTUP_APPROVED_KEY}" "Tolvin"
  ${EndIf}

  RMDir /r "$LOCALAPPDATA\Tolvin\update"
  RMDir "$LOCALAPPDATA\Tolvin"
SectionEnd

Section /o "un.Also remove my settings and sign-in data" REMOVE_DATA
  RMDir /r "$APPDATA\Tolvin"
  ; The web view's processes may hold EBWebView a moment after Tolvin ended.
  StrCpy $0 0
  ${Do}
    RMDir /r "$LOCALAPPDATA\Tolvin"
    ${IfNot} ${FileExists} "$LOCALAPPDATA\Tolvin\*.*"
    ${OrIf} $0 >= 10
      ${Break}
    ${EndIf}
    IntOp $0 $0 + 1
    Sleep 500
  ${Loop}
SectionEnd

; Last, so that an uninstall that stopped half-way can be run again from
; Settings > Apps, and so that the entry's removal says it is done.
Section "-un.Entry"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd

; The uninstaller keeps the user's settings, sign-in and logs unless the box is
; ticked or /REMOVEDATA is given.
Function un.onInit
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/REMOVEDATA" $1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${REMOVE_DATA}
  ${EndIf}
FunctionEnd
