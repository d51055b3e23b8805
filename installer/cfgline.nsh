; cfgline.nsh: NSIS macros that make, and undo, single-line edits through
; cfgline.exe: an item of a ;-separated registry value such as PATH, and a
; line of a text file.
;
;   !define CFGLINE_EXE "$PLUGINSDIR\cfgline.exe"  ; optional, see below
;   !include "cfgline.nsh"
;
;   ${CfglineAddPathItem}    ITEM RESULT            ; HKCU\Environment, Path (*)
;   ${CfglineRemovePathItem} ITEM RESULT
;   ${CfglineAddRegItem}     KEY VALUENAME ITEM RESULT
;   ${CfglineRemoveRegItem}  KEY VALUENAME ITEM RESULT
;   ${CfglineAddLine}        FILE TEXT RESULT
;   ${CfglineRemoveLine}     FILE TEXT RESULT
;
; KEY is written as on cfgline's command line: HKCU\..., HKLM\..., HKCR\...,
; HKU\... or HKCC\.... RESULT is a variable, such as $0: it is left empty
; when the edit succeeded (or had nothing to do), and otherwise holds the
; text to show or log. cfgline.exe always ends with exit status 0 and reports
; a failure only by printing a message, so any output counts as a failure.
;
; (*) cfgline.exe never creates a value, but a user's HKCU\Environment has
; no Path value until something puts one there (a new profile). So when no
; value named Path exists at all, CfglineAddPathItem creates it as a
; REG_EXPAND_SZ holding ITEM alone and announces the change to running
; programs (WM_SETTINGCHANGE, "Environment"), as cfgline.exe does after its
; own edits; a Path of another type is left to cfgline.exe, which refuses it.
;
; CFGLINE_EXE is where cfgline.exe is when the macros run; by default
; $INSTDIR\cfgline.exe, which serves the installer (after it has copied the
; program there) and the uninstaller alike. An ITEM, TEXT, KEY or FILE must
; not contain a double quote nor end with a backslash, as they are passed
; quoted on a command line.

!ifndef CFGLINE_NSH
!define CFGLINE_NSH

!include LogicLib.nsh
!include WinMessages.nsh

!ifndef CFGLINE_EXE
  !define CFGLINE_EXE "$INSTDIR\cfgline.exe"
!endif

Var CfglineStatus

; Runs cfgline.exe with ARGS and leaves its output, or why it did not run,
; in RESULT.
!macro _CfglineRun ARGS RESULT
  nsExec::ExecToStack `"${CFGLINE_EXE}" ${ARGS}`
  Pop $CfglineStatus  ; the exit status, or "error" or "timeout"
  Pop ${RESULT}       ; what the program printed
  ${If} $CfglineStatus == "error"
  ${OrIf} $CfglineStatus == "timeout"
    StrCpy ${RESULT} "${CFGLINE_EXE} did not run ($CfglineStatus)."
  ${EndIf}
!macroend

!macro CfglineAddRegItem KEY VALUENAME ITEM RESULT
  !insertmacro _CfglineRun `i regline "${KEY}" "${VALUENAME}" "${ITEM}"` ${RESULT}
!macroend
!macro CfglineRemoveRegItem KEY VALUENAME ITEM RESULT
  !insertmacro _CfglineRun `u regline "${KEY}" "${VALUENAME}" "${ITEM}"` ${RESULT}
!macroend
!macro CfglineAddPathItem ITEM RESULT
  !ifndef _CFGLINE_PATH_NAME
    !define _CFGLINE_PATH_NAME
    Var /GLOBAL CfglinePathName
  !endif
  ; Looks for a value named Path, of any type, among the key's values.
  StrCpy $CfglineStatus 0
  ${Do}
    ClearErrors
    EnumRegValue $CfglinePathName HKCU "Environment" $CfglineStatus
    ${If} ${Errors}
      StrCpy $CfglinePathName ""  ; no more values, or no key
      ${ExitDo}
    ${EndIf}
    ${IfThen} $CfglinePathName == "Path" ${|} ${ExitDo} ${|}  ; == ignores case, as Windows does
    IntOp $CfglineStatus $CfglineStatus + 1
  ${Loop}
  ${If} $CfglinePathName == "Path"
    !insertmacro CfglineAddRegItem "HKCU\Environment" "Path" `${ITEM}` ${RESULT}
  ${Else}
    ClearErrors
    WriteRegExpandStr HKCU "Environment" "Path" `${ITEM}`
    ${If} ${Errors}
      StrCpy ${RESULT} "Cannot create the value Path in HKCU\Environment."
    ${Else}
      StrCpy ${RESULT} ""
      SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
    ${EndIf}
  ${EndIf}
!macroend
!macro CfglineRemovePathItem ITEM RESULT
  !insertmacro CfglineRemoveRegItem "HKCU\Environment" "Path" `${ITEM}` ${RESULT}
!macroend
!macro CfglineAddLine FILE TEXT RESULT
  !insertmacro _CfglineRun `i textline "${FILE}" "${TEXT}"` ${RESULT}
!macroend
!macro CfglineRemoveLine FILE TEXT RESULT
  !insertmacro _CfglineRun `u textline "${FILE}" "${TEXT}"` ${RESULT}
!macroend

!define CfglineAddRegItem `!insertmacro CfglineAddRegItem`
!define CfglineRemoveRegItem `!insertmacro CfglineRemoveRegItem`
!define CfglineAddPathItem `!insertmacro CfglineAddPathItem`
!define CfglineRemovePathItem `!insertmacro CfglineRemovePathItem`
!define CfglineAddLine `!insertmacro CfglineAddLine`
!define CfglineRemoveLine `!insertmacro CfglineRemoveLine`

!endif
