; The Windows installer, made by scripts/windows.sh:
;   makensis -DVERSION=1.0.0 -DSTAGE=<folder of the programs> -DFILES=<list of its files>
;            -DOUTFILE=<setup.exe> vantel.nsi
; Per user by default, into %LOCALAPPDATA%\Programs\vantel, with no administrator;
; /AllUsers installs for every user into Program Files; /D=<folder> (last on the
; command line, unquoted) installs there instead. /S installs silently, and
; uninstall.exe /S removes it silently.
;
; FILES lists what STAGE holds, one path a line relative to it: the files, then the
; folders, deepest first, each ended by "\". It is installed beside the programs, so
; that the uninstaller, and the next version's installer, remove exactly those and
; leave whatever else the user keeps in the folder (sequence files, logs).

!ifndef VERSION | STAGE | FILES | OUTFILE
  !error "VERSION, STAGE, FILES and OUTFILE must be defined"
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
!include LogicLib.nsh

; The installed list's name in $INSTDIR.
!define FILE_LIST "installed-files.lst"

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "${APP} ${VERSION}"

!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; NSIS puts /D's folder into $INSTDIR before .onInit (the uninstaller: its own
; folder), and MultiUser.nsh then overwrites it with the default or the last
; install's folder. What the command line or the uninstaller's place says wins.
Var GivenDir

Function .onInit
  StrCpy $GivenDir $INSTDIR
  !insertmacro MULTIUSER_INIT
  ${If} $GivenDir != ""
    StrCpy $INSTDIR $GivenDir
  ${EndIf}
FunctionEnd

Function un.onInit
  StrCpy $GivenDir $INSTDIR
  !insertmacro MULTIUSER_UNINIT
  ${If} $GivenDir != ""
    StrCpy $INSTDIR $GivenDir
  ${EndIf}
FunctionEnd

; Deletes what $INSTDIR\${FILE_LIST} names: each file, then each folder if it is
; empty. A line that could reach outside $INSTDIR (a drive, a leading "\", "..")
; is skipped. Without the list nothing is deleted.
!macro DELETE_LISTED UN PREFIX
Function ${PREFIX}DeleteListed
  Push $0
  Push $1
  Push $2
  ClearErrors
  FileOpen $0 "$INSTDIR\${FILE_LIST}" r
  ${IfNot} ${Errors}
    ${Do}
      ClearErrors
      FileRead $0 $1
      ${If} ${Errors}
        ${Break}
      ${EndIf}
      ${Do} ; the line's end, CR LF or LF
        StrCpy $2 $1 1 -1
        ${If} $2 == "$\n"
        ${OrIf} $2 == "$\r"
          StrCpy $1 $1 -1
        ${Else}
          ${Break}
        ${EndIf}
      ${Loop}
      StrCpy $2 $1 1
      ${If} $1 == ""
      ${OrIf} $2 == "\"
      ${OrIf} $2 == "/"
        ${Continue}
      ${EndIf}
      ${${UN}StrStr} $2 $1 ":"
      ${If} $2 != ""
        ${Continue}
      ${EndIf}
      ${${UN}StrStr} $2 $1 ".."
      ${If} $2 != ""
        ${Continue}
      ${EndIf}
      StrCpy $2 $1 1 -1
      ${If} $2 == "\"
        RMDir "$INSTDIR\$1"
      ${Else}
        Delete "$INSTDIR\$1"
      ${EndIf}
    ${Loop}
    FileClose $0
  ${EndIf}
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro DELETE_LISTED "" ""
!insertmacro DELETE_LISTED "Un" "un."

Section "vantel" SecMain
  ; An older version's files go first, as its list names them: the new programs
  ; must never load a stale DLL or plugin left beside them.
  ${If} ${FileExists} "$INSTDIR\${FILE_LIST}"
    Call DeleteListed
  ${ElseIf} ${FileExists} "$INSTDIR\uninstall.exe"
    ; A version from before the list: its DLLs and plugins, which its own
    ; uninstaller would remove too.
    Delete "$INSTDIR\*.dll"
    Delete "$INSTDIR\platforms\*.dll"
    Delete "$INSTDIR\styles\*.dll"
  ${EndIf}
  SetOutPath "$INSTDIR"
  File /r "${STAGE}\*"
  File "/oname=${FILE_LIST}" "${FILES}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "$SMPROGRAMS\${APP}"
  CreateShortcut "$SMPROGRAMS\${APP}\vantel.lnk" "$INSTDIR\vantel.exe"
  CreateShortcut "$SMPROGRAMS\${APP}\pellow.lnk" "$INSTDIR\pellow.exe"
  ; The manual in vantel's help window, which needs no Markdown viewer; its pages
  ; are in docs\ beside the programs as well.
  CreateShortcut "$SMPROGRAMS\${APP}\vantel manual.lnk" "$INSTDIR\vantel.exe" "--manual" \
    "$INSTDIR\vantel.exe" 0 SW_SHOWNORMAL "" "The manual of vantel, pellow and vantelctl"

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
  Delete "$SMPROGRAMS\${APP}\vantel manual.lnk"
  RMDir "$SMPROGRAMS\${APP}"
  ; Only what the installer put there; anything else the user saved stays, and
  ; so does the folder that holds it.
  Call un.DeleteListed
  Delete "$INSTDIR\${FILE_LIST}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
SectionEnd
