#!/bin/sh
# qvotk.exe poll under Wine on a COM port whose adapter is pulled out and
# plugged in again: the socat pair behind the COM port stops, and starts
# again with the Wine prefix's link pointing at its new pseudo-terminal.
# Polling goes on through the loss, and reads again once the driver has
# found the port.
# Usage: unplug.sh STATE PREFIX LOOPBACK TOVEK_SIM QVOTK_EXE COM
set -eu
state=$1
prefix=$2
loopback=$3
simulator=$4
tool=$5
com=$6
here=$(dirname "$0")
port=$(echo "$com" | tr a-z A-Z)
rounds="$state/rounds.json"
trap 'kill "$poll" 2>/dev/null || true; sh "$here/line.sh" stop "$state" "$prefix"' EXIT
trap 'exit 143' TERM INT

plug_in() {
  sh "$here/line.sh" start "$state" "$prefix" "$com"
  sh "$here/line.sh" peer "$state" "$simulator" --station 3 --s-point 4 --baud 9600
}
# Waits until the last round has STATUS; at most 30 s.
wait_for_round() {
  for _ in $(seq 300); do
    last=$(grep '"round"' "$rounds" 2>/dev/null | tail -n 1)
    case $last in *"\"status\":$1}"*) return 0 ;; esac
    sleep 0.1
  done
  echo "unplug.sh: no round with status $1; the last: $last"
  return 1
}

plug_in
sh "$here/wine.sh" "$prefix" "$loopback" "$tool" --json poll S -i 100 --port "$port" --station 3 --timeout 10 \
  --baud 9600 >"$rounds" 2>"$state/poll.err" &
poll=$!
wait_for_round 0
kill "$(cat "$state/socat.pid")"  # pulled out
wait_for_round 2
kill -0 "$poll"  # still polling
plug_in  # plugged in again: a new pseudo-terminal behind the same COM name
wait_for_round 0
echo "ok: polling went on through the loss and reads again"
