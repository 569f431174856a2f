#!/bin/sh
# qvotk.exe under Wine against tovek-sim through a COM port, once per fault
# kind, the fault on every attempt: the tool's exit status is the status the
# driver promises for it.
# Usage: faults.sh STATE PREFIX LOOPBACK TOVEK_SIM QVOTK_EXE COM
set -eu
state=$1
prefix=$2
loopback=$3
simulator=$4
tool=$5
com=$6
here=$(dirname "$0")
port=$(echo "$com" | tr a-z A-Z)
trap 'sh "$here/line.sh" stop "$state" "$prefix"' EXIT
trap 'exit 143' TERM INT
sh "$here/line.sh" start "$state" "$prefix" "$com"

failures=0
# check FAULT EXPECTED_STATUS SUBCOMMAND [ARGUMENTS...]
check() {
  fault=$1
  expected=$2
  shift 2
  script=""
  for _ in 1 2 3 4 5 6 7 8 9 10; do script="$script --fault-script $fault"; done
  # Paced as the line is: on a pseudo-terminal a reply would otherwise come
  # before the request could have left the wire, and be skipped.
  # shellcheck disable=SC2086
  sh "$here/line.sh" peer "$state" "$simulator" --station 3 --block-count 4 --baud 9600 $script
  status=0
  # Every case ends within a few seconds; half a minute means a read that
  # waits for ever.
  timeout -k 5 30 sh "$here/wine.sh" "$prefix" "$loopback" "$tool" "$@" --port "$port" --station 3 --timeout 10 \
    --baud 9600 ||
    status=$?
  if [ "$status" -eq "$expected" ]; then
    echo "ok: $fault, $*: exit $status"
  else
    echo "FAILED: $fault, $*: exit $status, expected $expected"
    failures=$((failures + 1))
  fi
}

check none 0 read S 001
check status-error 1 read S
check no-reply 2 read 001
check short-reply 2 read 001
check bad-checksum 1 read 001
check bad-checksum 0 read S
check stray-bytes 0 read S
check wrong-block-count 2 block 4
[ "$failures" -eq 0 ]
