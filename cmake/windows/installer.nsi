; The operator's installer: one file that installs OperatorVelm per user, or,
; started from <folder>\tmp\ where Updater saves it, updates <folder> in
; place. It never asks for elevation. /S installs silently, /D=<folder> (last
; and unquoted) chooses the folder of a new installation.
;
; makensis -WX -DVELM_RELEASE=<N> -DVELM_INSTALL_LIST=<nsh> -DVELM_UNINSTALL_LIST=<nsh>
;          -DVELM_FILE_VERSION=<N, or 0 above 65535> -DVELM_SIZE_KB=<size> -DVELM_OUTFILE=<setup.exe> installer.nsi
; The two lists, written by the release script, name every file of the
; folder that ships: what is installed is exactly what is removed again.

Unicode true
Target amd64-unicode
RequestExecutionLevel user
ManifestDPIAware true
SetCompressor /SOLID lzma

!ifndef VELM_RELEASE | VELM_FILE_VERSION | VELM_INSTALL_LIST | VELM_UNINSTALL_LIST | VELM_SIZE_KB | VELM_OUTFILE
    !error "VELM_RELEASE, VELM_FILE_VERSION, VELM_INSTALL_LIST, VELM_UNINSTALL_LIST, VELM_SIZE_KB and VELM_OUTFILE must be defined"
!endif

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
    SetOverwrite on
    !include "${VELM_INSTALL_LIST}"

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
SectionEnd

Section "Uninstall"
    ; Only what the installer put there: tmp\ and the operator's own files
    ; stay, and so does the folder while it holds them.
    !include "${VELM_UNINSTALL_LIST}"
    Delete "$INSTDIR\uninstall.exe"
    Delete "$SMPROGRAMS\OperatorVelm.lnk"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
    SetOutPath "$TEMP"
    RMDir "$INSTDIR"
SectionEnd
