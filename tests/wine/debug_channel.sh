#!/bin/sh
# Runs a command with Wine's debug channel for OutputDebugStringA open, and
# passes when it succeeds and the debug output holds TEXT.
# Usage: debug_channel.sh TEXT COMMAND [ARGUMENTS...]
set -u
text=$1
shift
output=$(WINEDEBUG=warn+debugstr "$@" 2>&1)
status=$?
printf '%s\n' "$output"
[ $status -eq 0 ] || exit $status
printf '%s\n' "$output" | grep -F -q -- "$text" || { echo "the debug channel never showed: $text"; exit 1; }
