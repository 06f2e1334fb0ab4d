; The Nimbra installer: Nimbra, its companion service NimbraService and
; ProxyRevert, the real engine as anon.dll with the obfs4 transport for
; bridges beside it, the pictures, help, languages and the label font, a
; Start-menu folder, and an uninstaller that gives the browsers their own
; proxy settings back before it removes anything.
;
; The service runs in the user's session from logon on (a Run value of its
; own) and is started when setup finishes; an upgrade stops it first. A
; first install (no options.ini in the data folder and no uninstall entry
; yet) asks for the tutorial at Nimbra's first start (FirstRun=1 in
; options.ini); an upgrade leaves options.ini as it is.
;
; Built by the "installer" target of the Windows build, which passes:
;   VERSION      e.g. 1.4
;   PROGRAM_DIR  the program folder the build fills (Nimbra.exe, res, Help...)
;   PROXYREVERT  ProxyRevert.exe (built in a folder of its own)
;   SERVICE      NimbraService.exe
;   BOOST_LICENSE  the Boost Software License's text (the service's endpoint
;                uses Boost.Asio and Boost.Beast)
;   ENGINE       the real engine library, installed as anon.dll
;   OBFS4PROXY   obfs4proxy.exe, which the engine starts for obfs4 bridges
;   OBFS4PROXY_LICENSES  the folder of its licence files
;   LANGUAGES    a generated include listing the language files
;   OUTFILE      the setup program to write

!ifndef VERSION | PROGRAM_DIR | PROXYREVERT | SERVICE | BOOST_LICENSE | ENGINE | OBFS4PROXY | OBFS4PROXY_LICENSES | LANGUAGES | OUTFILE
  !error "Build this through the installer target of the Windows build"
!endif

Unicode true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include MUI2.nsh
!include LogicLib.nsh
!include WinMessages.nsh
!include x64.nsh
!include FileFunc.nsh

!define PRODUCT "Nimbra"
!define PUBLISHER "Corvane"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Nimbra"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define FONTS_KEY "Software\Microsoft\Windows NT\CurrentVersion\Fonts"
!define FONT_FILE "LCDN.TTF"
; The registry names a TrueType font by its full name.
!define FONT_VALUE "LcdD (TrueType)"
!define MAIN_WINDOW_CLASS "TNimbraMainForm"
!define SERVICE_RUN_VALUE "NimbraService"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} ${VERSION} Setup"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "LegalCopyright" "${PUBLISHER}"

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\Nimbra.exe"
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

!include "${LANGUAGES}"

; A running Nimbra keeps its files open and its proxies set: it is ended
; (after asking, unless silent); the uninstaller then runs ProxyRevert, so
; no proxy is left pointing at an engine that is gone.
!macro EndRunningNimbra un
  Function ${un}EndRunningNimbra
    FindWindow $0 "${MAIN_WINDOW_CLASS}"
    ${If} $0 == 0
      Return
    ${EndIf}
    ${IfNot} ${Silent}
      MessageBox MB_OKCANCEL|MB_ICONEXCLAMATION \
        "Nimbra is running. It will be ended so that setup can go on." IDOK +2
      Abort
    ${EndIf}
    ; Single-instance, but a second window would only turn up on a retry.
    StrCpy $3 0
    ${Do}
      System::Call 'user32::GetWindowThreadProcessId(p r0, *i .r1) i'
      ; PROCESS_TERMINATE | SYNCHRONIZE
      System::Call 'kernel32::OpenProcess(i 0x00100001, i 0, i r1) p .r2'
      ${If} $2 P<> 0
        System::Call 'kernel32::TerminateProcess(p r2, i 1)'
        System::Call 'kernel32::WaitForSingleObject(p r2, i 10000)'
        System::Call 'kernel32::CloseHandle(p r2)'
      ${EndIf}
      IntOp $3 $3 + 1
      FindWindow $0 "${MAIN_WINDOW_CLASS}"
      ${If} $0 == 0
      ${OrIf} $3 >= 5
        ${ExitDo}
      ${EndIf}
    ${Loop}
    ${If} $0 != 0
      MessageBox MB_ICONSTOP "Nimbra could not be ended. Close it and try again." /SD IDOK
      Abort
    ${EndIf}
  FunctionEnd
