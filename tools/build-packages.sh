#!/bin/sh
# Builds what qvotk ships, each from this checkout in a build folder of its
# own, and leaves it in build/packages/:
#   deb:     the Debian packages, checked with lintian;
#   windows: qvotk-<version>-win32.zip and -win64.zip, from the mingw
#            builds, their qvotk.lib linked by an MSVC-style caller.
# Usage: tools/build-packages.sh [deb|windows]   (without one: both)
set -eu
cd "$(dirname "$0")/.."
source=$PWD
what=${1:-all}
version=$(sed -n 's/^project(qvotk VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
out=$source/build/packages
mkdir -p "$out"

if [ "$what" = deb ] || [ "$what" = all ]; then
  # The checkout's own files, tracked or new, and none of its build outputs.
  work=$source/build/packages-deb
  tree=$work/qvotk-$version
  rm -rf "$work"
  mkdir -p "$tree"
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files --cached --others --exclude-standard | while read -r file; do
      if [ -e "$file" ]; then echo "$file"; fi
    done | tar -cf - -T - | tar -xf - -C "$tree"
  else
    tar -cf - --exclude=./build --exclude=./.git . | tar -xf - -C "$tree"
  fi
  rm -f "$out"/*.deb
  (cd "$tree" && DEB_BUILD_OPTIONS="nocheck noddebs parallel=$(nproc)" nice dpkg-buildpackage -b -us -uc \
    >"$work/build.log" 2>&1) || { tail -n 40 "$work/build.log"; exit 1; }
  mv "$work"/*.deb "$out"/
  lintian --fail-on error,warning --tag-display-limit 0 "$out"/*.deb
fi

if [ "$what" = windows ] || [ "$what" = all ]; then
  for bits in 32 64; do
    if [ $bits = 32 ]; then toolchain=mingw-i686; else toolchain=mingw-x86_64; fi
    build=$source/build/packages-win$bits
    rm -rf "$build"
    cmake -S "$source" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$source/cmake/$toolchain.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DQVO_BUILD_TESTS=OFF >/dev/null
    nice cmake --build "$build" --target windows-zip >/dev/null
    zip=qvotk-$version-win$bits.zip
    cp "$build/$zip" "$out/"
    sh "$source/tests/windows_zip_link.sh" "$out/$zip" $bits
  done
fi
ls "$out"
