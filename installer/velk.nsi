; Velk-Setup.exe: puts gen_Velk.dll into the Plugins folder of a Winamp installation, and takes it away again.
;
; makensis -DVERSION=1.3.0 -DFILE_VERSION=1.3.0.0 -DSERVICE_HOST=host -DPLUGIN_DLL=gen_Velk.dll
;          -DOUTFILE=Velk-Setup.exe velk.nsi
;
; $INSTDIR is the player's folder (the one holding winamp.exe): /D= names it for a silent install.
; The plug-in and Uninstall-Velk.exe go to its Plugins subfolder. The uninstall entry goes under
; HKLM when the player is registered there for all users, else under HKCU.
; The uninstaller takes /D= (or _?=) as the player's folder or its Plugins folder.
; Exit codes: 0 done; 1 cancelled, the player was not closed, or the plug-in could not be removed;
; 2 the folder holds no winamp.exe (silent install) or a file could not be written.

Unicode true
ManifestDPIAware true
SetCompressor /SOLID lzma
RequestExecutionLevel highest

!ifndef VERSION | FILE_VERSION | SERVICE_HOST | PLUGIN_DLL | OUTFILE
  !error "define VERSION, FILE_VERSION, SERVICE_HOST, PLUGIN_DLL and OUTFILE on the makensis command line"
!endif

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WinMessages.nsh

!define PLAYER_CLASS "Winamp v1.x"
!define PLAYER_KEY "Software\Winamp"
!define SETTINGS_KEY "Software\Winamp\Velk"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Velk"
!define PLAYER_UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Winamp"
!define UNINSTALLER "Uninstall-Velk.exe"

Name "Velk ${VERSION}"
Caption "Velk ${VERSION} Setup"
UninstallCaption "Velk ${VERSION} Uninstall"
OutFile "${OUTFILE}"
BrandingText "Velk ${VERSION} - reports to ${SERVICE_HOST}"
AllowSkipFiles off
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${FILE_VERSION}"
VIAddVersionKey "ProductName" "Velk"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "Velk ${VERSION} Setup (Winamp plug-in)"
VIAddVersionKey "LegalCopyright" "Velk"

Var FoundText ; what .onInit found, shown on the folder page
Var PlayerDir ; the uninstaller's player folder

!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TITLE "Velk ${VERSION}"
!define MUI_WELCOMEPAGE_TEXT "Velk is a Winamp plug-in that reports the track you play to the \
  signature service at ${SERVICE_HOST}, which draws it into your forum signature.$\r$\n$\r$\n\
  Setup copies gen_Velk.dll into Winamp's Plugins folder. If Winamp is running, Setup asks to \
  close it first.$\r$\n$\r$\n$_CLICK"
!insertmacro MUI_PAGE_WELCOME

!define MUI_DIRECTORYPAGE_TEXT_TOP "$FoundText$\r$\n$\r$\nVelk ${VERSION} will be copied into the \
  Plugins subfolder and will report to ${SERVICE_HOST}."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "Winamp folder (the one holding winamp.exe)"
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE CheckPlayerFolder
!insertmacro MUI_PAGE_DIRECTORY

!insertmacro MUI_PAGE_INSTFILES

!define MUI_FINISHPAGE_TITLE "Velk ${VERSION} is installed"
!define MUI_FINISHPAGE_TEXT "To switch it on, start Winamp, open Options > Preferences > \
  Plug-ins > General Purpose, select $\"Velk - Winamp Moxel$\" and click Configure: enter your \
  account name and key (from http://${SERVICE_HOST}/user/register) and tick $\"Enable Velk$\"."
!define MUI_FINISHPAGE_RUN "$INSTDIR\winamp.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start Winamp now"
!define MUI_PAGE_CUSTOMFUNCTION_SHOW OfferStartIfPlayerThere
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!define MUI_COMPONENTSPAGE_TEXT_TOP "Your Velk settings (account name, key, on or off) stay \
  in the registry for a later install unless you tick $\"My Velk settings$\"."
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

; Closes the running player, if any, and waits until its process has ended: the plug-in's DLL cannot
; be replaced or removed while the player has it loaded. Aborts the section when the user declines
; or the player does not go.
!macro DEFINE_CLOSE_PLAYER UN
Function ${UN}ClosePlayer
  FindWindow $0 "${PLAYER_CLASS}"
  ${If} $0 == 0
    Return
  ${EndIf}
  MessageBox MB_OKCANCEL|MB_ICONINFORMATION "Winamp is running. It must be closed so that the \
    plug-in can be changed.$\r$\n$\r$\nClose Winamp now?" /SD IDOK IDOK close
  SetErrorLevel 1
  Abort "Winamp is still running; nothing was changed."
