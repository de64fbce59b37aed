; The Windows installer, ld6193-<version>-setup.exe: a 64-bit NSIS installer built on Linux by the
; `installer` target (packaging/installer.cmake), which defines KV_VALUES (the product's name, version,
; maker, icon and licence, from CMake) and KV_FILES (the files `cmake --install` stages, the zip's
; content), and runs makensis on this script.
;
; What it does:
;   - installs per machine into Program Files when the account has the rights for it, else per user
;     into the user's programs folder (%LOCALAPPDATA%\Programs); /CurrentUser asks for a per-user
;     install all the same, /D=FOLDER chooses the folder, /S is silent;
;   - a Start menu shortcut for the window, whose working folder is %LOCALAPPDATA%\ld6193, so that
;     ld6193.cfg is kept per user in a folder the user can write. The installer makes that folder for
;     the installing user; on a per-machine install, Active Setup makes it for every other user at their
;     next sign-in;
;   - a second one, "KV6193 Production Station", for the same program with --station, in the same
;     working folder;
;   - the window among the "Open with" programs for .hex files (a ProgID with its icon and an
;     OpenWithProgids entry; the default program for .hex stays what it was);
;   - an uninstaller and an "Apps & features" entry;
;   - optionally (component "ld6193-flash on PATH", off unless chosen, /PATH=1 when silent) the install
;     folder on PATH.
; The uninstaller takes away every file, shortcut and registry entry the installer made, and leaves
; the users' ld6193.cfg files where they are.

!ifndef KV_VALUES | KV_FILES
  !error "build with the installer target: makensis -DKV_VALUES=values.nsh -DKV_FILES=files.nsh ld6193.nsi"
!endif
!include "${KV_VALUES}"  ; KV_PRODUCT, KV_VERSION, KV_VERSION_QUAD, KV_MAKER, KV_NOTICE, KV_ICON, KV_LICENSE, KV_OUTPUT
!include "${KV_FILES}"   ; the macros KvInstallFiles, KvRemoveFiles and KvRemoveFolders

; 64-bit Windows only: the programs are 64-bit, and so the installer sees the 64-bit registry and folders.
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true
RequestExecutionLevel highest  ; an administrator is asked to elevate; any other user installs per user

Name "${KV_PRODUCT}"
OutFile "${KV_OUTPUT}"
BrandingText "${KV_PRODUCT} ${KV_VERSION}"

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include StrFunc.nsh
!include WinMessages.nsh
${Using:StrFunc} StrStr
${Using:StrFunc} UnStrRep

!define KV_PROGRAM "ld6193.exe"
!define KV_SHORTCUT "$SMPROGRAMS\${KV_PRODUCT}.lnk"
; The production station: the same program, started with --station.
!define KV_STATION "KV6193 Production Station"
!define KV_STATION_SHORTCUT "$SMPROGRAMS\${KV_STATION}.lnk"
; Not expanded here: Windows expands it when the shortcut starts, for the user who starts it.
!define KV_WORK_FOLDER "%LOCALAPPDATA%\ld6193"
!define KV_UNINSTALLER "uninstall.exe"
!define KV_UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ld6193"
!define KV_PROGID "ld6193.HexFile"
!define KV_PROGID_KEY "Software\Classes\${KV_PROGID}"
!define KV_OPEN_WITH_KEY "Software\Classes\.hex\OpenWithProgids"
!define KV_ACTIVE_SETUP_KEY "Software\Microsoft\Active Setup\Installed Components\ld6193"
!define KV_MACHINE_ENVIRONMENT "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
!define KV_USER_ENVIRONMENT "Environment"
; Marks, in the uninstall entry, that the installer put the folder on PATH.
!define KV_PATH_MARK "ld6193AddedToPath"
!define SHCNE_ASSOCCHANGED 0x08000000

Var Environment  ; the registry key under SHCTX that holds PATH for this install's scope

!define MUI_ICON "${KV_ICON}"
!define MUI_UNICON "${KV_ICON}"
!define MUI_COMPONENTSPAGE_SMALLDESC
!insertmacro MUI_PAGE_LICENSE "${KV_LICENSE}"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

