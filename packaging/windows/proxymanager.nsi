; Per-user installer: no administrator rights, the program under the user's local programs
; folder, its config.ini and log.txt in a per-user data folder the Start-menu entry starts in.
; makensis -DVERSION=x.y.z -DBUNDLE=<folder with proxymanager.exe> -DOUTFILE=<setup.exe>
;          -DICON=<logo.ico> -DUNINSTALL_LIST=<.nsh> proxymanager.nsi
; UNINSTALL_LIST deletes exactly the bundle's files, so that a folder the user picked that
; holds other files keeps them.

; A 64-bit installer for the 64-bit program; it also runs where only 64-bit Wine is installed.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user

!define APP "ProxyManager"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${APP}"

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
Icon "${ICON}"
UninstallIcon "${ICON}"
InstallDir "$LOCALAPPDATA\Programs\${APP}"
InstallDirRegKey HKCU "Software\${APP}" "InstallDir"

!include "MUI2.nsh"
!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_FUNCTION StartProgram
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
    SetShellVarContext current
FunctionEnd

Function un.onInit
    SetShellVarContext current
FunctionEnd

Function StartProgram
    SetOutPath "$APPDATA\${APP}"
    Exec '"$INSTDIR\proxymanager.exe"'
FunctionEnd

Section "Install"
    SetOutPath "$INSTDIR"
    File /r "${BUNDLE}\*.*"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    ; The program reads config.ini and writes log.txt in its working directory.
    SetOutPath "$APPDATA\${APP}"
    SetOverwrite off
    File "${BUNDLE}\config.ini"
    SetOverwrite on

    ; The working directory of a shortcut is the current output path.
    CreateShortCut "$SMPROGRAMS\${APP}.lnk" "$INSTDIR\proxymanager.exe" "" \
        "$INSTDIR\proxymanager.exe" 0

    WriteRegStr HKCU "Software\${APP}" "InstallDir" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${APP}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\proxymanager.exe"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; The user's config.ini and log.txt in $APPDATA\ProxyManager stay; the start with the session
; and the settings (under Software\ProxyManager) go.
Section "Uninstall"
    Delete "$SMPROGRAMS\${APP}.lnk"
    DeleteRegValue HKCU "Software\Microsoft\Windows\CurrentVersion\Run" "${APP}"
    !include "${UNINSTALL_LIST}"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
    DeleteRegKey HKCU "Software\${APP}"
SectionEnd
