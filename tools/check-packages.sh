#!/bin/sh
# Installs the packages of build/packages/ on this machine, tries them as a
# user would, then purges them and checks that nothing of theirs is left
# (but the system user, which Debian keeps).
# Usage: tools/check-packages.sh   (as root, after tools/build-packages.sh)
set -eu
cd "$(dirname "$0")/.."
source=$PWD
packages="libqvotk7 libqvotk-dev qvotk-tools qvotk-gateway"
scratch=$(mktemp -d)
sim=
trap '[ -n "$sim" ] && kill "$sim" 2>/dev/null; rm -rf "$scratch"' EXIT
fail() {
  echo "FAILED: $*"
  exit 1
}

export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq --no-install-recommends ./build/packages/*.deb >/dev/null
for p in $packages; do dpkg-query -L "$p"; done | sort -u >"$scratch/files"

qvotk --version
config=/etc/qvotk/gateway.toml
qvotk-gateway --check-config "$config"
[ "$(stat -c '%U:%G %a' "$config")" = "root:qvotk 640" ] ||
  fail "$config is $(stat -c '%U:%G %a' "$config"), not root:qvotk 640"
id -nG qvotk | grep -qw dialout || fail "the user qvotk is not in dialout"
unit=/lib/systemd/system/qvotk-gateway.service
systemd-analyze verify "$unit"
systemd-analyze security --offline=yes --threshold=25 "$unit" | tail -n 1
for page in qvotk.1 tovek-sim.1 qvotk-gateway.8 qvotk-gateway.toml.5; do
  man -w "${page##*.}" "${page%.*}" >/dev/null || fail "man finds no ${page%.*}(${page##*.})"
done

# A host built against the installed library, reading tovek-sim through
# it, with the line captured; tshark decodes the capture with the
# installed dissector, and the same named with -X loads once.
cc -std=c99 -Wall -Werror "$source/examples/read_point.c" $(pkg-config --cflags --libs qvotk) \
  -o "$scratch/read_point"
cd "$scratch"
echo "STATION=12" >QVOTK01.int
mkfifo ready
tovek-sim --station 12 >ready &
sim=$!
port=$(timeout 10 head -n 1 ready)
[ -n "$port" ] || fail "tovek-sim did not say its port"
QVOTK_CAPTURE=$scratch/line.pcap ./read_point "$port"
kill "$sim"
sim=
tshark -r line.pcap -Y tovek 2>/dev/null
values=$(tshark -r line.pcap -Y "tovek.kind == 1" -T fields -e tovek.station -e tovek.value 2>/dev/null | tr '\t\n' ', ')
[ "$values" = "12,2 12,13 " ] || fail "tshark decoded the replies as '$values', not station 12's 2 and 13"
again=$(tshark -X lua_script:"$source/tools/wireshark/tovek.lua" -r line.pcap -Y tovek 2>&1 >/dev/null)
if echo "$again" | grep -q "Lua"; then fail "the dissector named with -X again: $again"; fi
cd "$source"

apt-get purge -y -qq $packages >/dev/null
left=$(while read -r path; do
  if [ -e "$path" ] && [ ! -d "$path" ]; then echo "$path"; fi
done <"$scratch/files")
for dir in /etc/qvotk /var/lib/qvotk-gateway /usr/include/qvotk /usr/lib/*/cmake/qvotk; do
  if [ -e "$dir" ]; then left="$left $dir"; fi
done
if dpkg-statoverride --list /etc/qvotk/gateway.toml >/dev/null; then
  left="$left (the override of /etc/qvotk/gateway.toml)"
fi
[ -z "$left" ] || fail "left after the purge: $left"
echo "ok: the packages install, work and purge cleanly"