close:
  DetailPrint "Closing Winamp"
  ${Do}
    System::Call "user32::GetWindowThreadProcessId(p r0, *i .r1)"
    ; SYNCHRONIZE: enough to wait on the process.
    System::Call "kernel32::OpenProcess(i 0x00100000, i 0, i r1) p .r2"
    SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=5000
    ${If} $2 P<> 0
      System::Call "kernel32::WaitForSingleObject(p r2, i 15000) i .r3"
      System::Call "kernel32::CloseHandle(p r2)"
    ${Else}
      Sleep 2000
    ${EndIf}
    FindWindow $0 "${PLAYER_CLASS}"
    ${If} $0 == 0
      Return
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "Winamp has not closed. Close it yourself, then \
      click Retry." /SD IDCANCEL IDRETRY retry
    SetErrorLevel 1
    Abort "Winamp is still running; nothing was changed."
  retry:
  ${Loop}
FunctionEnd
!macroend
!insertmacro DEFINE_CLOSE_PLAYER ""
!insertmacro DEFINE_CLOSE_PLAYER "un."

; The folder of the command on the stack, such as "C:\Winamp\UninstWA.exe" /x (quoted or not).
Function FolderOfCommand
  Exch $0
  Push $1
  Push $2
  StrCpy $1 $0 1
  ${If} $1 == '"'
    StrCpy $0 $0 "" 1
    StrCpy $2 0
    ${Do}
      StrCpy $1 $0 1 $2
      ${IfThen} $1 == "" ${|} ${ExitDo} ${|}
      ${IfThen} $1 == '"' ${|} ${ExitDo} ${|}
      IntOp $2 $2 + 1
    ${Loop}
    StrCpy $0 $0 $2
  ${EndIf}
  ${GetParent} $0 $0
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

; The player's folder: HKCU\Software\Winamp's default value, else the folder of the player's
; uninstaller registered for all users, else Program Files (x86)\Winamp or Program Files\Winamp.
; A folder given with /D= wins.
Function .onInit
  ${If} $INSTDIR != ""
    StrCpy $FoundText "Velk will be installed into the Winamp folder below."
    Return
  ${EndIf}
  ReadRegStr $0 HKCU "${PLAYER_KEY}" ""
  ${If} $0 != ""
    StrCpy $INSTDIR $0
    StrCpy $FoundText "Setup found Winamp in the folder below (from your Winamp settings)."
    Return
  ${EndIf}
  ReadRegStr $0 HKLM "${PLAYER_UNINSTALL_KEY}" "UninstallString"
  ${If} $0 != ""
    Push $0
    Call FolderOfCommand
    Pop $INSTDIR
    StrCpy $FoundText "Setup found Winamp in the folder below (from its uninstall entry)."
    Return
  ${EndIf}
  ${If} ${FileExists} "$PROGRAMFILES32\Winamp\winamp.exe"
    StrCpy $INSTDIR "$PROGRAMFILES32\Winamp"
  ${ElseIf} ${FileExists} "$PROGRAMFILES64\Winamp\winamp.exe"
    StrCpy $INSTDIR "$PROGRAMFILES64\Winamp"
  ${Else}
    StrCpy $INSTDIR "$PROGRAMFILES32\Winamp"
    StrCpy $FoundText "Setup did not find Winamp. Choose the folder that holds winamp.exe."
    Return
  ${EndIf}
  StrCpy $FoundText "Setup found Winamp in the folder below."
FunctionEnd

Function CheckPlayerFolder
  ${IfNot} ${FileExists} "$INSTDIR\winamp.exe"
    MessageBox MB_YESNO|MB_ICONEXCLAMATION|MB_DEFBUTTON2 "There is no winamp.exe in$\r$\n$INSTDIR$\r$\n\
      $\r$\nWinamp only loads plug-ins from the Plugins folder beside winamp.exe. Install here \
      anyway?" IDYES +2
    Abort
  ${EndIf}
FunctionEnd

Function OfferStartIfPlayerThere
  ${IfNot} ${FileExists} "$INSTDIR\winamp.exe"
    SendMessage $mui.FinishPage.Run ${BM_SETCHECK} 0 0
    ShowWindow $mui.FinishPage.Run ${SW_HIDE}
  ${EndIf}
