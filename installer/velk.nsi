; Velk-Setup.exe: puts gen_Velk.dll into the Plugins folder of a Winamp installation, and takes it away again.
;
; makensis -DVERSION=1.3.0 -DFILE_VERSION=1.3.0.0 -DSERVICE_HOST=host -DPLUGIN_DLL=gen_Velk.dll
;          -DOUTFILE=Velk-Setup.exe [-DSERVICE_SCHEME=https] velk.nsi
;
; SERVICE_SCHEME is the plug-in's: http (the default) or https. An https installer names the
; service by its https:// address wherever it names it.
;
; $INSTDIR is the player's folder (the one holding winamp.exe): /D= names it for a silent install.
; The plug-in and Uninstall-Velk.exe go to its Plugins subfolder. The uninstall entry goes under
; HKLM when the player is registered there for all users, else under HKCU.
; The uninstaller takes /D= (or _?=) as the player's folder or its Plugins folder.
; The account page (or, silently, /USER=NAME /KEY=KEY, which also switch reporting on) sets the
; plug-in's settings in the registry of the user logged on to the session, the one who runs the
; player; a silent install without them leaves the settings as they are.
; Exit codes: 0 done; 1 cancelled, the player was not closed, or the plug-in could not be removed;
; 2 the folder holds no winamp.exe (silent install), a file or the settings could not be written;
; 3 a silent install given only one of /USER= and /KEY=, or one the service would refuse: nothing
; was changed.

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
!include nsDialogs.nsh

!define PLAYER_CLASS "Winamp v1.x"
!define PLAYER_KEY "Software\Winamp"
!define SETTINGS_KEY "Software\Winamp\Velk"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Velk"
!define PLAYER_UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Winamp"
!define UNINSTALLER "Uninstall-Velk.exe"
!ifndef SERVICE_SCHEME
  !define SERVICE_SCHEME "http"
!endif
!if "${SERVICE_SCHEME}" == "https"
  !define SERVICE_NAME "https://${SERVICE_HOST}"
!else
  !define SERVICE_NAME "${SERVICE_HOST}"
!endif
!define REGISTER_URL "${SERVICE_SCHEME}://${SERVICE_HOST}/user/register"

Name "Velk ${VERSION}"
Caption "Velk ${VERSION} Setup"
UninstallCaption "Velk ${VERSION} Uninstall"
OutFile "${OUTFILE}"
BrandingText "Velk ${VERSION} - reports to ${SERVICE_NAME}"
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

; The plug-in's settings as they will be written, in the form the plug-in's own Apply writes them.
Var SettingsSid    ; the string SID whose HKEY_USERS hive holds them; empty: HKEY_CURRENT_USER
Var SettingsOwner  ; the account that hive belongs to, as DOMAIN\name, for the page
Var SettingsFound  ; 1 when the settings key already held one of the four values
Var User
Var Key
Var Enabled        ; "1" or "0"
Var Method         ; "GET" or "POST"
Var WriteSettings  ; 1 when the section writes the four values
Var FinishText

Var AccountUser    ; the account page's controls
Var AccountKey
Var AccountEnable
Var AccountWarning
Var AccountWarningText
Var AccountBothFilled

!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TITLE "Velk ${VERSION}"
!define MUI_WELCOMEPAGE_TEXT "Velk is a Winamp plug-in that reports the track you play to the \
  signature service at ${SERVICE_NAME}, which draws it into your forum signature.$\r$\n$\r$\n\
  Setup copies gen_Velk.dll into Winamp's Plugins folder and asks for your account there. If \
  Winamp is running, Setup asks to close it first.$\r$\n$\r$\n$_CLICK"
!insertmacro MUI_PAGE_WELCOME

!define MUI_DIRECTORYPAGE_TEXT_TOP "$FoundText$\r$\n$\r$\nVelk ${VERSION} will be copied into the \
  Plugins subfolder and will report to ${SERVICE_NAME}."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "Winamp folder (the one holding winamp.exe)"
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE CheckPlayerFolder
!insertmacro MUI_PAGE_DIRECTORY

