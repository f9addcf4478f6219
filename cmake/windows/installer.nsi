; The operator's installer: one file that installs OperatorVelm per user, or,
; started from <folder>\tmp\ where Updater saves it, updates <folder> in
; place. It never asks for elevation. /S installs silently, /D=<folder> (last
; and unquoted) chooses the folder of a new installation.
;
; An update is whole or not at all: nothing is changed while a program of
; the folder is open, no file is ever skipped, and version.json, which says
; which release the folder holds, is written last.
; Exit codes: 0 installed (or removed) whole; 1 cancelled by the operator;
; 2 stopped part way, version.json left as it was; 3 a program of the folder
; is open, nothing changed.
;
; makensis -WX -DVELM_RELEASE=<N> -DVELM_FOLDER=<folder> -DVELM_FILE_LIST=<nsh>
;          -DVELM_FILE_VERSION=<N, or 0 above 65535> -DVELM_SIZE_KB=<size> -DVELM_OUTFILE=<setup.exe> installer.nsi
; The file list, written by the release script, names every file and
; sub-folder of the folder that ships: VelmEachFile <macro> inserts
; <macro> "<folder>" "<path>" for each file, with its folder under $INSTDIR
; and its path relative to it, and VelmEachSubFolder <macro> inserts
; <macro> "<folder>" for each sub-folder, deepest first. What is installed
; is exactly what is checked first and what is removed again.

Unicode true
Target amd64-unicode
RequestExecutionLevel user
ManifestDPIAware true
SetCompressor /SOLID lzma

!ifndef VELM_RELEASE | VELM_FOLDER | VELM_FILE_VERSION | VELM_FILE_LIST | VELM_SIZE_KB | VELM_OUTFILE
    !error "VELM_RELEASE, VELM_FOLDER, VELM_FILE_VERSION, VELM_FILE_LIST, VELM_SIZE_KB and VELM_OUTFILE must be defined"
!endif
!include "${VELM_FILE_LIST}"

!define EXIT_STOPPED_PART_WAY 2
!define EXIT_PROGRAM_OPEN 3

; A file that cannot be written stops the installation instead of being
; skipped: a skipped file leaves a folder of two releases.
AllowSkipFiles off

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\OperatorVelm"

Name "OperatorVelm"
OutFile "${VELM_OUTFILE}"
BrandingText "OperatorVelm, выпуск ${VELM_RELEASE}"
; A new installation goes where the last one went, else per user.
InstallDir "$LOCALAPPDATA\Programs\OperatorVelm"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"

VIProductVersion "${VELM_FILE_VERSION}.0.0.0"
VIAddVersionKey /LANG=1049 "ProductName" "OperatorVelm"
VIAddVersionKey /LANG=1049 "FileDescription" "Установка OperatorVelm"
VIAddVersionKey /LANG=1049 "FileVersion" "${VELM_RELEASE}"
VIAddVersionKey /LANG=1049 "ProductVersion" "${VELM_RELEASE}"
VIAddVersionKey /LANG=1049 "LegalCopyright" "© Разработчики OperatorVelm"

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"

Var Updating
Var WelcomeText

!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TITLE "OperatorVelm, выпуск ${VELM_RELEASE}"
!define MUI_WELCOMEPAGE_TEXT "$WelcomeText"
!insertmacro MUI_PAGE_WELCOME
!define MUI_PAGE_CUSTOMFUNCTION_PRE SkipFolderWhenUpdating
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Запустить OperatorVelm"
!define MUI_FINISHPAGE_RUN_FUNCTION StartOperatorVelm
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "Russian"

Function .onInit
    ; Updater saves into tmp\ below the folder the operator works in: that
    ; folder is the one to update.
    ${GetFileName} "$EXEDIR" $0
    ${GetParent} "$EXEDIR" $1
    ${If} $0 == "tmp"
    ${AndIf} ${FileExists} "$1\OperatorVelm.exe"
        StrCpy $INSTDIR $1
        StrCpy $Updating 1
        StrCpy $WelcomeText "OperatorVelm в папке$\r$\n$\r$\n$INSTDIR$\r$\n$\r$\nбудет обновлён до выпуска ${VELM_RELEASE}. Папка tmp и ваши собственные файлы останутся на месте.$\r$\n$\r$\nЕсли OperatorVelm открыт, закройте его и нажмите «Далее»."
    ${Else}
        StrCpy $Updating 0
        StrCpy $WelcomeText "Будет установлен OperatorVelm, выпуск ${VELM_RELEASE}: рабочее место оператора и программа обновления.$\r$\n$\r$\nУстановка не требует прав администратора.$\r$\n$\r$\nНажмите «Далее», чтобы продолжить."
    ${EndIf}
