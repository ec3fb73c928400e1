; The benchmark's NSIS contender: the same job as bench/Floor.cpp and Quillbrook's unattended install,
; run silently with /S. Read the target path (HKCU, then HKLM), create its folder, write the database,
; delete the host's stale file beside it, store the creation date. Nothing else: no uninstaller, no
; pages, no log, and no check of the installer's own checksum at start-up, which NSIS does by default
; and which reads the whole package once more (at 256 MiB it took 960 ms instead of 320 ms).
;
;   makensis -DPAYLOAD=Pricelist.mdb -DOUTFILE=NsisSetup.exe [-DSTORED | -DLZMA] PricelistSetup.nsi
;
; STORED keeps the payload uncompressed; LZMA compresses it with NSIS's smallest choice, solid LZMA;
; otherwise it is compressed with zlib, NSIS's default.

!ifndef PAYLOAD | OUTFILE
  !error "Define PAYLOAD and OUTFILE"
!endif

!ifdef STORED
  SetCompress off
!else ifdef LZMA
  SetCompressor /SOLID lzma
!else
  SetCompressor zlib
!endif

Unicode true
CRCCheck off
Name "Pricelist"
OutFile "${OUTFILE}"
RequestExecutionLevel user
ShowInstDetails nevershow
AutoCloseWindow true

!define SETTINGS "SOFTWARE\Halvero\dravik\Bel\Serveurs\Bilan"
!define COUNTRY "SOFTWARE\Halvero\dravik\Bel"

; OUT = the value NAME of the settings key, from HKCU, else HKLM.
!macro ReadSetting OUT NAME
  ReadRegStr ${OUT} HKCU "${SETTINGS}" "${NAME}"
  StrCmp ${OUT} "" 0 +2
    ReadRegStr ${OUT} HKLM "${SETTINGS}" "${NAME}"
!macroend

; $0 = the text before the last backslash of $1, $2 = the text after it.
Function SplitPath
  StrCpy $0 ""
  StrCpy $2 $1
  StrLen $3 $1
  loop:
    IntOp $3 $3 - 1
    IntCmp $3 0 done done
    StrCpy $4 $1 1 $3
    StrCmp $4 "\" 0 loop
    StrCpy $0 $1 $3
    IntOp $3 $3 + 1
    StrCpy $2 $1 "" $3
  done:
FunctionEnd

Section
  !insertmacro ReadSetting $5 "CheminBaseTarif"
  StrCmp $5 "" 0 +3
    SetErrorLevel 4
    Quit
  StrCpy $1 $5
  Call SplitPath
  StrCpy $6 $0
  CreateDirectory $6
  SetOverwrite on
  File "/oname=$5" "${PAYLOAD}"

  !insertmacro ReadSetting $1 "CheminTarifsMgr"
  StrCmp $1 "" date
    Call SplitPath
    Delete "$6\$2"
  date:
  WriteRegStr HKLM "${COUNTRY}" "date_creation_tarif" "2024-01-09"
SectionEnd