Page custom AccountPage AccountPageLeave

!insertmacro MUI_PAGE_INSTFILES

!define MUI_FINISHPAGE_TITLE "Velk ${VERSION} is installed"
!define MUI_FINISHPAGE_TEXT "$FinishText"
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

; Reads or writes a value under `SUBKEY` in the hive of the player's user (FindSettingsHive); the
; error flag tells a failure (for a read: no such value, or one that is not text).
!macro READ_USER_REG OUT SUBKEY NAME
  ClearErrors
  ${If} $SettingsSid == ""
    ReadRegStr ${OUT} HKCU "${SUBKEY}" "${NAME}"
  ${Else}
    ReadRegStr ${OUT} HKU "$SettingsSid\${SUBKEY}" "${NAME}"
  ${EndIf}
!macroend

!macro WRITE_USER_REG SUBKEY NAME VALUE
  ClearErrors
  ${If} $SettingsSid == ""
    WriteRegStr HKCU "${SUBKEY}" "${NAME}" "${VALUE}"
  ${Else}
    WriteRegStr HKU "$SettingsSid\${SUBKEY}" "${NAME}" "${VALUE}"
  ${EndIf}
!macroend

; Finds the hive of the user who runs the player: the user logged on to this session. Setup's own
; HKEY_CURRENT_USER is another account's when Setup was elevated with an administrator's name and
; password; the session user's hive is HKEY_USERS\<their SID> while they are logged on, the very
; key their own HKEY_CURRENT_USER names. Sets $SettingsSid to that SID, and $SettingsOwner to
; DOMAIN\name. Without a session user (no session service), or when no hive is loaded under that
; SID, $SettingsSid stays empty and Setup's own HKEY_CURRENT_USER is used, $SettingsOwner naming
; Setup's own account.
!macro DEFINE_FIND_SETTINGS_HIVE UN
Function ${UN}FindSettingsHive
  Push $0
  Push $1
  Push $2
  Push $3
  StrCpy $SettingsSid ""
  StrCpy $SettingsOwner ""
  ; WTS_CURRENT_SERVER_HANDLE (0), WTS_CURRENT_SESSION (-1), WTSUserName (5), WTSDomainName (7).
  ; Results are compared as numbers: a call the System plug-in cannot make answers "error", 0.
  System::Call 'wtsapi32::WTSQuerySessionInformationW(p 0, i -1, i 5, *p .r0, *i .r1) i .r2'
  ${If} $2 <> 0
    System::Call 'kernel32::lstrcpynW(w .r3, p r0, i ${NSIS_MAX_STRLEN})'
    System::Call 'wtsapi32::WTSFreeMemory(p r0)'
    StrCpy $SettingsOwner $3
    System::Call 'wtsapi32::WTSQuerySessionInformationW(p 0, i -1, i 7, *p .r0, *i .r1) i .r2'
    ${If} $2 <> 0
      System::Call 'kernel32::lstrcpynW(w .r3, p r0, i ${NSIS_MAX_STRLEN})'
      System::Call 'wtsapi32::WTSFreeMemory(p r0)'
      ${If} $3 != ""
      ${AndIf} $SettingsOwner != ""
        StrCpy $SettingsOwner "$3\$SettingsOwner"
      ${EndIf}
    ${EndIf}
  ${EndIf}
  ${If} $SettingsOwner != ""
    ; SECURITY_MAX_SID_SIZE: 68 bytes.
    System::Alloc 68
    Pop $0
    System::Call 'advapi32::LookupAccountNameW(p 0, w "$SettingsOwner", p r0, *i 68, w .r1, \
      *i ${NSIS_MAX_STRLEN}, *i .r2) i .r3'
    ${If} $3 <> 0
      System::Call 'advapi32::ConvertSidToStringSidW(p r0, *p .r1) i .r3'
      ${If} $3 <> 0
        System::Call 'kernel32::lstrcpynW(w .r2, p r1, i ${NSIS_MAX_STRLEN})'
        System::Call 'kernel32::LocalFree(p r1)'
        ; A logged-on user's hive always holds subkeys; none means it is not loaded.
        ClearErrors
        EnumRegKey $3 HKU "$2" 0
        ${IfNot} ${Errors}
        ${AndIf} $3 != ""
          StrCpy $SettingsSid $2
        ${EndIf}
      ${EndIf}
    ${EndIf}
    System::Free $0
  ${EndIf}
  ${If} $SettingsSid == ""
    StrCpy $SettingsOwner ""
    System::Call 'advapi32::GetUserNameW(w .r0, *i ${NSIS_MAX_STRLEN}) i .r3'
    ${IfThen} $3 <> 0 ${|} StrCpy $SettingsOwner $0 ${|}
  ${EndIf}
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro DEFINE_FIND_SETTINGS_HIVE ""
!insertmacro DEFINE_FIND_SETTINGS_HIVE "un."

