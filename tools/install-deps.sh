#!/bin/sh
# Installs the Debian packages the build needs, when they are missing.
# Usage: tools/install-deps.sh [core|bench]   (as root, or through sudo)
#   core: what the demo and the test lane need; without it, every lane's;
#   bench: also what the benchmarks and the comparison with libmodbus need.
set -eu
packages="cmake ninja-build g++ libgtest-dev googletest libcli11-dev pkgconf socat"
if [ "${1:-all}" = bench ]; then
  packages="$packages libbenchmark-dev libmodbus-dev socat"
elif [ "${1:-all}" != core ]; then
  packages="$packages clang libclang-rt-14-dev libbenchmark-dev gcc-multilib g++-multilib qemu-user
    g++-mingw-w64-i686 binutils-mingw-w64-i686 valgrind
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 socat"
fi
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
