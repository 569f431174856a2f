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
# tovek-sim prints its port on a pipe once it serves it.
mkfifo ready
"$simulator" --station 12 >ready &
sim=$!
port=$(timeout 10 head -n 1 ready)
[ -n "$port" ] || { echo "tovek-sim did not say its port"; exit 1; }
expected=$(printf 'S = 2\n001 = 13')
for host in "$scratch/read_point_pkg_config" "$scratch/consumer/read_point"; do
  got=$(LD_LIBRARY_PATH=$(pkg-config --variable=libdir qvotk) "$host" "$port")
  echo "$host: $got" | tr '\n' ' '
  echo
  [ "$got" = "$expected" ] || { echo "expected: $expected"; exit 1; }
done