; The settings as the plug-in loads them: "Enabled" is on only for the exact text "1", "Method" is
; GET when missing or exactly "GET" and POST otherwise, "User" and "Key" are taken as they are.
; $Enabled stays empty when no "Enabled" is stored.
Function ReadSettings
  StrCpy $SettingsFound 0
  StrCpy $User ""
  StrCpy $Key ""
  StrCpy $Enabled ""
  StrCpy $Method "GET"
  !insertmacro READ_USER_REG $0 "${SETTINGS_KEY}" "User"
  ${IfNot} ${Errors}
    StrCpy $User $0
    StrCpy $SettingsFound 1
  ${EndIf}
  !insertmacro READ_USER_REG $0 "${SETTINGS_KEY}" "Key"
  ${IfNot} ${Errors}
    StrCpy $Key $0
    StrCpy $SettingsFound 1
  ${EndIf}
  !insertmacro READ_USER_REG $0 "${SETTINGS_KEY}" "Enabled"
  ${IfNot} ${Errors}
    StrCpy $SettingsFound 1
    StrCpy $Enabled 0
    ${IfThen} $0 S== "1" ${|} StrCpy $Enabled 1 ${|}
  ${EndIf}
  !insertmacro READ_USER_REG $0 "${SETTINGS_KEY}" "Method"
  ${IfNot} ${Errors}
    StrCpy $SettingsFound 1
    ${IfThen} $0 S!= "GET" ${|} StrCpy $Method "POST" ${|}
  ${EndIf}
FunctionEnd

; The first character of a text (second on the stack) that is not in a set (top of the stack), or
; "" when there is none. StrSpnW compares code units exactly, where the script's own comparisons
; would follow the locale's collation.
Function FirstCharNotIn
  Exch $1
  Exch
  Exch $0
  Push $2
  StrCpy $2 0
  System::Call 'shlwapi::StrSpnW(w r0, w r1) i .r2'
  StrCpy $0 $0 1 $2
  Pop $2
  Exch
  Pop $1
  Exch $0
FunctionEnd

!define NAME_CHARS "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-"
!define DIGITS "0123456789"

; How a refused character is named in a warning.
!macro DESCRIBE_CHAR OUT CHAR
  ${If} ${CHAR} == " "
    StrCpy ${OUT} "a blank"
  ${Else}
    StrCpy ${OUT} '"${CHAR}"'
  ${EndIf}
!macroend

