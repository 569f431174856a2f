#!/bin/sh
# A serial line for the Wine lane: a socat pair of pseudo-terminals whose
# host end Wine knows as a COM port, and optionally a native tovek-sim on the
# other end.
#   line.sh start STATE PREFIX HOST_COM [PEER_COM]   the pair; links in dosdevices
#                                                      (the peer end too, when named)
#   line.sh peer STATE TOVEK_SIM [ARGUMENTS...]       (re)starts tovek-sim on the peer end
#   line.sh stop STATE PREFIX                         ends both and removes the links
set -eu
command=$1
state=$2
shift 2

stop_pid() {
  [ -f "$1" ] || return 0
  kill "$(cat "$1")" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$(cat "$1")" 2>/dev/null || break; sleep 0.05; done
  rm -f "$1"
}

case $command in
  start)
    prefix=$1
    sh "$(dirname "$0")/wine.sh" "$prefix" /dev/null --prefix-only
    sh "$0" stop "$state" "$prefix"
    mkdir -p "$state"
    # socat keeps no descriptor of ctest's, or ctest would wait for it.
    socat pty,raw,echo=0,link="$state/host" pty,raw,echo=0,link="$state/peer" </dev/null >/dev/null 2>&1 &
    echo $! >"$state/socat.pid"
    for _ in $(seq 100); do [ -e "$state/host" ] && [ -e "$state/peer" ] && break; sleep 0.05; done
    [ -e "$state/peer" ] || { echo "line.sh: socat made no pair"; exit 1; }
    ln -sfn "$(readlink -f "$state/host")" "$prefix/dosdevices/$2"
    echo "$prefix/dosdevices/$2" >"$state/links"
    if [ $# -ge 3 ]; then
      ln -sfn "$(readlink -f "$state/peer")" "$prefix/dosdevices/$3"
      echo "$prefix/dosdevices/$3" >>"$state/links"
    fi
    ;;
  peer)
    simulator=$1
    shift
    stop_pid "$state/sim.pid"
    "$simulator" --device "$state/peer" --port-file "$state/sim.port" "$@" </dev/null >"$state/sim.log" 2>&1 &
    echo $! >"$state/sim.pid"
    for _ in $(seq 100); do [ -s "$state/sim.port" ] && break; sleep 0.05; done
    rm -f "$state/sim.port"
    kill -0 "$(cat "$state/sim.pid")" || { cat "$state/sim.log"; exit 1; }
    ;;
  stop)
    stop_pid "$state/sim.pid"
    stop_pid "$state/socat.pid"
    if [ -f "$state/links" ]; then
      while read -r link; do rm -f "$link"; done <"$state/links"
      rm -f "$state/links"
    fi
    ;;
  *)
    echo "usage: line.sh start|peer|stop STATE ..." >&2
    exit 64
    ;;
esac
