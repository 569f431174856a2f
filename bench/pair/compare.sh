#!/bin/sh
# The unpaced comparison: on one socat pair of pseudo-terminals, in turns,
# ROUNDS times each: a libmodbus RTU master and slave; the qvotk driver
# (through the qvotk tool) and tovek-sim; and, for the floor of the pair,
# a bare C client and responder that only write, poll and read. Prints every
# round, the median requests per second of each, and ours to libmodbus's.
# Usage: bench/pair/compare.sh BIN_DIR MODBUS_PAIR BARE_PAIR [REQUESTS] [ROUNDS]
set -eu
bin=$1
modbus=$2
bare=$3
requests=${4:-3000}
rounds=${5:-5}
dir=$(mktemp -d)
# Pids are kept by hand: without job control, `jobs -p` names the process
# group, which is the caller's (ninja's) own.
socat pty,raw,echo=0,link="$dir/a" pty,raw,echo=0,link="$dir/b" & socat=$!
trap 'kill $socat 2>/dev/null; rm -rf "$dir"' EXIT
for _ in $(seq 50); do [ -e "$dir/b" ] && break; sleep 0.05; done
# Port names hold 11 characters: the driver's side goes through a short link.
short=/tmp/qp$(($$ % 10000))
ln -sf "$dir/b" "$short"
trap 'kill $socat 2>/dev/null; rm -rf "$dir" "$short"' EXIT

for round in $(seq "$rounds"); do
  "$modbus" slave "$dir/a" & slave=$!
  sleep 0.2
  "$modbus" master "$dir/b" "$requests" | sed -n 's/.*: \([0-9.]*\) requests\/s.*/\1/p' >>"$dir/modbus"
  kill $slave; wait $slave 2>/dev/null || true
  "$bin/tovek-sim" --device "$dir/a" --station 1 >/dev/null 2>&1 & sim=$!
  sleep 0.2
  # To a file first: an interpreter on the pipe would take a core from the run.
  "$bin/qvotk" --json bench --kind point -n "$requests" --port "$short" --station 1 >"$dir/bench.json" || true
  python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["requestsPerSecond"])' "$dir/bench.json" \
    >>"$dir/qvotk"
  kill $sim; wait $sim 2>/dev/null || true
  "$bare" responder "$dir/a" & responder=$!
  sleep 0.2
  "$bare" client "$dir/b" "$requests" | sed -n 's/.*: \([0-9.]*\) requests\/s.*/\1/p' >>"$dir/bare"
  kill $responder; wait $responder 2>/dev/null || true
  echo "round $round: libmodbus $(tail -n 1 "$dir/modbus"), qvotk $(tail -n 1 "$dir/qvotk"), bare C $(tail -n 1 "$dir/bare") requests/s"
done
median() { sort -n "$1" | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
# A side that measured nothing fails the comparison.
for side in modbus qvotk bare; do
  if [ "$(grep -c '^[0-9.]*[1-9][0-9.]*$' "$dir/$side" 2>/dev/null)" != "$rounds" ]; then
    echo "compare.sh: $side gave no figure in some round" >&2
    exit 1
  fi
done
m=$(median "$dir/modbus"); q=$(median "$dir/qvotk"); b=$(median "$dir/bare")
echo "median: libmodbus $m, qvotk $q, bare C $b requests/s; qvotk to libmodbus $(echo "$q $m" | awk '{printf "%.2f", $1/$2}'), the floor to libmodbus $(echo "$b $m" | awk '{printf "%.2f", $1/$2}')"
