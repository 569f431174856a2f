#!/bin/sh
# Installs the Debian packages the build needs, when they are missing.
# Usage: tools/install-deps.sh [core|bench|uart]   (as root, or through sudo)
#   core:  what the demo and the test lane need (the gateway's libraries, and
#          the broker, clients and tools its tests start: promtool from
#          prometheus, curl, openssl, sqlite3);
#   bench: also what the benchmarks and the comparison with libmodbus need;
#   uart:  also what the kernel lane needs: QEMU, busybox, and Debian's
#          kernel, unpacked (not installed) into /var/cache/qvotk/kernel;
#   without one: every lane's, and what the packages and the Windows zips
#          need (debhelper, lintian, llvm-dlltool, lld-link, zip).
set -eu
lane=${1:-all}
packages="cmake ninja-build g++ libgtest-dev googletest libcli11-dev nlohmann-json3-dev pkgconf socat tshark scdoc
  libtomlplusplus-dev libmodbus-dev libmosquitto-dev prometheus-cpp-dev libsystemd-dev libsqlite3-dev
  mosquitto mosquitto-clients mbpoll prometheus curl openssl sqlite3"
uart="qemu-system-x86 busybox-static cpio"
case $lane in
  core) ;;
  bench) packages="$packages libbenchmark-dev libmodbus-dev python3" ;;
  uart) packages="$packages $uart" ;;
  *)
    packages="$packages clang libclang-rt-14-dev libbenchmark-dev python3 gcc-multilib g++-multilib qemu-user
      g++-mingw-w64-i686 binutils-mingw-w64-i686 valgrind
      g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 $uart
      debhelper dpkg-dev lintian llvm lld zip unzip"
    ;;
esac
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
updated=no
if [ -n "$missing" ]; then
  echo "installing:$missing"
  $SUDO apt-get update -qq
  updated=yes
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

# The kernel lane boots Debian's own kernel: the version linux-image-amd64
# depends on, fetched and unpacked where the lane looks for it.
if [ "$lane" = uart ] || [ "$lane" = all ]; then
  kernel_dir=/var/cache/qvotk/kernel
  if [ ! -d "$kernel_dir/boot" ]; then
    [ "$updated" = yes ] || $SUDO apt-get update -qq
    image=$(apt-cache depends linux-image-amd64 | sed -n 's/.*Depends: \(linux-image-[0-9].*\)/\1/p' | head -n 1)
    work=$(mktemp -d)
    (cd "$work" && apt-get download "$image" >/dev/null 2>&1)
    $SUDO mkdir -p "$kernel_dir"
    $SUDO dpkg-deb -x "$work"/linux-image-*.deb "$kernel_dir"
    rm -rf "$work"
    echo "kernel: $image in $kernel_dir"
  fi
fi
