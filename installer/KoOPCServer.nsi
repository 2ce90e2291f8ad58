; The installer of KoOPCServer, KoOPCServerSvc, koopc and the proxy/stub DLL of the OPC interfaces.
;
; Built by scripts/build-installer.sh (or the build's "installer" target) with:
;   makensis -DKO_ARCH=x64|x86 -DKO_BIN=<folder with the programs> -DKO_VERSION=1.8.0
;            -DKO_OUTFILE=<setup.exe> installer/KoOPCServer.nsi
;
; Command line of the setup program (all optional):
;   /S             silent: no window, no question; the exit code tells the result
;   /AllUsers      install for every user of the computer (needs administrator rights);
;                  the default when the user is an administrator
;   /CurrentUser   install for the current user only: programs under the user's local
;                  application data, registration under HKCU\Software\Classes
;   /Service       also install KoOPCServerSvc as the Windows service KoOPCService
;                  (all users only)
;   /D=<folder>    the installation folder; last on the line, unquoted, may hold blanks
; Exit codes: 0 installed; 2 refused before anything was installed (the options exclude each
; other, or need rights the user does not have); any other non-zero code: cancelled or failed.
;
; The uninstaller (Uninstall.exe in the installation folder, /S for silent) removes every file,
; key and shortcut the installation added. What it leaves:
;   - the proxy/stub registration of the OPC interfaces when this installation did not make it
;     (another one was there, and stays);
;   - AppID\{class ID} of a class when that key was there before the installation (it may
;     carry the machine's access settings for the server);
;   - the uninstaller's own temporary copy (%TEMP%\~nsu*.tmp), which Windows deletes at the
;     next restart (the value PendingFileRenameOperations under
;     HKLM\System\CurrentControlSet\Control\Session Manager asks for it).

Unicode true

!ifndef KO_ARCH | KO_BIN | KO_VERSION | KO_OUTFILE
  !error "define KO_ARCH, KO_BIN, KO_VERSION and KO_OUTFILE (see scripts/build-installer.sh)"
!endif

!if "${KO_ARCH}" == "x64"
  Target amd64-unicode
  !define KO_PROGRAMFILES "$PROGRAMFILES64"
!else if "${KO_ARCH}" == "x86"
  Target x86-unicode
  !define KO_PROGRAMFILES "$PROGRAMFILES"
!else
  !error "KO_ARCH is x64 or x86"
!endif

!include LogicLib.nsh
!include FileFunc.nsh
!include MUI2.nsh
!include nsDialogs.nsh

!define KO_PRODUCT "Korvel OPC Server"
!define KO_PUBLISHER "Korvel OPC Ltd"
!define KO_UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KorvelOPCServer"
!define KO_SERVER_CLSID "{3C9A41D7-62B0-4E58-A1F3-5D07C8E2B914}"
!define KO_SERVICE_CLSID "{8E16B2F0-D473-4A9C-B5E8-0F29A6C31D57}"
; IOPCServer: present with a ProxyStubClsid32 when some proxy/stub of the OPC interfaces is
; registered already.
!define KO_IOPCSERVER "{39C13A4D-011E-11D0-9675-0020AFD8ADB3}"
!define KO_STARTMENU "$SMPROGRAMS\${KO_PRODUCT}"

Name "${KO_PRODUCT} ${KO_VERSION}"
OutFile "${KO_OUTFILE}"
; Administrators are asked to elevate (an installation for all users needs it); other users
; install for themselves.
RequestExecutionLevel highest
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show
VIProductVersion "${KO_VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${KO_PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${KO_PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${KO_PRODUCT} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${KO_VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${KO_PUBLISHER}"

Var PerUser        ; 1: for the current user; 0: for all users
Var WithService    ; 1: install the service
Var DirGiven       ; 1: the folder came from /D=
Var IsAdmin
Var RegSwitch      ; "RegServer" or "RegServerPerUser"
Var ProxyRegistered
Var AppIDsCreated  ; bit 1: the server's AppID key, bit 2: the service's
Var ModePage.AllUsers
Var ModePage.CurrentUser
Var ModePage.Service

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_WELCOME
Page custom ModePageShow ModePageLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; ---- shared by the installer and the uninstaller ----

; Sets the registry and shell context of the mode in $PerUser.
!macro KoUseMode un
Function ${un}KoUseMode
  ${If} $PerUser == 1
    SetShellVarContext current
    StrCpy $RegSwitch "RegServerPerUser"
  ${Else}
    SetShellVarContext all
    StrCpy $RegSwitch "RegServer"
  ${EndIf}
FunctionEnd
!macroend
!insertmacro KoUseMode ""
!insertmacro KoUseMode "un."

; Runs a program and waits for it; Pop: its exit code ("error" when it could not start).
!macro KoRun un
Function ${un}KoRun
  Exch $0
  Push $1
  DetailPrint "Running $0"
  ClearErrors
  ExecWait $0 $1
  ${If} ${Errors}
    StrCpy $1 "error"
  ${EndIf}
  StrCpy $0 $1
  Pop $1
  Exch $0
FunctionEnd
!macroend
!insertmacro KoRun ""
!insertmacro KoRun "un."

!macro KoRunChecked Command What
  Push `${Command}`
  Call KoRun
  Pop $0
  ${If} $0 != 0
    DetailPrint "${What} failed (exit code $0)"
    MessageBox MB_ICONSTOP|MB_OK "${What} failed (exit code $0)." /SD IDOK
    SetErrorLevel 1
    Abort
  ${EndIf}
!macroend

; Pushes 1 when Software\Classes\AppID\{Class} exists in the mode's hive, else 0.
!macro KoAppIDExists Class
  Push $0
  Push $1
  StrCpy $1 "Software\Classes\AppID\${Class}"
  ClearErrors
  ${If} $PerUser == 1
    EnumRegKey $0 HKCU $1 0
  ${Else}
    EnumRegKey $0 HKLM $1 0
  ${EndIf}
  ; EnumRegKey sets the error flag only when the key itself cannot be opened.
  ${If} ${Errors}
    StrCpy $0 0
  ${Else}
    StrCpy $0 1
  ${EndIf}
  Pop $1
  Exch $0
!macroend

; ---- installer ----

Function .onInit
  ${If} $INSTDIR != ""
    StrCpy $DirGiven 1
  ${EndIf}
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 == "Admin"
    StrCpy $IsAdmin 1
    StrCpy $PerUser 0
  ${Else}
    StrCpy $IsAdmin 0
    StrCpy $PerUser 1
  ${EndIf}
  StrCpy $WithService 0

  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/AllUsers" $0
  ${IfNot} ${Errors}
    StrCpy $PerUser 0
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/CurrentUser" $0
  ${IfNot} ${Errors}
    ClearErrors
    ${GetOptions} $R0 "/AllUsers" $0
    ${IfNot} ${Errors}
      MessageBox MB_ICONSTOP|MB_OK "/AllUsers and /CurrentUser exclude each other." /SD IDOK
      SetErrorLevel 2
      Quit
    ${EndIf}
    StrCpy $PerUser 1
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/Service" $0
  ${IfNot} ${Errors}
    StrCpy $WithService 1
  ${EndIf}
  Call CheckMode
  Call DefaultFolder
FunctionEnd

; Refuses a mode the options or the user's rights do not allow (exit code 2).
Function CheckMode
  ${If} $WithService == 1
  ${AndIf} $PerUser == 1
    MessageBox MB_ICONSTOP|MB_OK "The service can only be installed for all users." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
  ${If} $PerUser == 0
  ${AndIf} $IsAdmin != 1
    MessageBox MB_ICONSTOP|MB_OK "Installing for all users needs administrator rights: run the setup as administrator, or install for the current user only." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
FunctionEnd

Function DefaultFolder
  ${If} $DirGiven == 1
    Return
  ${EndIf}
  ${If} $PerUser == 1
    StrCpy $INSTDIR "$LOCALAPPDATA\Programs\${KO_PRODUCT}"
  ${Else}
    StrCpy $INSTDIR "${KO_PROGRAMFILES}\${KO_PRODUCT}"
  ${EndIf}
FunctionEnd

Function ModePageShow
  !insertmacro MUI_HEADER_TEXT "Installation type" "Choose for whom to install ${KO_PRODUCT}."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateRadioButton} 0 0 100% 12u "For all users of this computer (needs administrator rights)"
  Pop $ModePage.AllUsers
  ${NSD_CreateRadioButton} 0 16u 100% 12u "Only for me (no administrator rights needed)"
  Pop $ModePage.CurrentUser
  ${NSD_CreateCheckBox} 12u 40u 100% 12u "Also install the Windows service KoOPCService (all users only)"
  Pop $ModePage.Service
  ${If} $PerUser == 1
    ${NSD_Check} $ModePage.CurrentUser
  ${Else}
    ${NSD_Check} $ModePage.AllUsers
  ${EndIf}
  ${If} $WithService == 1
    ${NSD_Check} $ModePage.Service
  ${EndIf}
  ${If} $IsAdmin != 1
    EnableWindow $ModePage.AllUsers 0
    EnableWindow $ModePage.Service 0
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function ModePageLeave
  ${NSD_GetState} $ModePage.CurrentUser $0
  ${If} $0 == ${BST_CHECKED}
    StrCpy $PerUser 1
  ${Else}
    StrCpy $PerUser 0
  ${EndIf}
  ${NSD_GetState} $ModePage.Service $0
  ${If} $0 == ${BST_CHECKED}
    StrCpy $WithService 1
  ${Else}
    StrCpy $WithService 0
  ${EndIf}
  ${If} $WithService == 1
  ${AndIf} $PerUser == 1
    MessageBox MB_ICONEXCLAMATION|MB_OK "The service can only be installed for all users."
    Abort
  ${EndIf}
  Call DefaultFolder
FunctionEnd

Section "-Install"
  Call KoUseMode
  ; An installation of the other kind would share the classes: one at a time.
  ${If} $PerUser == 1
    ReadRegStr $0 HKLM "${KO_UNINSTALL_KEY}" "InstallLocation"
  ${Else}
    ReadRegStr $0 HKCU "${KO_UNINSTALL_KEY}" "InstallLocation"
  ${EndIf}
  ${If} $0 != ""
    MessageBox MB_ICONSTOP|MB_OK "${KO_PRODUCT} is already installed in $0 for the other kind of user: uninstall it first." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}

  ; What a previous installation of this kind recorded is kept: it made those entries.
  ReadRegDWORD $ProxyRegistered SHCTX "${KO_UNINSTALL_KEY}" "ProxyRegistered"
  ReadRegDWORD $AppIDsCreated SHCTX "${KO_UNINSTALL_KEY}" "AppIDsCreated"
  ${If} $ProxyRegistered == ""
    StrCpy $ProxyRegistered 0
  ${EndIf}
  ${If} $AppIDsCreated == ""
    StrCpy $AppIDsCreated 0
    !insertmacro KoAppIDExists "${KO_SERVER_CLSID}"
    Pop $0
    ${If} $0 == 0
      IntOp $AppIDsCreated $AppIDsCreated | 1
    ${EndIf}
    !insertmacro KoAppIDExists "${KO_SERVICE_CLSID}"
    Pop $0
    ${If} $0 == 0
      IntOp $AppIDsCreated $AppIDsCreated | 2
    ${EndIf}
  ${EndIf}

  SetOutPath "$INSTDIR"
  File "${KO_BIN}\KoOPCServer.exe"
  File "${KO_BIN}\KoOPCServerSvc.exe"
  File "${KO_BIN}\koopc.exe"
  File "${KO_BIN}\KoOPCProxy.dll"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  ; The uninstall key first: whatever fails below, the uninstaller can take back what was done.
  WriteRegStr SHCTX "${KO_UNINSTALL_KEY}" "DisplayName" "${KO_PRODUCT}"
  WriteRegStr SHCTX "${KO_UNINSTALL_KEY}" "DisplayVersion" "${KO_VERSION}"
  WriteRegStr SHCTX "${KO_UNINSTALL_KEY}" "Publisher" "${KO_PUBLISHER}"
  WriteRegStr SHCTX "${KO_UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\KoOPCServer.exe"
  WriteRegStr SHCTX "${KO_UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  ${If} $PerUser == 1
    WriteRegStr SHCTX "${KO_UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe" /CurrentUser'
    WriteRegStr SHCTX "${KO_UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /CurrentUser /S'
  ${Else}
    WriteRegStr SHCTX "${KO_UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe" /AllUsers'
    WriteRegStr SHCTX "${KO_UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /AllUsers /S'
  ${EndIf}
  WriteRegDWORD SHCTX "${KO_UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${KO_UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD SHCTX "${KO_UNINSTALL_KEY}" "PerUser" $PerUser
  WriteRegDWORD SHCTX "${KO_UNINSTALL_KEY}" "Service" $WithService
  WriteRegDWORD SHCTX "${KO_UNINSTALL_KEY}" "AppIDsCreated" $AppIDsCreated
  WriteRegDWORD SHCTX "${KO_UNINSTALL_KEY}" "ProxyRegistered" $ProxyRegistered
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD SHCTX "${KO_UNINSTALL_KEY}" "EstimatedSize" $0

  ; The proxy/stub DLL, only where no proxy/stub of the OPC interfaces is registered (the
  ; standard one, or this one by an earlier installation of this kind, which is renewed).
  ReadRegStr $0 HKCR "Interface\${KO_IOPCSERVER}\ProxyStubClsid32" ""
  ${If} $0 == ""
  ${OrIf} $ProxyRegistered == 1
    ${If} $PerUser == 1
      !insertmacro KoRunChecked '"$SYSDIR\regsvr32.exe" /s /n /i:user "$INSTDIR\KoOPCProxy.dll"' "Registering the proxy/stub DLL"
    ${Else}
      !insertmacro KoRunChecked '"$SYSDIR\regsvr32.exe" /s "$INSTDIR\KoOPCProxy.dll"' "Registering the proxy/stub DLL"
    ${EndIf}
    StrCpy $ProxyRegistered 1
    WriteRegDWORD SHCTX "${KO_UNINSTALL_KEY}" "ProxyRegistered" 1
  ${Else}
    DetailPrint "The OPC interfaces have a proxy/stub registered already ($0): KoOPCProxy.dll is not registered."
  ${EndIf}

  !insertmacro KoRunChecked '"$INSTDIR\KoOPCServer.exe" /$RegSwitch' "Registering KoOPCServer"
  ${If} $WithService == 1
    ; Also writes the class's standard registration. Exit code 2: installed already (by an
    ; earlier installation of this kind), which is kept.
    Push '"$INSTDIR\KoOPCServerSvc.exe" /install /silent'
    Call KoRun
    Pop $0
    ${If} $0 != 0
    ${AndIf} $0 != 2
      MessageBox MB_ICONSTOP|MB_OK "Installing the service failed (exit code $0)." /SD IDOK
      SetErrorLevel 1
      Abort
    ${EndIf}
  ${Else}
    !insertmacro KoRunChecked '"$INSTDIR\KoOPCServerSvc.exe" /$RegSwitch' "Registering KoOPCServerSvc"
  ${EndIf}

  CreateDirectory "${KO_STARTMENU}"
  CreateShortcut "${KO_STARTMENU}\${KO_PRODUCT}.lnk" "$INSTDIR\KoOPCServer.exe"
  ; A console in the installation folder with the client's help on screen.
  SetOutPath "$INSTDIR"
  CreateShortcut "${KO_STARTMENU}\koopc command-line client.lnk" "$SYSDIR\cmd.exe" '/k koopc.exe --help'
  CreateShortcut "${KO_STARTMENU}\Uninstall ${KO_PRODUCT}.lnk" "$INSTDIR\Uninstall.exe"
