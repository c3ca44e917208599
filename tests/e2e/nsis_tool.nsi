; Stands in for an installer built with NSIS: records in UTF-16 what it read
; of its command line, copies payload.txt from the folder that --source=
; names into its install folder, and ends with the status FAKE_TOOL_EXIT asks
; for. It shows no window: the work is done before its pages would show.
; makensis -DOUT=FILE nsis_tool.nsi
Unicode true
RequestExecutionLevel user
Name "Test App"
OutFile "${OUT}"
; Without /D=, the folder that NSIS_INSTALL_DIR names.
InstallDir "C:\nsis-default"
!include FileFunc.nsh

Section
SectionEnd

Function .onInit
    ReadEnvStr $0 FAKE_TOOL_RECORD
    FileOpen $1 "$0.part" w
    FileWriteUTF16LE /BOM $1 "cmdline=$CMDLINE$\n"
    FileWriteUTF16LE $1 "exedir=$EXEDIR$\n"
    ${GetParameters} $2
    ClearErrors
    ${GetOptions} $2 "--source=" $3
    IfErrors 0 +2
        StrCpy $3 "(none)"
    FileWriteUTF16LE $1 "source=$3$\n"
    StrCmp $INSTDIR "C:\nsis-default" 0 +2
        ReadEnvStr $INSTDIR NSIS_INSTALL_DIR
    FileWriteUTF16LE $1 "instdir=$INSTDIR$\n"
    StrCpy $4 0
    IfSilent 0 +2
        StrCpy $4 1
    FileWriteUTF16LE $1 "silent=$4$\n"
    CreateDirectory $INSTDIR
    CopyFiles /SILENT "$3payload.txt" $INSTDIR
    StrCpy $4 0
    IfFileExists "$INSTDIR\payload.txt" 0 +2
        StrCpy $4 1
    FileWriteUTF16LE $1 "copied=$4$\n"
    FileClose $1
    Rename "$0.part" $0
    ReadEnvStr $5 FAKE_TOOL_EXIT
    SetErrorLevel $5
    Quit
FunctionEnd