; Sets $AccountWarningText to why the service would refuse $User or $Key, "" when it takes both.
; The service's account names are 2 to 32 ASCII letters, digits, ".", "_" and "-", starting with a
; letter or a digit, and never its reserved "Username"; its keys are 1 to 64 digits. The plug-in
; sends both unescaped, so anything else (a blank, "&", "?", "#", a letter outside A to Z) makes its
; reports refused. An empty name or key only matters when reporting is on.
Function CheckAccount
  Push $0
  Push $1
  StrCpy $AccountWarningText ""
  StrLen $0 $User
  ${If} $User == ""
    ${IfThen} $Enabled == 1 ${|} StrCpy $AccountWarningText "There is no user name." ${|}
  ${ElseIf} $0 > 32
    StrCpy $AccountWarningText "The user name is longer than 32 characters."
  ${ElseIf} $0 < 2
    StrCpy $AccountWarningText "The user name is shorter than 2 characters."
  ${ElseIf} $User == "Username"
    StrCpy $AccountWarningText "The user name $\"$User$\" is reserved."
  ${Else}
    Push $User
    Push "${NAME_CHARS}"
    Call FirstCharNotIn
    Pop $0
    ${If} $0 != ""
      !insertmacro DESCRIBE_CHAR $1 $0
      StrCpy $AccountWarningText "The user name holds $1."
    ${Else}
      StrCpy $0 $User 1
      ${If} $0 == "."
      ${OrIf} $0 == "_"
      ${OrIf} $0 == "-"
        StrCpy $AccountWarningText "The user name starts with $\"$0$\"."
      ${EndIf}
    ${EndIf}
  ${EndIf}
  ${If} $AccountWarningText != ""
    StrCpy $AccountWarningText "$AccountWarningText Names are 2 to 32 letters A to Z, digits, $\".$\", \
      $\"_$\" or $\"-$\", starting with a letter or digit."
  ${EndIf}
  StrLen $0 $Key
  StrCpy $1 ""
  ${If} $Key == ""
    ${IfThen} $Enabled == 1 ${|} StrCpy $1 "There is no key." ${|}
  ${ElseIf} $0 > 64
    StrCpy $1 "The key is longer than 64 digits."
  ${Else}
    Push $Key
    Push "${DIGITS}"
    Call FirstCharNotIn
    Pop $0
    ${If} $0 != ""
      !insertmacro DESCRIBE_CHAR $1 $0
      StrCpy $1 "The key holds $1."
    ${EndIf}
  ${EndIf}
  ${If} $1 != ""
    ${IfThen} $AccountWarningText != "" ${|} StrCpy $AccountWarningText "$AccountWarningText$\r$\n" ${|}
    StrCpy $AccountWarningText "$AccountWarningText$1 Keys are 1 to 64 digits."
  ${EndIf}
  ${If} $AccountWarningText != ""
    StrCpy $AccountWarningText "${SERVICE_NAME} would refuse Velk's reports:$\r$\n$AccountWarningText"
  ${EndIf}
  Pop $1
  Pop $0
FunctionEnd

; /USER=NAME and /KEY=KEY: with /S they set the account and switch reporting on, and both or
; neither must be given; without /S they fill the account page.
Function ReadAccountOptions
  Push $0
  Push $1
  Push $2
  Push $3
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/USER=" $1
  StrCpy $2 0
  ${IfNot} ${Errors}
    StrCpy $User $1
    IntOp $2 $2 + 1
  ${EndIf}
  ClearErrors
  ${GetOptions} $0 "/KEY=" $3
  ${IfNot} ${Errors}
    StrCpy $Key $3
    IntOp $2 $2 + 2
  ${EndIf}
  StrCpy $WriteSettings 0
  ${If} ${Silent}
    ${If} $2 == 1
    ${OrIf} $2 == 2
      SetErrorLevel 3
      Abort
    ${ElseIf} $2 == 3
      StrCpy $Enabled 1
      Call CheckAccount
      ${If} $AccountWarningText != ""
        SetErrorLevel 3
        Abort
      ${EndIf}
      StrCpy $WriteSettings 1
    ${EndIf}
  ${EndIf}
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

