#!/bin/sh
# Installs the build into a scratch prefix and builds the example host
# against the installed tree twice, as host projects do: with pkg-config,
# and as a C-only CMake project with find_package(qvotk). Both builds then
# read the S point and point 001 from tovek-sim.
# Usage: tests/installed_consumer.sh BUILD_DIR SOURCE_DIR TOVEK_SIM
set -eu
build=$1
source=$2
simulator=$3
scratch=$(mktemp -d)
sim=
trap '[ -n "$sim" ] && kill "$sim" 2>/dev/null; rm -rf "$scratch"' EXIT

prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
export PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name qvotk.pc)")
echo "pkg-config: $(pkg-config --cflags --libs qvotk)"
cc -std=c99 -pedantic-errors -Wall -Wextra -Werror "$source/examples/read_point.c" \
  $(pkg-config --cflags --libs qvotk) -o "$scratch/read_point_pkg_config"

cmake -S "$source/tests/consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DQVO_EXAMPLE="$source/examples/read_point.c" >/dev/null
cmake --build "$scratch/consumer" >/dev/null

cd "$scratch"
echo "STATION=12" >QVOTK01.int
"$simulator" --station 12 --port-file port >/dev/null &
sim=$!
for _ in $(seq 100); do [ -s port ] && break; sleep 0.05; done
port=$(cat port)
expected=$(printf 'S = 2\n001 = 13')
for host in "$scratch/read_point_pkg_config" "$scratch/consumer/read_point"; do
  got=$(LD_LIBRARY_PATH=$(pkg-config --variable=libdir qvotk) "$host" "$port")
  echo "$host: $got" | tr '\n' ' '
  echo
  [ "$got" = "$expected" ] || { echo "expected: $expected"; exit 1; }
done