!macroend
!insertmacro EndRunningNimbra ""
!insertmacro EndRunningNimbra "un."

; Set in .onInit: whether Nimbra was here before (its uninstall entry, or
; the options it keeps in the data folder).
Var Upgrade

; A running service switches the browsers back and ends (it waits until it
; has), so that its file can be replaced or removed.
!macro StopService
  ${If} ${FileExists} "$INSTDIR\NimbraService.exe"
    ExecWait '"$INSTDIR\NimbraService.exe" --stop'
  ${EndIf}
!macroend

Function .onInit
  SetShellVarContext all
  Call EndRunningNimbra
  StrCpy $Upgrade 0
  ClearErrors
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "DisplayName"
  ${IfNot} ${Errors}
    StrCpy $Upgrade 1
  ${EndIf}
  ${If} ${FileExists} "$DOCUMENTS\${PRODUCT}\options.ini"
    StrCpy $Upgrade 1
  ${EndIf}
FunctionEnd

; The service for the rest of this session; later sessions start it from
; the Run value.
Function .onInstSuccess
  Exec '"$INSTDIR\NimbraService.exe"'
FunctionEnd

Function un.onInit
  SetShellVarContext all
  Call un.EndRunningNimbra
FunctionEnd

Section "Nimbra" SecProgram
  SectionIn RO
  !insertmacro StopService
  SetOutPath "$INSTDIR"
  File "${PROGRAM_DIR}/Nimbra.exe"
  File "${PROXYREVERT}"
  File "${SERVICE}"
  File "/oname=anon.dll" "${ENGINE}"
  File "${OBFS4PROXY}"
  File "${PROGRAM_DIR}/LCDN-LICENSE.txt"
  SetOutPath "$INSTDIR\Licenses\Boost"
  File "/oname=LICENSE_1_0.txt" "${BOOST_LICENSE}"
  SetOutPath "$INSTDIR\Licenses\obfs4proxy"
  File "/oname=LICENSE.txt" "${OBFS4PROXY_LICENSES}/LICENSE"
  File "${OBFS4PROXY_LICENSES}/LICENSE-GPL3.txt"
  File "${OBFS4PROXY_LICENSES}/LICENSE-libraries.txt"
  SetOutPath "$INSTDIR"
  !insertmacro InstallLanguages
  SetOutPath "$INSTDIR\res"
  File "${PROGRAM_DIR}/res/*.jpg"
  SetOutPath "$INSTDIR\Help"
  File "${PROGRAM_DIR}/Help/Help.chm"

  ; The label font, for every user. A copy already loaded is left as it is.
  SetOverwrite try
  SetOutPath "$FONTS"
  File "${PROGRAM_DIR}/${FONT_FILE}"
  SetOverwrite on
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  WriteRegStr HKLM "${FONTS_KEY}" "${FONT_VALUE}" "${FONT_FILE}"
  SetRegView lastused
  System::Call 'gdi32::AddFontResource(t "$FONTS\${FONT_FILE}") i'
  SendMessage ${HWND_BROADCAST} ${WM_FONTCHANGE} 0 0 /TIMEOUT=5000

  SetOutPath "$INSTDIR"
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Nimbra.lnk" "$INSTDIR\Nimbra.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\ProxyRevert.lnk" "$INSTDIR\ProxyRevert.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Nimbra Help.lnk" "$INSTDIR\Help\Help.chm"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Uninstall Nimbra.lnk" "$INSTDIR\Uninstall.exe"

  WriteRegStr HKCU "${RUN_KEY}" "${SERVICE_RUN_VALUE}" '"$INSTDIR\NimbraService.exe"'
  ; The tutorial at the first start of a first install only.
  ${If} $Upgrade == 0
    CreateDirectory "$DOCUMENTS\${PRODUCT}"
    WriteINIStr "$DOCUMENTS\${PRODUCT}\options.ini" "Options" "FirstRun" "1"
  ${EndIf}

  WriteUninstaller "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Nimbra.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" "$0"
