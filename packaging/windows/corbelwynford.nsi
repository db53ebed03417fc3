; The Windows set-up program of Corbelwynford. cmake/windows-installer.cmake runs
;   makensis -DVERSION=<x.y.z> -DEXE=<corbelwynford.exe> -DINI=<Corbelwynford.INI>
;            -DICON=<corbelwynford.ico> -DOUTFILE=<corbelwynford-x.y.z-setup.exe> corbelwynford.nsi
;
; Silent use: setup.exe /S [/SERVICE=1] [/D=folder]; uninstall.exe /S. An uninstaller started
; in its folder returns at once and finishes from a copy in the temp folder; a copy started with
; "_?=<folder>" works on that folder and returns its own exit status.
;
; Exit status 0 on success; 2 when the service could not be registered or removed, or the
; program could not be removed (a program still running outside the service).

Unicode true
; Debian's Wine has no 32-bit part, and Windows hosts of this program are 64-bit.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestSupportedOS all

!include LogicLib.nsh
!include FileFunc.nsh
!include Sections.nsh
!include MUI2.nsh

!define PRODUCT "Corbelwynford"
!define SERVICE "Corbelwynford"
!define PUBLISHER "Corbelwynford maintainers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Corbelwynford"
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\Corbelwynford"
!define SHORTCUT "$SMPROGRAMS\Corbelwynford.lnk"
; How long a stopping service and its process get before the set-up goes on.
!define STOP_WAIT_MS 30000

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} set-up"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "LegalCopyright" "${PUBLISHER}"

Var ServiceRegistered  ; "1" when the service manager knows the service
Var ServiceWasRunning  ; "1" when it ran before it was stopped here
Var KeptFiles          ; the uninstaller's last words: what it left in the folder

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!define MUI_FINISHPAGE_TITLE "${PRODUCT} was removed"
!define MUI_FINISHPAGE_TEXT "$KeptFiles"
!insertmacro MUI_UNPAGE_FINISH

!insertmacro MUI_LANGUAGE "English"

