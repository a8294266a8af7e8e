; tapvela's per-user installer: no administrator rights, everything under the user's own profile and HKCU.
; makensis gets VERSION FULL_VERSION PUBLISHER COPYRIGHT ICON LICENSE FILES SIZE_KB RUNNING_MAPPING OUTFILE
; from cmake/windows_release_build.cmake.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!include FileFunc.nsh
!include LogicLib.nsh
!include WordFunc.nsh
!include MUI2.nsh
!include "${FILES}"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\tapvela"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"

Name "tapvela"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\tapvela"
; An upgrade, a downgrade or a repair goes where the installed copy is.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "tapvela ${FULL_VERSION}"

VIProductVersion "${FULL_VERSION}"
VIFileVersion "${FULL_VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "tapvela"
VIAddVersionKey /LANG=1033 "ProductVersion" "${FULL_VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${FULL_VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "tapvela ${VERSION} setup"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${COPYRIGHT}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN "$INSTDIR\tapvela.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start tapvela now"
!insertmacro MUI_PAGE_WELCOME
; The licence grants rights and asks nothing of the user: the page informs, its button goes on.
!define MUI_LICENSEPAGE_TEXT_BOTTOM "tapvela is free software under this licence. The libraries it carries, and their licences, are listed in THIRD-PARTY-NOTICES.txt in its folder."
!define MUI_LICENSEPAGE_BUTTON "$(^NextBtn)"
!insertmacro MUI_PAGE_LICENSE "${LICENSE}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; A running tapvela holds its single-instance guard, a named file mapping, for as long as it runs.
!macro IsRunning un
Function ${un}IsRunning
    Push $1
    System::Call 'kernel32::OpenFileMappingW(i 4, i 0, w "${RUNNING_MAPPING}") p .r1'
    ${If} $1 P<> 0
        System::Call 'kernel32::CloseHandle(p r1)'
        StrCpy $1 1
    ${Else}
        StrCpy $1 0
    ${EndIf}
    Exch $1
FunctionEnd

; Waits up to $0 tenths of a second for tapvela to end; pushes 1 when it still runs.
Function ${un}WaitForEnd
    Push $2
    ${Do}
        Call ${un}IsRunning
        Pop $2
        ${If} $2 == 0
        ${OrIf} $0 <= 0
            ${Break}
        ${EndIf}
        Sleep 100
        IntOp $0 $0 - 1
    ${Loop}
    Exch $2
FunctionEnd

; Its files cannot be replaced or removed while it runs. It is first asked to close its windows (a program
; showing the login window then ends); one that lives in the tray keeps running and is ended, after the user
; agreed (a silent run agrees), which loses nothing: config.ini holds every setting as soon as it is chosen.
Function ${un}StopTapvela
    Call ${un}IsRunning
    Pop $0
    ${If} $0 == 0
        Return
    ${EndIf}
    DetailPrint "Asking tapvela to quit"
    nsExec::Exec '"$SYSDIR\taskkill.exe" /IM tapvela.exe'
    Pop $0
    StrCpy $0 30
    Call ${un}WaitForEnd
    Pop $0
    ${If} $0 == 0
        Return
    ${EndIf}
    MessageBox MB_OKCANCEL|MB_ICONEXCLAMATION "tapvela is running. Click OK to close it and go on, or Cancel to \
        quit it yourself from its tray icon first." /SD IDOK IDOK stop
    Quit
stop:
    DetailPrint "Closing tapvela"
    nsExec::Exec '"$SYSDIR\taskkill.exe" /F /IM tapvela.exe'
    Pop $0
    StrCpy $0 100
    Call ${un}WaitForEnd
    Pop $0
    ${If} $0 != 0
        MessageBox MB_OK|MB_ICONSTOP "tapvela could not be closed. Quit it from its tray icon and try again." /SD IDOK
        SetErrorLevel 2
        Quit
    ${EndIf}
FunctionEnd
!macroend
!insertmacro IsRunning ""
!insertmacro IsRunning "un."

; $R1: the value of /SERVER= on the command line, up to the next blank or between quotes; empty when absent.
; GetOptions would end it at the first "/" of "https://".
Function ServerOption
    ${GetParameters} $R0
    StrCpy $R1 ""
    StrLen $R3 $R0
    StrCpy $R2 0
    ${DoWhile} $R2 < $R3
        StrCpy $R4 $R0 8 $R2
        ${If} $R4 == "/SERVER="
            IntOp $R2 $R2 + 8
            StrCpy $R1 $R0 "" $R2
            StrCpy $R4 $R1 1
            ${If} $R4 == '"'
                StrCpy $R1 $R1 "" 1
                ${WordFind} $R1 '"' "+1" $R1
            ${Else}
                ${WordFind} $R1 " " "+1" $R1
            ${EndIf}
            ${Break}
        ${EndIf}
        IntOp $R2 $R2 + 1
    ${Loop}
FunctionEnd

Section "tapvela"
    Call StopTapvela
    SetOutPath "$INSTDIR"
    ; config.ini is the user's: never part of the files, an upgrade leaves it as it is.
    !insertmacro InstallFiles
    ; /SERVER=https://push.example.org (silent deployments): the service's address, written into config.ini under
    ; [General] server, as the login window would keep it; an install without it leaves an address already there.
    Call ServerOption
    ${If} $R1 != ""
        WriteINIStr "$INSTDIR\config.ini" "General" "server" "$R1"
    ${EndIf}
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "$SMPROGRAMS\tapvela.lnk" "$INSTDIR\tapvela.exe" "" "$INSTDIR\tapvela.exe" 0

    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "tapvela"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${FULL_VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tapvela.exe,0"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    Call un.StopTapvela
    ; Its guard goes as tapvela begins to end, its program file only once the process is gone: until then
    ; Windows refuses to delete it, and the folder would be left half removed. Up to 10 s.
    StrCpy $0 100
    ${Do}
        Delete "$INSTDIR\tapvela.exe"
        ${IfNot} ${FileExists} "$INSTDIR\tapvela.exe"
        ${OrIf} $0 <= 0
            ${Break}
        ${EndIf}
        Sleep 100
        IntOp $0 $0 - 1
    ${Loop}

    ; The start entry is removed only when it starts this copy: one that starts a copy elsewhere is the user's.
    ReadRegStr $0 HKCU "${RUN_KEY}" "tapvela"
    StrCpy $1 '"$INSTDIR\tapvela.exe"'
    StrLen $2 $1
    StrCpy $3 $0 $2
    ${If} $0 != ""
    ${AndIf} $3 == $1
        DeleteRegValue HKCU "${RUN_KEY}" "tapvela"
    ${EndIf}

    Delete "$SMPROGRAMS\tapvela.lnk"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"

    !insertmacro UninstallFiles
    ; The user chose to remove tapvela: its settings go too (a copy in a folder it may not write keeps them in
    ; %LOCALAPPDATA%\tapvela, which an installed copy never uses).
    Delete "$INSTDIR\config.ini"
    Delete "$INSTDIR\config.ini.lock"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
SectionEnd
