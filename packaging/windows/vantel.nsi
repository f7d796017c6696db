; The Windows installer, made by scripts/windows.sh:
;   makensis -DVERSION=1.0.0 -DSTAGE=<folder of the programs> -DOUTFILE=<setup.exe> vantel.nsi
; Per user by default, into %LOCALAPPDATA%\Programs\vantel, with no administrator;
; /AllUsers installs for every user into Program Files. /S installs silently, and
; uninstall.exe /S removes it silently.

!ifndef VERSION | STAGE | OUTFILE
  !error "VERSION, STAGE and OUTFILE must be defined"
!endif

Unicode true
; The 32-bit stub does not start under a Wine that runs 64-bit programs only.
Target amd64-unicode
SetCompressor /SOLID lzma

!define APP "vantel"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${APP}"

!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_INSTALLMODE_DEFAULT_CURRENTUSER
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODE_INSTDIR "${APP}"
; An upgrade goes where the last install went, in the mode it was made in.
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_VALUENAME "InstallLocation"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_VALUENAME "InstallMode"
!include MultiUser.nsh
!include MUI2.nsh
!include FileFunc.nsh

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "${APP} ${VERSION}"

!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  !insertmacro MULTIUSER_INIT
FunctionEnd

Function un.onInit
  !insertmacro MULTIUSER_UNINIT
FunctionEnd

Section "vantel" SecMain
  SetOutPath "$INSTDIR"
  ; The DLLs and plugins of an older version go first: the new programs must
  ; never load a stale one left beside them.
  Delete "$INSTDIR\*.dll"
  RMDir /r "$INSTDIR\platforms"
  RMDir /r "$INSTDIR\styles"
  File /r "${STAGE}\*"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "$SMPROGRAMS\${APP}"
  CreateShortcut "$SMPROGRAMS\${APP}\vantel.lnk" "$INSTDIR\vantel.exe"
  CreateShortcut "$SMPROGRAMS\${APP}\pellow.lnk" "$INSTDIR\pellow.exe"

  ; SHCTX is HKCU for a per-user install and HKLM for /AllUsers.
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${APP} ${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\vantel.exe"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "${APP}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallMode" "$MultiUser.InstallMode"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" \
    '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" \
    '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode /S'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
  Delete "$SMPROGRAMS\${APP}\vantel.lnk"
  Delete "$SMPROGRAMS\${APP}\pellow.lnk"
  RMDir "$SMPROGRAMS\${APP}"
  ; Only what the installer put there; anything else the user saved stays.
  Delete "$INSTDIR\*.exe"
  Delete "$INSTDIR\*.dll"
  Delete "$INSTDIR\*.txt"
  RMDir /r "$INSTDIR\platforms"
  RMDir /r "$INSTDIR\styles"
  RMDir "$INSTDIR"
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
SectionEnd
