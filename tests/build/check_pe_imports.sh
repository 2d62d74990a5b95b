#!/bin/sh
# usage: check_pe_imports.sh OBJDUMP FILE...
# Fails unless each FILE is a PE32+ (x86-64) image whose imported DLLs are all
# part of Windows itself.
set -u
objdump="$1"; shift
allowed="kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll ole32.dll oleaut32.dll
comctl32.dll comdlg32.dll winhttp.dll bcrypt.dll crypt32.dll msvcrt.dll ntdll.dll ws2_32.dll
shlwapi.dll uxtheme.dll version.dll userenv.dll secur32.dll dwmapi.dll msimg32.dll rstrtmgr.dll"
status=0
[ $# -gt 0 ] || { echo "no executables to check"; exit 1; }
for file in "$@"; do
  header=$("$objdump" -f "$file" 2>&1) || { echo "FAIL $file: objdump failed: $header"; status=1; continue; }
  case "$header" in
    *"file format pei-x86-64"*) ;;
    *) echo "FAIL $file: not a PE32+ x86-64 image"; status=1; continue ;;
  esac
  dlls=$("$objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
  for dll in $dlls; do
    case " $(echo $allowed) " in
      *" $dll "*) ;;
      *) echo "FAIL $file imports $dll, which is not part of Windows"; status=1 ;;
    esac
  done
  echo "checked $(basename "$file"): $(echo $dlls)"
done
exit $status
