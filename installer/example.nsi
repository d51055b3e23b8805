; An example per-user installer built on cfgline.nsh. It installs cfgline.exe,
; puts the install folder on the user's PATH and registers the folder in a
; host program's plug-in list, a text file; its uninstaller takes both back
; out. Everything it touches belongs to the user, so it needs no elevation.
;
;   makensis -DCFGLINE_BIN=<folder with cfgline.exe> example.nsi
;
; A relative CFGLINE_BIN is taken from the script's folder, where makensis
; works unless given -NOCD; by default it is the folder above the script's,
; where the ZIP has cfgline.exe. Optional: -DPLUGIN_LIST=<file>, the text
; file to edit (it must exist).
; A failed edit is shown (logged only, when silent) and makes the installer
; or uninstaller end with exit status 2.

Unicode true

!ifndef CFGLINE_BIN
  !define CFGLINE_BIN ".."
!endif
!ifndef PLUGIN_LIST
  !define PLUGIN_LIST "$APPDATA\Example Host\plugins.txt"
!endif

!include LogicLib.nsh
!addincludedir "${__FILEDIR__}"  ; cfgline.nsh is beside this script, also with -NOCD,
!addincludedir ".."  ; or, in the ZIP, in the folder above
!include "cfgline.nsh"

Name "cfgline example"
OutFile "cfgline-example-setup.exe"
InstallDir "$LOCALAPPDATA\Programs\cfgline example"
RequestExecutionLevel user
ShowInstDetails show
ShowUninstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Logs and shows a failed edit; RESULT is what a Cfgline macro left.
!macro CheckEdit WHAT RESULT
  ${If} ${RESULT} != ""
    DetailPrint "${WHAT} failed: ${RESULT}"
    MessageBox MB_OK|MB_ICONEXCLAMATION "${WHAT} failed: ${RESULT}" /SD IDOK
    SetErrorLevel 2
  ${EndIf}
!macroend

Section "Install"
  SetOutPath $INSTDIR
  File "${CFGLINE_BIN}\cfgline.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ${CfglineAddPathItem} $INSTDIR $0
  !insertmacro CheckEdit "Adding $INSTDIR to PATH" $0
  ${CfglineAddLine} "${PLUGIN_LIST}" "plugin=$INSTDIR" $0
  !insertmacro CheckEdit "Registering the plug-in in ${PLUGIN_LIST}" $0
SectionEnd

Section "Uninstall"
  ${CfglineRemoveLine} "${PLUGIN_LIST}" "plugin=$INSTDIR" $0
  !insertmacro CheckEdit "Removing the plug-in from ${PLUGIN_LIST}" $0
  ${CfglineRemovePathItem} $INSTDIR $0
  !insertmacro CheckEdit "Removing $INSTDIR from PATH" $0

  Delete "$INSTDIR\cfgline.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir $INSTDIR
SectionEnd
