#!/bin/sh
# Installs the Debian packages that the build lanes need, when missing.
# Usage: tools/install-deps.sh   (as root, or through sudo)
set -eu
packages="cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev googletest libbenchmark-dev libcli11-dev
  gcc-multilib g++-multilib qemu-user g++-mingw-w64-i686 binutils-mingw-w64-i686 valgrind socat"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
