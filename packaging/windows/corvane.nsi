; The Windows installer: makensis -DVERSION=x.y.z -DSTAGE=folder -DOUTFILE=setup.exe
; Program files in Program Files\Corvane; settings, logs and queue in
; %ProgramData%\Corvane (given to the program with --folder), kept on
; uninstall; a Start-menu entry; the service optional (on by default,
; registered with corvane --install-service and started).
; A 64-bit installer for the 64-bit program (and for Wine without its 32-bit part).
Target amd64-unicode
Name "Corvane ${VERSION}"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
InstallDir "$PROGRAMFILES64\Corvane"
SetCompressor /SOLID lzma

Page components
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Corvane"

Function .onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "Corvane" SecProgram
  SectionIn RO
  ; An update replaces the program under a running service.
  nsExec::ExecToLog 'net stop Corvane'
  SetOutPath "$INSTDIR"
  File /r "${STAGE}\*.*"
  CreateDirectory "$APPDATA\Corvane"
  CreateShortCut "$SMPROGRAMS\Corvane.lnk" "$INSTDIR\corvane.exe" '--folder "$APPDATA\Corvane"'
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Corvane"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Corvane developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Windows service (starts with Windows, runs as LocalService)" SecService
  nsExec::ExecToLog '"$INSTDIR\corvane.exe" --install-service --folder "$APPDATA\Corvane"'
  Pop $0
  StrCmp $0 "0" 0 +2
  nsExec::ExecToLog 'net start Corvane'
SectionEnd

Section "Uninstall"
  ; Settings, logs and the queue in ProgramData stay.
  nsExec::ExecToLog '"$INSTDIR\corvane.exe" --uninstall-service'
  ; The service's process ends a moment after it reports STOPPED, and its
  ; program cannot be deleted until then: up to 10 s.
  StrCpy $1 0
  waitForProcess:
    ClearErrors
    Delete "$INSTDIR\corvane.exe"
    IfErrors 0 processGone
    IntOp $1 $1 + 1
    IntCmp $1 40 processGone
    Sleep 250
    Goto waitForProcess
  processGone:
  Delete "$SMPROGRAMS\Corvane.lnk"
  RMDir /r "$INSTDIR\platforms"
  RMDir /r "$INSTDIR\styles"
  RMDir /r "$INSTDIR\tls"
  RMDir /r "$INSTDIR\licences"
  Delete "$INSTDIR\*.exe"
  Delete "$INSTDIR\*.dll"
  Delete "$INSTDIR\README.md"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