SectionEnd

; ---- uninstaller ----

Function un.onInit
  ${GetParameters} $R0
  StrCpy $PerUser ""
  ClearErrors
  ${GetOptions} $R0 "/AllUsers" $0
  ${IfNot} ${Errors}
    StrCpy $PerUser 0
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/CurrentUser" $0
  ${IfNot} ${Errors}
    StrCpy $PerUser 1
  ${EndIf}
  ; Started without either: the kind whose record names this folder.
  ${If} $PerUser == ""
    ReadRegStr $0 HKCU "${KO_UNINSTALL_KEY}" "InstallLocation"
    ReadRegStr $1 HKLM "${KO_UNINSTALL_KEY}" "InstallLocation"
    ${If} $0 == $INSTDIR
      StrCpy $PerUser 1
    ${ElseIf} $1 == $INSTDIR
      StrCpy $PerUser 0
    ${Else}
      MessageBox MB_ICONSTOP|MB_OK "No installation of ${KO_PRODUCT} is recorded for $INSTDIR." /SD IDOK
      SetErrorLevel 2
      Quit
    ${EndIf}
  ${EndIf}
  ${If} $PerUser == 0
    UserInfo::GetAccountType
    Pop $0
    ${If} $0 != "Admin"
      MessageBox MB_ICONSTOP|MB_OK "This installation is for all users: uninstall it as administrator." /SD IDOK
      SetErrorLevel 2
      Quit
    ${EndIf}
  ${EndIf}