FunctionEnd

; Sets $R0 to the file when a program holds it: Windows refuses to open a
; running program or a loaded DLL for writing. Opening changes nothing.
!macro VelmCheckOpen FOLDER PATH
    ${If} $R0 == ""
    ${AndIf} ${FileExists} "$INSTDIR\${PATH}"
        ClearErrors
        FileOpen $R1 "$INSTDIR\${PATH}" a
        ${If} ${Errors}
            StrCpy $R0 "$INSTDIR\${PATH}"
        ${Else}
            FileClose $R1
        ${EndIf}
    ${EndIf}
!macroend

; Every file but version.json, which goes last.
!macro VelmInstallFile FOLDER PATH
    !if "${PATH}" != "version.json"
        SetOutPath "${FOLDER}"
        File "${VELM_FOLDER}\${PATH}"
    !endif
!macroend

!macro VelmDeleteFile FOLDER PATH
    Delete "$INSTDIR\${PATH}"
!macroend

!macro VelmRemoveFolder FOLDER
    RMDir "${FOLDER}"
!macroend

; Waits, before anything is changed, until no program of the folder is open.
; The programs are never closed from here: the operator may have unsaved
; work in them. Silently there is nobody to ask, so nothing is changed.
!macro VelmWaitUntilClosed UN WHAT
Function ${UN}WaitUntilClosed
    check:
    StrCpy $R0 ""
    !insertmacro VelmEachFile VelmCheckOpen
    ${If} $R0 == ""
        Return
    ${EndIf}
    DetailPrint "Файл занят другой программой: $R0"
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "В папке$\r$\n$\r$\n$INSTDIR$\r$\n$\r$\nещё открыт OperatorVelm или программа обновления.$\r$\n$\r$\nСохраните то, что нужно, закройте их и нажмите «Повтор».$\r$\n$\r$\n«Отмена» прервёт ${WHAT}, и в папке ничего не изменится." /SD IDCANCEL IDRETRY check
    SetErrorLevel ${EXIT_PROGRAM_OPEN}
    Quit
FunctionEnd
!macroend
!insertmacro VelmWaitUntilClosed "" "установку"
!insertmacro VelmWaitUntilClosed "un." "удаление"

Function SkipFolderWhenUpdating
    ${If} $Updating == 1
        Abort
    ${EndIf}
FunctionEnd

Function StartOperatorVelm
    ; The programs read version.json from their working folder.
    SetOutPath "$INSTDIR"
    Exec '"$INSTDIR\OperatorVelm.exe"'
FunctionEnd

Section "OperatorVelm"
    Call WaitUntilClosed
    SetOverwrite on
    ClearErrors
    !insertmacro VelmEachFile VelmInstallFile

    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    ; The shortcut starts the program in its own folder: CreateShortcut takes
    ; the output folder as the working folder.
    CreateShortcut "$SMPROGRAMS\OperatorVelm.lnk" "$INSTDIR\OperatorVelm.exe"

    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "OperatorVelm"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VELM_RELEASE}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\OperatorVelm.exe"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" ${VELM_SIZE_KB}
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1

    ; Last, and only over a folder that is whole: version.json tells the
    ; update check which release is here, so a folder left part way keeps
    ; the old number and is offered the update again.
    ${IfNot} ${Errors}
        SetOutPath "$INSTDIR"
        File "${VELM_FOLDER}\version.json"
    ${EndIf}
    ${If} ${Errors}
        SetErrorLevel ${EXIT_STOPPED_PART_WAY}
        Abort "Не все файлы удалось записать. Закройте OperatorVelm и программу обновления и запустите установку ещё раз."
    ${EndIf}
SectionEnd

Section "Uninstall"
    Call un.WaitUntilClosed
    ; Only what the installer put there: tmp\ and the operator's own files
    ; stay, and so does the folder while it holds them.
    ClearErrors
    !insertmacro VelmEachFile VelmDeleteFile
    ${If} ${Errors}
        SetErrorLevel ${EXIT_STOPPED_PART_WAY}
        Abort "Не все файлы удалось удалить. Закройте OperatorVelm и программу обновления и запустите удаление ещё раз."
    ${EndIf}
    ; Sub-folders go only when empty, and the folder stays while it holds
    ; tmp\: neither is an error.
    !insertmacro VelmEachSubFolder VelmRemoveFolder
    Delete "$INSTDIR\uninstall.exe"
    Delete "$SMPROGRAMS\OperatorVelm.lnk"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
    SetOutPath "$TEMP"
    RMDir "$INSTDIR"
SectionEnd
