; 澄序 Orvane setup: a per-machine, 64-bit installer with a Chinese user interface.
; Built by scripts/make-dist.sh, which passes:
;   VERSION   the program's version (three parts, e.g. 0.9.10)
;   DIST_DIR  the folder holding Orvane.exe and libsodium.dll
;   ICON      the program's icon file
;   OUTFILE   the installer to write
;   WIZARD_BITMAP  (optional) the 164 × 314 picture of the welcome and finish pages
; Silent use:  Orvane-<version>-setup.exe /S [/NoDesktopShortcut] [/D=C:\folder]
;              "<folder>\Uninstall.exe" /S

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true
ManifestSupportedOS Win10
AllowSkipFiles off

!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "Sections.nsh"
!include "WinVer.nsh"
!include "x64.nsh"

!define PRODUCT "澄序 Orvane"
!define PUBLISHER "澄序 Orvane"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Orvane"
!define SHORTCUT "澄序 Orvane.lnk"
; The window class of the program's main window: while one exists the program is running and its files
; cannot be replaced or removed.
!define MAIN_WINDOW_CLASS "BriskodeskMain"
; Exit code of the uninstaller when the program's files are gone but the user's data folder or saved
; login could not be removed.
!define EXIT_USER_DATA_LEFT 3
; The program's files in the data folder (%APPDATA%\Briskodesk) of the user who installed it.
!define DATA_FOLDER "Briskodesk"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
; An upgrade goes into the folder of the installed copy.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!ifdef WIZARD_BITMAP
  !define MUI_WELCOMEFINISHPAGE_BITMAP "${WIZARD_BITMAP}"
!endif
!define MUI_COMPONENTSPAGE_SMALLDESC
!define MUI_WELCOMEPAGE_TITLE "欢迎安装 ${PRODUCT} ${VERSION}"
!define MUI_WELCOMEPAGE_TEXT "${PRODUCT} 让多台电脑在约定的同一时刻各自完成一次鼠标左键点击，用于软件测试、展厅演示和教学培训。$\r$\n$\r$\n安装前请先关闭正在运行的 ${PRODUCT}。$\r$\n$\r$\n点击“下一步”继续。"
; The finish page's start goes through the shell (StartAsSignedInUser below), not through the setup.
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "运行 ${PRODUCT}"
!define MUI_FINISHPAGE_RUN_FUNCTION StartAsSignedInUser

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "FileDescription" "${PRODUCT} 安装程序"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "LegalCopyright" "${PUBLISHER}"

; Stops the installer or uninstaller while the program runs: its files are in use then. The user may
; close it and retry; a silent run gives up at once (exit code 2).
!macro AbortWhileProgramRuns
  ${Do}
    FindWindow $0 "${MAIN_WINDOW_CLASS}"
    ${If} $0 = 0
      ${Break}
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${PRODUCT} 正在运行。$\r$\n$\r$\n请先关闭它，然后重试。" /SD IDCANCEL IDRETRY retry
    Abort
    retry:
  ${Loop}
!macroend

Section "${PRODUCT}（必需）" SecProgram
  SectionIn RO
  SetOutPath "$INSTDIR"
  File "${DIST_DIR}/Orvane.exe"
  File "${DIST_DIR}/libsodium.dll"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${SHORTCUT}" "$INSTDIR\Orvane.exe" "" "$INSTDIR\Orvane.exe" 0 \
    SW_SHOWNORMAL "" "${PRODUCT}"
  ; The desktop shortcut exists afterwards only if it was chosen this time (an upgrade may untick it).
  Delete "$DESKTOP\${SHORTCUT}"
SectionEnd

Section "桌面快捷方式" SecDesktop
  SetOutPath "$INSTDIR"
  CreateShortcut "$DESKTOP\${SHORTCUT}" "$INSTDIR\Orvane.exe" "" "$INSTDIR\Orvane.exe" 0 \
    SW_SHOWNORMAL "" "${PRODUCT}"
SectionEnd

