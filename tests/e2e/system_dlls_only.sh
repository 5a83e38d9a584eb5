#!/bin/bash
# The programs we ship are copied alone into an update folder, so each may import only DLLs that
# every Windows machine has. Usage: system_dlls_only.sh OBJDUMP EXE...
set -u
objdump=$1
shift
allowed=" advapi32.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll msimg32.dll msvcrt.dll "
allowed+=" ole32.dll oleaut32.dll shell32.dll shlwapi.dll user32.dll version.dll "
failed=0
for exe in "$@"; do
  dlls=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
  if [ -z "$dlls" ]; then
    echo "FAIL: $exe: no import table read"
    failed=1
    continue
  fi
  for dll in $dlls; do
    case "$allowed" in
      *" $dll "*) ;;
      *) echo "FAIL: $(basename "$exe") imports $dll"; failed=1 ;;
    esac
  done
done
[ "$failed" = 0 ] && echo "every program imports system DLLs only"
exit "$failed"