VIProductVersion "${KV_VERSION_QUAD}"
VIFileVersion "${KV_VERSION_QUAD}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${KV_PRODUCT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${KV_MAKER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "${KV_NOTICE}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${KV_PRODUCT} Setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${KV_VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${KV_VERSION}"

Section "${KV_PRODUCT}" SectionProgram
  SectionIn RO
  SetOutPath "$INSTDIR"
  !insertmacro KvInstallFiles
  WriteUninstaller "$INSTDIR\${KV_UNINSTALLER}"

  ; The window's working folder, for the user who installs; the shortcut names it unexpanded.
  ReadEnvStr $0 LOCALAPPDATA
  CreateDirectory "$0\ld6193"
  ${If} $Environment == "${KV_MACHINE_ENVIRONMENT}"
    ; Every other user gets theirs at the next sign-in. cmd expands the variable for that user.
    WriteRegStr HKLM "${KV_ACTIVE_SETUP_KEY}" "" "${KV_PRODUCT}"
    WriteRegStr HKLM "${KV_ACTIVE_SETUP_KEY}" "Version" "${KV_VERSION_QUAD}"
    WriteRegStr HKLM "${KV_ACTIVE_SETUP_KEY}" "StubPath" \
      '"$SYSDIR\cmd.exe" /d /c if not exist "${KV_WORK_FOLDER}" mkdir "${KV_WORK_FOLDER}"'
    WriteRegDWORD HKLM "${KV_ACTIVE_SETUP_KEY}" "IsInstalled" 1
  ${EndIf}
  ; CreateShortCut takes the working folder from $OUTDIR.
  StrCpy $OUTDIR "${KV_WORK_FOLDER}"
  CreateShortCut "${KV_SHORTCUT}" "$INSTDIR\${KV_PROGRAM}" "" "$INSTDIR\${KV_PROGRAM}" 0 SW_SHOWNORMAL "" \
    "Download Intel HEX firmware to KV6193 devices"
  CreateShortCut "${KV_STATION_SHORTCUT}" "$INSTDIR\${KV_PROGRAM}" "--station" "$INSTDIR\${KV_PROGRAM}" 0 \
    SW_SHOWNORMAL "" "Flash one firmware file to every KV6193 board plugged in, one tile per slot"
  SetOutPath "$INSTDIR"

  ; "Open with" for .hex files, without taking over their default program.
  WriteRegStr SHCTX "${KV_PROGID_KEY}" "" "Intel HEX firmware file"
  WriteRegStr SHCTX "${KV_PROGID_KEY}\DefaultIcon" "" '"$INSTDIR\${KV_PROGRAM}",0'
  WriteRegStr SHCTX "${KV_PROGID_KEY}\shell\open\command" "" '"$INSTDIR\${KV_PROGRAM}" "%1"'
  WriteRegStr SHCTX "${KV_OPEN_WITH_KEY}" "${KV_PROGID}" ""
  System::Call 'shell32::SHChangeNotify(i ${SHCNE_ASSOCCHANGED}, i 0, p 0, p 0)'

  WriteRegStr SHCTX "${KV_UNINSTALL_KEY}" "DisplayName" "${KV_PRODUCT}"
  WriteRegStr SHCTX "${KV_UNINSTALL_KEY}" "DisplayVersion" "${KV_VERSION}"
  WriteRegStr SHCTX "${KV_UNINSTALL_KEY}" "Publisher" "${KV_MAKER}"
  WriteRegStr SHCTX "${KV_UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\${KV_PROGRAM}",0'
  WriteRegStr SHCTX "${KV_UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${KV_UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${KV_UNINSTALLER}"'
  WriteRegStr SHCTX "${KV_UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${KV_UNINSTALLER}" /S'
  WriteRegDWORD SHCTX "${KV_UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${KV_UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD SHCTX "${KV_UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section /o "ld6193-flash on PATH" SectionPath
  Call AddToPath
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SectionProgram} \
    "The window and the production station (ld6193.exe), the command-line flasher (ld6193-flash.exe), the read-me and the examples."
  !insertmacro MUI_DESCRIPTION_TEXT ${SectionPath} \
    "Add the install folder to PATH, so that ld6193-flash runs from any command prompt."
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function .onInit
  StrCpy $R0 "$INSTDIR"  ; set by /D=, else empty
  ${GetParameters} $R1
  UserInfo::GetAccountType
  Pop $R2
  ClearErrors
  ${GetOptions} $R1 "/CurrentUser" $R3
  ${If} $R2 == "Admin"
  ${AndIf} ${Errors}
    SetShellVarContext all
    StrCpy $Environment "${KV_MACHINE_ENVIRONMENT}"
    StrCpy $INSTDIR "$PROGRAMFILES64\ld6193"
  ${Else}
    SetShellVarContext current
    StrCpy $Environment "${KV_USER_ENVIRONMENT}"
    GetKnownFolderPath $INSTDIR {5CD7AEE2-2219-4A67-B85D-6C9CE15660CB}  ; the user's programs folder
    ${If} $INSTDIR == ""
      StrCpy $INSTDIR "$LOCALAPPDATA\Programs"
    ${EndIf}
    StrCpy $INSTDIR "$INSTDIR\ld6193"
  ${EndIf}
  ${If} $R0 != ""
    StrCpy $INSTDIR "$R0"
  ${EndIf}
  ClearErrors
  ${GetOptions} $R1 "/PATH=" $R3
  ${IfNot} ${Errors}
  ${AndIf} $R3 == "1"
    SectionSetFlags ${SectionPath} ${SF_SELECTED}
  ${EndIf}
FunctionEnd

; Pushes 1 when the value named on the stack exists under SHCTX\$Environment, else 0: tells a PATH
; that is missing from one that ReadRegStr cannot read (longer than its strings, or not a string).
!macro KvPathValueExists UN
Function ${UN}PathValueExists
  Push $0
  Push $1
  StrCpy $0 0
  ${Do}
    EnumRegValue $1 SHCTX "$Environment" $0
    ${If} $1 == ""
      StrCpy $1 0
      ${Break}
    ${ElseIf} $1 == "Path"  ; compared without regard to case, as Windows names values
      StrCpy $1 1
      ${Break}
    ${EndIf}
    IntOp $0 $0 + 1
  ${Loop}
  Exch $1
  Exch
  Pop $0
FunctionEnd
!macroend
!insertmacro KvPathValueExists ""
!insertmacro KvPathValueExists "un."

; Puts the install folder at the end of PATH, unless it is there already. A PATH that this installer
; cannot read or write whole (NSIS strings hold ${NSIS_MAX_STRLEN} characters) is left untouched and
; the user is told: writing back a cut-off PATH would lose the rest of it.
Function AddToPath
  ClearErrors
  ReadRegStr $0 SHCTX "$Environment" "Path"
  ${If} ${Errors}
    Call PathValueExists
    Pop $1
    ${If} $1 == 1
      Goto too_long
    ${EndIf}
    StrCpy $0 ""
  ${EndIf}
  StrLen $1 "$0"
  StrLen $2 "$INSTDIR"
  IntOp $1 $1 + $2
  IntOp $1 $1 + 2  ; the separator and the string's end
  ${If} $1 > ${NSIS_MAX_STRLEN}
    Goto too_long
  ${EndIf}
  ${StrStr} $1 ";$0;" ";$INSTDIR;"
  ${If} $1 != ""
    DetailPrint "PATH already holds $INSTDIR"
    Return
  ${EndIf}
  ${If} $0 == ""
    StrCpy $0 "$INSTDIR"
  ${Else}
    StrCpy $1 "$0" "" -1
    ${If} $1 == ";"
      StrCpy $0 "$0$INSTDIR"
    ${Else}
      StrCpy $0 "$0;$INSTDIR"
    ${EndIf}
  ${EndIf}
  WriteRegExpandStr SHCTX "$Environment" "Path" "$0"
  WriteRegDWORD SHCTX "${KV_UNINSTALL_KEY}" "${KV_PATH_MARK}" 1
  SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
  DetailPrint "Added $INSTDIR to PATH"
  Return
too_long:
  DetailPrint "PATH is too long for this installer to change safely: $INSTDIR was not added"
  MessageBox MB_OK|MB_ICONEXCLAMATION "PATH is too long for this installer to change safely, so it was left as it is.$\r$\nTo run ld6193-flash from any command prompt, add $INSTDIR to PATH yourself." /SD IDOK
FunctionEnd

; Takes the install folder out of PATH again, where the installer put it; everything else in PATH
; stays as it is.
Function un.RemoveFromPath
  ReadRegDWORD $0 SHCTX "${KV_UNINSTALL_KEY}" "${KV_PATH_MARK}"
  ${If} $0 != 1
    Return
  ${EndIf}
  ClearErrors
  ReadRegStr $0 SHCTX "$Environment" "Path"
  ${If} ${Errors}
    Call un.PathValueExists
    Pop $1
    ${If} $1 == 1
      DetailPrint "PATH is too long for this uninstaller to change safely: $INSTDIR stays in it"
      MessageBox MB_OK|MB_ICONEXCLAMATION "PATH is too long for this uninstaller to change safely, so it was left as it is.$\r$\nRemove $INSTDIR from PATH yourself." /SD IDOK
    ${EndIf}
    Return
  ${EndIf}
  StrLen $2 "$INSTDIR"
  IntOp $3 $2 + 1
  StrCpy $1 "$0" $3  ; the first entry and its separator
  StrCpy $4 "$0" "" -$3  ; the separator and the last entry
  ${If} $0 == "$INSTDIR"
    DeleteRegValue SHCTX "$Environment" "Path"
    Goto changed
  ${ElseIf} $1 == "$INSTDIR;"
    StrCpy $0 "$0" "" $3
  ${ElseIf} $4 == ";$INSTDIR"
    StrCpy $0 "$0" -$3
  ${Else}
    ${UnStrRep} $1 "$0" ";$INSTDIR;" ";"
    ${If} $1 == "$0"
      Return  ; no longer there
    ${EndIf}
    StrCpy $0 "$1"
  ${EndIf}
  WriteRegExpandStr SHCTX "$Environment" "Path" "$0"
changed:
  SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
  DetailPrint "Removed $INSTDIR from PATH"
FunctionEnd

Function un.onInit
  ; Per machine when the machine's uninstall entry names this folder, else per user.
  ReadRegStr $0 HKLM "${KV_UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 == "$INSTDIR"
    UserInfo::GetAccountType
    Pop $1
    ${If} $1 != "Admin"
      MessageBox MB_OK|MB_ICONSTOP "${KV_PRODUCT} is installed for all users of this computer: removing it needs an administrator." /SD IDOK
      SetErrorLevel 2
      Quit
    ${EndIf}
    SetShellVarContext all
    StrCpy $Environment "${KV_MACHINE_ENVIRONMENT}"
  ${Else}
    SetShellVarContext current
    StrCpy $Environment "${KV_USER_ENVIRONMENT}"
  ${EndIf}
FunctionEnd

Section "Uninstall"
  Call un.RemoveFromPath
  Delete "${KV_SHORTCUT}"
  Delete "${KV_STATION_SHORTCUT}"
  DeleteRegKey SHCTX "${KV_PROGID_KEY}"
  DeleteRegValue SHCTX "${KV_OPEN_WITH_KEY}" "${KV_PROGID}"
  ; The keys for .hex go only when nothing else is in them.
  DeleteRegKey /ifempty SHCTX "${KV_OPEN_WITH_KEY}"
  DeleteRegKey /ifempty SHCTX "Software\Classes\.hex"
  System::Call 'shell32::SHChangeNotify(i ${SHCNE_ASSOCCHANGED}, i 0, p 0, p 0)'
  ${If} $Environment == "${KV_MACHINE_ENVIRONMENT}"
    DeleteRegKey HKLM "${KV_ACTIVE_SETUP_KEY}"
  ${EndIf}
  DeleteRegKey SHCTX "${KV_UNINSTALL_KEY}"

  ClearErrors
  !insertmacro KvRemoveFiles
  Delete "$INSTDIR\${KV_UNINSTALLER}"
  ${If} ${Errors}
    DetailPrint "Some files in $INSTDIR could not be removed"
    MessageBox MB_OK|MB_ICONEXCLAMATION "Some files in $INSTDIR could not be removed: close ${KV_PROGRAM} and ld6193-flash.exe, then delete the folder." /SD IDOK
    SetErrorLevel 1
  ${EndIf}
  !insertmacro KvRemoveFolders  ; each only when empty
  RMDir "$INSTDIR"
  ; The installing user's working folder goes too, unless it holds a setting file (which stays).
  ReadEnvStr $0 LOCALAPPDATA
  RMDir "$0\ld6193"
SectionEnd
