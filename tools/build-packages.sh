#!/bin/sh
# Builds what qvotk ships, each from this checkout in a build folder of its
# own, and leaves it in build/packages/:
#   deb:     the Debian packages, checked with lintian.
# Usage: tools/build-packages.sh [deb]   (without one: all)
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

ls "$out"
