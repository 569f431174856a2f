#!/bin/sh
# Fails unless the shared library exports exactly one function, QvoMain.
set -eu
lib=$1
exports=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVvi]$/ {print $3}' | sort -u)
echo "exports of $lib: $exports"
[ "$exports" = "QvoMain" ] || { echo "expected exactly QvoMain"; exit 1; }