Function OpenRegistrationPage
  Pop $0
  ExecShell "open" "${REGISTER_URL}"
FunctionEnd

Function AccountPage
  !insertmacro MUI_HEADER_TEXT "Your account" "The account at ${SERVICE_NAME} that Velk reports \
    your tracks to."
  nsDialogs::Create 1018
  Pop $0
  ${If} $0 == error
    Abort
  ${EndIf}
  ${NSD_CreateLabel} 0 0 100% 20u "Velk sends each track you play to ${SERVICE_NAME} with your \
    account's user name and key. No account yet? Register one; its page shows your key once."
  ${NSD_CreateLink} 0 22u 100% 10u "Register an account at ${REGISTER_URL}"
  Pop $0
  SetCtlColors $0 0x000080 transparent
  ${NSD_OnClick} $0 OpenRegistrationPage
  ${NSD_CreateLabel} 0 42u 60u 10u "User name:"
  ${NSD_CreateText} 62u 40u 150u 12u $User
  Pop $AccountUser
  ${NSD_CreateLabel} 0 60u 60u 10u "Key:"
  ${NSD_CreateText} 62u 58u 150u 12u $Key
  Pop $AccountKey
  ${NSD_CreateCheckbox} 62u 75u 150u 10u "Enable Velk"
  Pop $AccountEnable
  StrCpy $AccountBothFilled 0
  ${If} $User != ""
  ${AndIf} $Key != ""
    StrCpy $AccountBothFilled 1
  ${EndIf}
  ; A stored switch is kept; without one, reporting starts as soon as there is an account.
  ${If} $Enabled == 1
    ${NSD_Check} $AccountEnable
  ${ElseIf} $Enabled == ""
  ${AndIf} $AccountBothFilled == 1
    ${NSD_Check} $AccountEnable
  ${EndIf}
  ${NSD_CreateLabel} 0 90u 100% 36u ""
  Pop $AccountWarning
  SetCtlColors $AccountWarning 0xB00000 transparent
  ${If} $SettingsOwner != ""
    ${NSD_CreateLabel} 0 128u 100% 10u "Saved in the Windows settings of $SettingsOwner, for Winamp's \
      next start."
  ${EndIf}
  ${NSD_OnChange} $AccountUser AccountChanged
  ${NSD_OnChange} $AccountKey AccountChanged
  ${NSD_OnClick} $AccountEnable AccountChanged
  Push $AccountUser
  Call AccountChanged
  nsDialogs::Show
FunctionEnd

; After every edit: ticks "Enable Velk" when both boxes become filled and clears it when one
; becomes empty, and shows what the service would refuse.
Function AccountChanged
  Exch $0
  Push $1
  ${NSD_GetText} $AccountUser $User
  ${NSD_GetText} $AccountKey $Key
  StrCpy $1 0
  ${If} $User != ""
  ${AndIf} $Key != ""
    StrCpy $1 1
  ${EndIf}
  ${If} $0 != $AccountEnable
    ${If} $1 == 1
    ${AndIf} $AccountBothFilled == 0
      ${NSD_Check} $AccountEnable
    ${ElseIf} $1 == 0
    ${AndIf} $AccountBothFilled == 1
      ${NSD_Uncheck} $AccountEnable
    ${EndIf}
  ${EndIf}
  StrCpy $AccountBothFilled $1
  ${NSD_GetState} $AccountEnable $1
  StrCpy $Enabled 0
  ${IfThen} $1 == ${BST_CHECKED} ${|} StrCpy $Enabled 1 ${|}
  Call CheckAccount
  ${NSD_SetText} $AccountWarning $AccountWarningText
  Pop $1
  Pop $0
FunctionEnd

