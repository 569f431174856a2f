#!/bin/sh
# Fails unless the DLL is a PE image of the expected format (PE_FORMAT, the
# 32-bit pei-i386 unless told) that exports exactly QvoMain, undecorated,
# imports only system libraries, and carries version 7.50.
set -eu
dll=$1
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
format=${PE_FORMAT:-pei-i386}
"$objdump" -f "$dll" | grep -q "file format $format\$" || { echo "not a $format image"; exit 1; }
dump=$("$objdump" -p "$dll")
exports=$(printf '%s\n' "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && NF==0 {on=0} on {print $NF}')
echo "exports: $exports"
[ "$exports" = "QvoMain" ] || { echo "expected exactly the export QvoMain"; exit 1; }
imports=$(printf '%s\n' "$dump" | awk '/DLL Name:/ {print $3}' | sort -u)
echo "imports:" $imports
for lib in $imports; do
  case $(echo "$lib" | tr 'A-Z' 'a-z') in
    kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll) ;;
    *) echo "unexpected import $lib"; exit 1 ;;
  esac
done
# The version resource holds FILEVERSION 7,50,0,0: dwFileVersionMS 0x00070032.
"$objdump" -s -j .rsrc "$dll" | grep -q -i '32000700' || { echo "no version 7.50 resource"; exit 1; }
echo "ok"
