; bench-peer: the benchmark's peer, an installer of the common kind built
; with NSIS. It writes the same package and seven cabinets as the bootstrapper
; into one folder (BENCH_PEER_DIR, default C:\qmb-bench\peer), all before the
; installer tool starts, then runs the same installer tool, found through the
; same InstallerLocation value, with the same kind of command line, and waits
; for it. Its exit code is the tool's.
;
; Made as fast as NSIS allows: no compression, no data-block optimisation,
; no CRC check of its own file, no window.
;
;   makensis -DPAYLOAD_DIR=<folder of the ten files> -DOUTFILE=<exe> peer.nsi

!ifndef PAYLOAD_DIR
  !error "define PAYLOAD_DIR, the folder of the payload files"
!endif
!ifndef OUTFILE
  !error "define OUTFILE, the installer to write"
!endif

Unicode true
Name "qmb bench peer"
OutFile "${OUTFILE}"
SilentInstall silent
RequestExecutionLevel admin
SetCompress off
SetDatablockOptimize off
CRCCheck off
AutoCloseWindow true
ShowInstDetails nevershow

Section
  ReadEnvStr $0 BENCH_PEER_DIR
  StrCmp $0 "" 0 +2
    StrCpy $0 "C:\qmb-bench\peer"
  SetOutPath $0
  ; The package first, then the cabinets in the bootstrapper's order.
  File "/oname=qmb1.6.0_39.msi" "${PAYLOAD_DIR}/qmb1.6.0_39.msi"
  File "/oname=ss160390.cab" "${PAYLOAD_DIR}/ss160390.cab"
  File "/oname=st160390.cab" "${PAYLOAD_DIR}/st160390.cab"
  File "/oname=sj160390.cab" "${PAYLOAD_DIR}/sj160390.cab"
  File "/oname=sp160390.cab" "${PAYLOAD_DIR}/sp160390.cab"
  File "/oname=sz160390.cab" "${PAYLOAD_DIR}/sz160390.cab"
  File "/oname=sb160390.cab" "${PAYLOAD_DIR}/sb160390.cab"
  File "/oname=sr160390.cab" "${PAYLOAD_DIR}/sr160390.cab"
  ReadRegStr $1 HKLM "SOFTWARE\Microsoft\Windows\CurrentVersion\Installer" "InstallerLocation"
  ClearErrors
  ExecWait '"$1\msiexec.exe" /i "$0\qmb1.6.0_39.msi"  WRAPPER=1' $2
  IfErrors 0 +2
    StrCpy $2 1
  SetErrorLevel $2
SectionEnd