; The service through the service manager, for the set-up and the uninstaller alike (NSIS wants
; the uninstaller's functions named "un.").
!macro SERVICE_FUNCTIONS un
  ; Sets $ServiceRegistered and $ServiceWasRunning; stops a service that runs and waits until
  ; its process has ended, so that its program file can be replaced or removed and no second
  ; instance is found. Bounded by STOP_WAIT_MS.
  Function ${un}StopService
    Push $R1
    Push $R2
    Push $R3
    Push $R4
    Push $R5
    Push $R6
    StrCpy $ServiceRegistered 0
    StrCpy $ServiceWasRunning 0
    ; SC_MANAGER_CONNECT; SERVICE_QUERY_STATUS | SERVICE_STOP
    System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p .R1'
    ${If} $R1 P<> 0
      System::Call 'advapi32::OpenServiceW(p $R1, w "${SERVICE}", i 0x24) p .R2'
      ${If} $R2 P<> 0
        StrCpy $ServiceRegistered 1
        System::Alloc 36  ; SERVICE_STATUS_PROCESS
        Pop $R3
        System::Call 'advapi32::QueryServiceStatusEx(p $R2, i 0, p $R3, i 36, *i .R5) i .R4'
        System::Call '*$R3(i, i .R5, i, i, i, i, i, i .R6)'  ; state, process id
        ${If} $R4 <> 0
        ${AndIf} $R5 <> 1  ; SERVICE_STOPPED
          StrCpy $ServiceWasRunning 1
          DetailPrint "Stopping the ${SERVICE} service"
          ; SYNCHRONIZE: the process's end is what frees its file and its one-instance lock.
          System::Call 'kernel32::OpenProcess(i 0x100000, i 0, i $R6) p .R6'
          System::Call 'advapi32::ControlService(p $R2, i 1, p $R3) i .R4'
          ${If} $R6 P<> 0
            System::Call 'kernel32::WaitForSingleObject(p $R6, i ${STOP_WAIT_MS}) i .R4'
            System::Call 'kernel32::CloseHandle(p $R6)'
          ${EndIf}
          ; The service manager hears of the end a moment after the process.
          StrCpy $R6 0
          ${Do}
            System::Call 'advapi32::QueryServiceStatusEx(p $R2, i 0, p $R3, i 36, *i .R5) i .R4'
            System::Call '*$R3(i, i .R5)'
            ${IfThen} $R4 = 0 ${|} ${Break} ${|}
            ${IfThen} $R5 = 1 ${|} ${Break} ${|}
            ${IfThen} $R6 >= ${STOP_WAIT_MS} ${|} ${Break} ${|}
            Sleep 100
            IntOp $R6 $R6 + 100
          ${Loop}
        ${EndIf}
        System::Free $R3
        System::Call 'advapi32::CloseServiceHandle(p $R2)'
      ${EndIf}
      System::Call 'advapi32::CloseServiceHandle(p $R1)'
    ${EndIf}
    Pop $R6
    Pop $R5
    Pop $R4
    Pop $R3
    Pop $R2
    Pop $R1
  FunctionEnd
!macroend
!insertmacro SERVICE_FUNCTIONS ""
!insertmacro SERVICE_FUNCTIONS "un."

Section "-Program" SecProgram
  ; An upgrade replaces the program under a running service.
  Call StopService
  SetOutPath "$INSTDIR"
  File "/oname=corbelwynford.exe" "${EXE}"
  ; The operator's settings survive an upgrade: the sample goes in only where none is.
  SetOverwrite off
  File "/oname=Corbelwynford.INI" "${INI}"
  SetOverwrite on
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "${SHORTCUT}" "$INSTDIR\corbelwynford.exe" "" "$INSTDIR\corbelwynford.exe" 0

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\corbelwynford.exe,0"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Run as a Windows service" SecService
  ${If} $ServiceRegistered == 1
    DetailPrint "The ${SERVICE} service is registered already"
  ${Else}
    DetailPrint "Registering the ${SERVICE} service"
    ; "/Q": the answer comes as the exit status, not as a box nobody may be there to close.
    ClearErrors
    ExecWait '"$INSTDIR\corbelwynford.exe" /I /Q' $0
    ${If} ${Errors}
    ${OrIf} $0 != 0
      SetErrorLevel 2
      MessageBox MB_OK|MB_ICONEXCLAMATION "The ${SERVICE} service could not be registered \
          (corbelwynford.exe /I ended with status $0). The program is installed; run \
          $\"corbelwynford.exe /I$\" in its folder as an administrator to try again." /SD IDOK
    ${EndIf}
  ${EndIf}
SectionEnd

Function .onInit
  SetShellVarContext all
  ; The interactive set-up offers the service checked; a silent one registers it on request.
  ${If} ${Silent}
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/SERVICE=" $1
    ${If} ${Errors}
    ${OrIf} $1 != "1"
      !insertmacro UnselectSection ${SecService}
    ${EndIf}
  ${EndIf}
FunctionEnd

Section "-Restart"
  ; A service stopped for the upgrade runs again.
  ${If} $ServiceWasRunning == 1
    DetailPrint "Starting the ${SERVICE} service"
    ClearErrors
    ExecWait '"$SYSDIR\net.exe" start ${SERVICE}' $0
    ${If} ${Errors}
    ${OrIf} $0 != 0
      SetErrorLevel 2
      MessageBox MB_OK|MB_ICONEXCLAMATION "The ${SERVICE} service did not start again \
          (net start ended with status $0)." /SD IDOK
    ${EndIf}
  ${EndIf}
SectionEnd

Function un.onInit
  SetShellVarContext all
FunctionEnd

; $KeptFiles := what is still in the folder (settings, messages not yet relayed, a claim file).
Function un.ListKeptFiles
  StrCpy $KeptFiles ""
  FindFirst $0 $1 "$INSTDIR\*"
  ${DoWhile} $1 != ""
    ${If} $1 != "."
    ${AndIf} $1 != ".."
      StrCpy $KeptFiles "$KeptFiles$\r$\n    $1"
    ${EndIf}
    FindNext $0 $1
  ${Loop}
  FindClose $0
  ${If} $KeptFiles == ""
    StrCpy $KeptFiles "${PRODUCT} was removed from this computer."
  ${Else}
    StrCpy $KeptFiles "${PRODUCT} was removed. These files were kept in$\r$\n$INSTDIR:$KeptFiles"
  ${EndIf}
FunctionEnd

Section "Uninstall"
  Call un.StopService
  ${If} $ServiceRegistered == 1
    DetailPrint "Removing the ${SERVICE} service"
    ClearErrors
    ExecWait '"$INSTDIR\corbelwynford.exe" /U /Q' $0
    ${If} ${Errors}
    ${OrIf} $0 != 0
      SetErrorLevel 2
      MessageBox MB_OK|MB_ICONSTOP "The ${SERVICE} service could not be removed \
          (corbelwynford.exe /U ended with status $0). Nothing was removed." /SD IDOK
      Abort
    ${EndIf}
    ; The mode flag the program keeps beside the service: "0" now, which is also what an absent
    ; one reads as.
    DeleteRegKey HKLM "${SERVICE_KEY}\Parameters"
    DeleteRegKey /ifempty HKLM "${SERVICE_KEY}"
  ${EndIf}

  Delete "$INSTDIR\corbelwynford.exe"
  ${If} ${FileExists} "$INSTDIR\corbelwynford.exe"
    SetErrorLevel 2
    MessageBox MB_OK|MB_ICONSTOP "$INSTDIR\corbelwynford.exe is in use: close ${PRODUCT} and \
        run the uninstaller again." /SD IDOK
    Abort
  ${EndIf}
  Delete "${SHORTCUT}"
  Delete "$INSTDIR\uninstall.exe"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; Only an empty folder goes: the settings file and any message file stay, named on the last
  ; page.
  RMDir "$INSTDIR"
  Call un.ListKeptFiles
  DetailPrint "$KeptFiles"
SectionEnd
