#!/bin/sh
# Runs the README's five-minute start as a reader would: the commands of the
# sh block under "## A five-minute start", as written, with the built
# programs first on PATH. Whatever it leaves running is stopped.
set -eu
readme=$1
bin=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
awk '/^## A five-minute start/ { section = 1 }
     section && /^```sh/ { inside = 1; next }
     inside && /^```/ { exit }
     inside' "$readme" >"$work/start.sh"
if ! [ -s "$work/start.sh" ]; then
  echo "$readme: no sh block under \"## A five-minute start\"" >&2
  exit 1
fi
cd "$work"
status=0
# A session of its own, so that all it started can be stopped as one.
PATH="$bin:$PATH" setsid sh -eu start.sh &
leader=$!
wait "$leader" || status=$?
kill -TERM "-$leader" 2>/dev/null || true
exit "$status"