FunctionEnd

; Deletes a file, waiting up to 10 s for a program that still runs from it to end (a server
; that COM started ends a few seconds after its last client).
Function un.KoDeleteFile
  Exch $0
  Push $1
  StrCpy $1 0
  ${Do}
    ClearErrors
    Delete $0
    ${IfNot} ${FileExists} $0
      ${Break}
    ${EndIf}
    ${If} $1 >= 40
      DetailPrint "$0 is in use: it goes at the next restart."
      Delete /REBOOTOK $0
      ${Break}
    ${EndIf}
    IntOp $1 $1 + 1
    Sleep 250
  ${Loop}
  Pop $1
  Pop $0
FunctionEnd

!macro KoUnDelete File
  Push `${File}`
  Call un.KoDeleteFile
!macroend

Section "Uninstall"
  Call un.KoUseMode
  ReadRegDWORD $WithService SHCTX "${KO_UNINSTALL_KEY}" "Service"
  ReadRegDWORD $ProxyRegistered SHCTX "${KO_UNINSTALL_KEY}" "ProxyRegistered"
  ReadRegDWORD $AppIDsCreated SHCTX "${KO_UNINSTALL_KEY}" "AppIDsCreated"
  ${If} $AppIDsCreated == ""
    StrCpy $AppIDsCreated 0
  ${EndIf}

  ; Each step goes on when one fails: what can be removed is removed.
  ${If} $WithService == 1
    ; Stops the service first when it runs.
    Push '"$INSTDIR\KoOPCServerSvc.exe" /uninstall /silent'
  ${Else}
    Push '"$INSTDIR\KoOPCServerSvc.exe" /Un$RegSwitch'
  ${EndIf}
  Call un.KoRun
  Pop $0
  DetailPrint "Exit code $0"
  Push '"$INSTDIR\KoOPCServer.exe" /Un$RegSwitch'
  Call un.KoRun
  Pop $0
  DetailPrint "Exit code $0"

  ; Unregistration keeps a class's AppID key; those this installation created go too.
  IntOp $0 $AppIDsCreated & 1
  ${If} $0 != 0
    DeleteRegKey SHCTX "Software\Classes\AppID\${KO_SERVER_CLSID}"
  ${EndIf}
  IntOp $0 $AppIDsCreated & 2
  ${If} $0 != 0
    DeleteRegKey SHCTX "Software\Classes\AppID\${KO_SERVICE_CLSID}"
  ${EndIf}

  ${If} $ProxyRegistered == 1
    ${If} $PerUser == 1
      Push '"$SYSDIR\regsvr32.exe" /s /u /n /i:user "$INSTDIR\KoOPCProxy.dll"'
    ${Else}
      Push '"$SYSDIR\regsvr32.exe" /s /u "$INSTDIR\KoOPCProxy.dll"'
    ${EndIf}
    Call un.KoRun
    Pop $0
    DetailPrint "Exit code $0"
  ${EndIf}

  Delete "${KO_STARTMENU}\${KO_PRODUCT}.lnk"
  Delete "${KO_STARTMENU}\koopc command-line client.lnk"
  Delete "${KO_STARTMENU}\Uninstall ${KO_PRODUCT}.lnk"
  RMDir "${KO_STARTMENU}"

  !insertmacro KoUnDelete "$INSTDIR\KoOPCServer.exe"
  !insertmacro KoUnDelete "$INSTDIR\KoOPCServerSvc.exe"
  !insertmacro KoUnDelete "$INSTDIR\koopc.exe"
  !insertmacro KoUnDelete "$INSTDIR\KoOPCProxy.dll"
  Delete "$INSTDIR\Uninstall.exe"
  ; Only when empty: files the user put there stay.
  RMDir /REBOOTOK "$INSTDIR"

  DeleteRegKey SHCTX "${KO_UNINSTALL_KEY}"
  ${If} $PerUser == 1
    ; The user's hive and folders may have had none of these before: removed when empty.
    DeleteRegKey /ifempty HKCU "Software\Classes\AppID"
    DeleteRegKey /ifempty HKCU "Software\Classes\CLSID"
    DeleteRegKey /ifempty HKCU "Software\Classes\Interface"
    DeleteRegKey /ifempty HKCU "Software\Microsoft\Windows\CurrentVersion\Uninstall"
    RMDir "$LOCALAPPDATA\Programs"
  ${EndIf}
SectionEnd
