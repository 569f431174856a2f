#!/bin/sh
# The Windows zip's qvotk.lib as an MSVC host links it: a C caller of
# QvoMain, compiled for the MSVC ABI and linked with lld-link (/SAFESEH on
# x86, which refuses objects without safe exception handler tables), imports
# QvoMain from qvotk.dll.
# Usage: tests/windows_zip_link.sh ZIP 32|64
set -eu
zip=$1
bits=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unzip -q "$zip" -d "$work/zip"
if [ "$bits" = 32 ]; then
  target=i686-pc-windows-msvc
  link_options="/machine:x86 /safeseh"
else
  target=x86_64-pc-windows-msvc
  link_options="/machine:x64"
fi
# No C library here: the caller is its own entry point.
cat >"$work/caller.c" <<'C'
#include "qvotk.h"
int mainCRTStartup(void) {
  static QvoRequest request;
  return (int)QvoMain(&request);
}
C
clang --target=$target -ffreestanding -I"$work/zip" -c "$work/caller.c" -o "$work/caller.obj"
# shellcheck disable=SC2086
lld-link /nologo /nodefaultlib /entry:mainCRTStartup /subsystem:console $link_options \
  "$work/caller.obj" "$work/zip/qvotk.lib" /out:"$work/caller.exe"
imports=$(llvm-objdump -p "$work/caller.exe")
echo "$imports" | grep -q "DLL Name: qvotk.dll" || { echo "FAILED: caller.exe imports no qvotk.dll"; exit 1; }
echo "$imports" | grep -qw "QvoMain" || { echo "FAILED: caller.exe does not import QvoMain"; exit 1; }
echo "ok: win$bits: $target caller linked with lld-link $link_options, importing QvoMain from qvotk.dll"