FunctionEnd

; HKLM when the player's all-users uninstall entry points at $INSTDIR, else HKCU.
Function ForAllUsers
  Push $0
  ReadRegStr $0 HKLM "${PLAYER_UNINSTALL_KEY}" "UninstallString"
  ${If} $0 != ""
    Push $0
    Call FolderOfCommand
    Pop $0
  ${EndIf}
  ${If} $0 == $INSTDIR
    StrCpy $0 1
  ${Else}
    StrCpy $0 0
  ${EndIf}
  Exch $0
FunctionEnd

!macro WRITE_UNINSTALL_ENTRY ROOT
  WriteRegStr ${ROOT} "${UNINSTALL_KEY}" "DisplayName" "Velk ${VERSION} (Winamp plug-in)"
  WriteRegStr ${ROOT} "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr ${ROOT} "${UNINSTALL_KEY}" "Publisher" "Velk"
  WriteRegStr ${ROOT} "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR\Plugins"
  WriteRegStr ${ROOT} "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Plugins\${UNINSTALLER}"'
  WriteRegStr ${ROOT} "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Plugins\${UNINSTALLER}" /S'
  WriteRegDWORD ${ROOT} "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD ${ROOT} "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD ${ROOT} "${UNINSTALL_KEY}" "EstimatedSize" $0
!macroend

Section "Velk"
  ${IfNot} ${FileExists} "$INSTDIR\winamp.exe"
  ${AndIf} ${Silent}
    SetErrorLevel 2
    Abort "There is no winamp.exe in $INSTDIR."
  ${EndIf}
  Call ClosePlayer
  SetOutPath "$INSTDIR\Plugins"
  SetOverwrite on
  File "/oname=gen_Velk.dll" "${PLUGIN_DLL}"
  WriteUninstaller "$INSTDIR\Plugins\${UNINSTALLER}"
  ${GetSize} "$INSTDIR\Plugins" "/M=gen_Velk.dll /S=0K /G=0" $0 $1 $2
  Call ForAllUsers
  Pop $1
  ${If} $1 == 1
    !insertmacro WRITE_UNINSTALL_ENTRY HKLM
  ${Else}
    !insertmacro WRITE_UNINSTALL_ENTRY HKCU
  ${EndIf}
SectionEnd

; The uninstaller runs from a copy in the temporary folder with $INSTDIR = the Plugins folder it
; was written to; given /D= or _?= with the player's folder instead, it uses that.
Function un.onInit
  ${If} ${FileExists} "$INSTDIR\winamp.exe"
  ${OrIf} ${FileExists} "$INSTDIR\Plugins\${UNINSTALLER}"
    StrCpy $PlayerDir $INSTDIR
  ${Else}
    ${GetParent} $INSTDIR $PlayerDir
  ${EndIf}
FunctionEnd

; Removes the uninstall entry of `ROOT` when it belongs to this copy of the plug-in.
!macro REMOVE_UNINSTALL_ENTRY ROOT
  ReadRegStr $0 ${ROOT} "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 == "$PlayerDir\Plugins"
    DeleteRegKey ${ROOT} "${UNINSTALL_KEY}"
  ${EndIf}
!macroend

Section "un.Velk plug-in" UnPlugin
  SectionIn RO
  Call un.ClosePlayer
  ClearErrors
  Delete "$PlayerDir\Plugins\gen_Velk.dll"
  ${If} ${Errors}
    SetErrorLevel 1
    Abort "Could not remove $PlayerDir\Plugins\gen_Velk.dll."
  ${EndIf}
  Delete "$PlayerDir\Plugins\${UNINSTALLER}"
  !insertmacro REMOVE_UNINSTALL_ENTRY HKLM
  !insertmacro REMOVE_UNINSTALL_ENTRY HKCU
SectionEnd

Section /o "un.My Velk settings" UnSettings
  DeleteRegKey HKCU "${SETTINGS_KEY}"
SectionEnd

!insertmacro MUI_UNFUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${UnPlugin} "gen_Velk.dll and this uninstaller, from Winamp's \
    Plugins folder."
  !insertmacro MUI_DESCRIPTION_TEXT ${UnSettings} "Also removes your account name, key and \
    on or off switch."
!insertmacro MUI_UNFUNCTION_DESCRIPTION_END