; Nothing is written until the user confirms settings the service would refuse. Nothing is written
; either when there were no settings and the page was left empty and switched off.
Function AccountPageLeave
  Push $AccountEnable
  Call AccountChanged
  ${If} $AccountWarningText != ""
    MessageBox MB_YESNO|MB_ICONEXCLAMATION|MB_DEFBUTTON2 "$AccountWarningText$\r$\n$\r$\nVelk \
      sends the user name and key as they are. Save them anyway?" IDYES +2
    Abort
  ${EndIf}
  StrCpy $WriteSettings 1
  ${If} $SettingsFound == 0
  ${AndIf} $User == ""
  ${AndIf} $Key == ""
  ${AndIf} $Enabled == 0
    StrCpy $WriteSettings 0
  ${EndIf}
  ${If} $WriteSettings == 1
  ${AndIf} $Enabled == 1
    StrCpy $FinishText "Velk reports the tracks you play to ${SERVICE_NAME} as $\"$User$\" \
      from Winamp's next start."
  ${EndIf}
FunctionEnd

; Writes the four settings as the plug-in's Apply does: "Enabled", "Method", "User", "Key", each a
; REG_SZ of its text and one terminating NUL, stopping at the first write that fails.
Function WriteAccountSettings
  ${If} $WriteSettings != 1
    Return
  ${EndIf}
  DetailPrint "Saving the Velk account settings of Windows user $SettingsOwner"
  !insertmacro WRITE_USER_REG "${SETTINGS_KEY}" "Enabled" $Enabled
  IfErrors failed
  !insertmacro WRITE_USER_REG "${SETTINGS_KEY}" "Method" $Method
  IfErrors failed
  !insertmacro WRITE_USER_REG "${SETTINGS_KEY}" "User" $User
  IfErrors failed
  !insertmacro WRITE_USER_REG "${SETTINGS_KEY}" "Key" $Key
  IfErrors failed
  Return
failed:
  SetErrorLevel 2
  DetailPrint "Could not save the Velk account settings."
  MessageBox MB_OK|MB_ICONEXCLAMATION "Setup could not save your Velk account settings. Enter \
    them in Velk's configuration in Winamp (Options > Preferences > Plug-ins > General \
    Purpose)." /SD IDOK
FunctionEnd

Function .onInit
  StrCpy $FinishText "Velk is switched off. To switch it on, start Winamp, open Options > \
    Preferences > Plug-ins > General Purpose, select $\"Velk - Winamp Moxel$\" and click \
    Configure: enter your account name and key (from ${REGISTER_URL}) and tick $\"Enable Velk$\"."
  Call FindSettingsHive
  Call ReadSettings
  Call ReadAccountOptions
  Call FindPlayerFolder
FunctionEnd

; The player's folder: HKCU\Software\Winamp's default value, else the folder of the player's
; uninstaller registered for all users, else Program Files (x86)\Winamp or Program Files\Winamp.
; A folder given with /D= wins. The player's settings are read from its user's hive.
Function FindPlayerFolder
  ${If} $INSTDIR != ""
    StrCpy $FoundText "Velk will be installed into the Winamp folder below."
    Return
  ${EndIf}
  !insertmacro READ_USER_REG $0 "${PLAYER_KEY}" ""
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
  Call WriteAccountSettings
SectionEnd

; The uninstaller runs from a copy in the temporary folder with $INSTDIR = the Plugins folder it
; was written to; given /D= or _?= with the player's folder instead, it uses that.
Function un.onInit
  Call un.FindSettingsHive
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
  ${If} $SettingsSid == ""
    DeleteRegKey HKCU "${SETTINGS_KEY}"
  ${Else}
    DeleteRegKey HKU "$SettingsSid\${SETTINGS_KEY}"
  ${EndIf}
SectionEnd

!insertmacro MUI_UNFUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${UnPlugin} "gen_Velk.dll and this uninstaller, from Winamp's \
    Plugins folder."
  !insertmacro MUI_DESCRIPTION_TEXT ${UnSettings} "Also removes your account name, key and \
    on or off switch."
!insertmacro MUI_UNFUNCTION_DESCRIPTION_END