SectionEnd

Section "un.Nimbra" UnSecProgram
  SectionIn RO
  ; The service puts back what it changed (from its journal, exactly) and
  ; ends. ProxyRevert then restores a journal a crash may have left and
  ; switches off only what still points at Nimbra's endpoint: a proxy of the
  ; user's own stays.
  !insertmacro StopService
  ${If} ${FileExists} "$INSTDIR\ProxyRevert.exe"
    ExecWait '"$INSTDIR\ProxyRevert.exe" /uninstall'
  ${EndIf}
  DeleteRegValue HKCU "${RUN_KEY}" "Nimbra"
  DeleteRegValue HKCU "${RUN_KEY}" "${SERVICE_RUN_VALUE}"

  Delete "$INSTDIR\Nimbra.exe"
  Delete "$INSTDIR\ProxyRevert.exe"
  Delete "$INSTDIR\NimbraService.exe"
  Delete "$INSTDIR\Licenses\Boost\LICENSE_1_0.txt"
  RMDir "$INSTDIR\Licenses\Boost"
  Delete "$INSTDIR\anon.dll"
  Delete "$INSTDIR\obfs4proxy.exe"
  Delete "$INSTDIR\Licenses\obfs4proxy\LICENSE.txt"
  Delete "$INSTDIR\Licenses\obfs4proxy\LICENSE-GPL3.txt"
  Delete "$INSTDIR\Licenses\obfs4proxy\LICENSE-libraries.txt"
  RMDir "$INSTDIR\Licenses\obfs4proxy"
  RMDir "$INSTDIR\Licenses"
  ; Nimbra keeps the engine's settings, its bridge settings, log and cache
  ; beside the library.
  Delete "$INSTDIR\anon_settings"
  Delete "$INSTDIR\anon_defaults"
  Delete "$INSTDIR\anon.dll.log"
  RMDir /r "$INSTDIR\cache"
  Delete "$INSTDIR\LCDN-LICENSE.txt"
  !insertmacro RemoveLanguages
  Delete "$INSTDIR\res\*.jpg"
  RMDir "$INSTDIR\res"
  Delete "$INSTDIR\Help\Help.chm"
  RMDir "$INSTDIR\Help"

  System::Call 'gdi32::RemoveFontResource(t "$FONTS\${FONT_FILE}") i'
  SendMessage ${HWND_BROADCAST} ${WM_FONTCHANGE} 0 0 /TIMEOUT=5000
  Delete /REBOOTOK "$FONTS\${FONT_FILE}"
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  DeleteRegValue HKLM "${FONTS_KEY}" "${FONT_VALUE}"
  SetRegView lastused

  Delete "$SMPROGRAMS\${PRODUCT}\Nimbra.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\ProxyRevert.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Nimbra Help.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Uninstall Nimbra.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"

  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

; Off unless chosen: the options, engine cache and logs are the user's.
Section /o "un.Settings, engine cache and logs" UnSecData
  RMDir /r "$DOCUMENTS\${PRODUCT}"
SectionEnd

!insertmacro MUI_UNFUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${UnSecProgram} "The programs, the engine, help, languages and the label font."
  !insertmacro MUI_DESCRIPTION_TEXT ${UnSecData} "Also delete the Nimbra folder in the shared documents: options, engine settings and cache, logs."
!insertmacro MUI_UNFUNCTION_DESCRIPTION_END
