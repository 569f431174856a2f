#!/bin/sh
# Runs a Windows program under wine64 in the given Wine prefix, made on first
# use, with the modem-line loopback preloaded.
# Usage: wine.sh PREFIX LOOPBACK PROGRAM [ARGUMENTS...]
#        wine.sh PREFIX LOOPBACK --prefix-only     makes the prefix and stops
set -eu
prefix=$1
loopback=$2
shift 2
wine=${QVO_WINE64:-/usr/lib/wine/wine64}
export WINEPREFIX="$prefix"
# Quiet unless a test opens a channel; no dialogs for Mono or Gecko; no display.
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# Tests start in parallel: the first makes the prefix, the others wait for it.
if [ ! -e "$prefix/.made" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -e "$prefix/.made" ]; then
      "$wine" wineboot -i >/dev/null 2>&1
      WINEPREFIX="$prefix" "$(dirname "$wine")/wineserver" -w
      touch "$prefix/.made"
    fi
  ) 9>"$prefix.lock"
fi
[ "$1" = --prefix-only ] && exit 0
LD_PRELOAD="$loopback${LD_PRELOAD:+:$LD_PRELOAD}" exec "$wine" "$@"