; Registered last, so that the size covers every file in the folder.
Section "-Programs list entry"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Orvane.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  ; Whose data the program keeps: the account that ran the setup, and its roaming data folder. The
  ; uninstaller cleans up for this account, also when another account removes the program.
  ReadEnvStr $1 "USERNAME"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstalledBy" "$1"
  SetShellVarContext current
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstalledByAppData" "$APPDATA"
  SetShellVarContext all
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecProgram} "程序文件和“开始”菜单快捷方式。"
  !insertmacro MUI_DESCRIPTION_TEXT ${SecDesktop} "在桌面上放一个 ${PRODUCT} 快捷方式。"
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function .onInit
  ${IfNot} ${RunningX64}
  ${OrIfNot} ${AtLeastWin10}
    MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} 需要 64 位的 Windows 10 或更高版本。" /SD IDOK
    Abort
  ${EndIf}
  SetRegView 64
  SetShellVarContext all
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/NoDesktopShortcut" $R1
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecDesktop}
  ${EndIf}
  !insertmacro AbortWhileProgramRuns
FunctionEnd

; The setup runs elevated, and a program it started itself would run elevated too, possibly as the
; administrator who approved the setup, with that account's data folder and saved login. The shell
; starts it instead, as the user who is signed in.
Function StartAsSignedInUser
  Exec '"$WINDIR\explorer.exe" "$INSTDIR\Orvane.exe"'
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
  !insertmacro AbortWhileProgramRuns
FunctionEnd

Section "Uninstall"
  ; The user data belongs to the account that installed the program. Run as that account, the program
  ; removes it itself (the data folder and the saved login) while it is still here. Run as another
  ; account (an administrator removing it for someone), the program would clean that account's data
  ; instead: then only the installing account's data folder is emptied, by its recorded path, and the
  ; saved login, which only its owner can reach, is named in the message.
  StrCpy $R9 0
  ReadRegStr $R7 HKLM "${UNINSTALL_KEY}" "InstalledBy"
  ReadRegStr $R8 HKLM "${UNINSTALL_KEY}" "InstalledByAppData"
  ReadEnvStr $R6 "USERNAME"
  ${If} $R7 == ""
  ${OrIf} $R7 == $R6
    ClearErrors
    ExecWait '"$INSTDIR\Orvane.exe" --uninstall-cleanup' $0
    ${If} ${Errors}
    ${OrIf} $0 <> 0
      StrCpy $R9 1
    ${EndIf}
  ${Else}
    StrCpy $R9 2
    ${If} $R8 != ""
      Delete "$R8\${DATA_FOLDER}\device-id.txt"
      Delete "$R8\${DATA_FOLDER}\privacy-and-terms-v3.accepted"
      Delete "$R8\${DATA_FOLDER}\wake-hotkey.conf"
      RMDir "$R8\${DATA_FOLDER}"
    ${EndIf}
  ${EndIf}

  Delete "$INSTDIR\Orvane.exe"
  Delete "$INSTDIR\libsodium.dll"
  Delete "$SMPROGRAMS\${SHORTCUT}"
  Delete "$DESKTOP\${SHORTCUT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  Delete "$INSTDIR\Uninstall.exe"
  ; Not recursive: files the user put into the folder stay, and so does the folder then.
  RMDir "$INSTDIR"

  ${If} $R9 = 1
    DetailPrint "未能删除用户数据文件夹 %APPDATA%\Briskodesk 或保存的登录信息。"
    MessageBox MB_OK|MB_ICONEXCLAMATION "${PRODUCT} 已卸载，但未能删除用户数据文件夹（%APPDATA%\Briskodesk）或保存的登录信息。$\r$\n$\r$\n请关闭可能正在使用该文件夹的程序后手动删除它；保存的登录信息可在“凭据管理器”中删除（Brisko.Pemmet.Login）。" /SD IDOK
    SetErrorLevel ${EXIT_USER_DATA_LEFT}
  ${ElseIf} $R9 = 2
    DetailPrint "保存的登录信息属于安装本软件的用户 $R7，当前用户 $R6 无法删除。"
    MessageBox MB_OK|MB_ICONEXCLAMATION "${PRODUCT} 已卸载。它由用户“$R7”安装，当前以“$R6”的身份卸载，因此无法删除“$R7”保存的登录信息$\r$\n（“凭据管理器”中的 Brisko.Pemmet.Login）。$\r$\n$\r$\n请以“$R7”的身份登录后在“凭据管理器”中删除它；如数据文件夹$\r$\n$R8\${DATA_FOLDER} 仍在，也请一并删除。" /SD IDOK
    SetErrorLevel ${EXIT_USER_DATA_LEFT}
  ${EndIf}
SectionEnd
