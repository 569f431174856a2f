#!/bin/sh
# The gateway's service as `cmake --install` leaves it, at any prefix: the
# unit where systemd looks for that prefix's units, starting the installed
# binary with the installed configuration; nothing written outside the
# prefix; the unit valid and hardened (systemd rates its exposure 2.5 or
# lower).
# Usage: tests/installed_service.sh BUILD_DIR
set -eu
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "FAILED: $*"
  exit 1
}

prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
outside=$(grep -v "^$prefix/" "$build/install_manifest.txt" || true)
[ -z "$outside" ] || fail "installed outside $prefix: $outside"
unit=$prefix/lib/systemd/system/qvotk-gateway.service
[ -f "$unit" ] || fail "no unit at $unit"
grep -qx "ExecStart=$prefix/bin/qvotk-gateway --config $prefix/etc/qvotk/gateway.toml" "$unit" ||
  fail "ExecStart is not the installed binary: $(grep ^ExecStart= "$unit")"
# verify also checks that ExecStart is executable, and the unit's man pages
# when they were built.
pages=no
[ -f "$prefix/share/man/man8/qvotk-gateway.8" ] && pages=yes
MANPATH=$prefix/share/man: systemd-analyze verify --man=$pages "$unit"
systemd-analyze security --offline=yes --threshold=25 "$unit" | tail -n 1

# The packages' layout: /usr's units are /lib's, the configuration in /etc.
root=$scratch/root
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
unit=$root/lib/systemd/system/qvotk-gateway.service
[ -f "$unit" ] || fail "no unit at /lib/systemd/system for the prefix /usr"
grep -qx "ExecStart=/usr/bin/qvotk-gateway --config /etc/qvotk/gateway.toml" "$unit" ||
  fail "ExecStart for the prefix /usr: $(grep ^ExecStart= "$unit")"
[ -f "$root/etc/qvotk/gateway.toml" ] || fail "no /etc/qvotk/gateway.toml for the prefix /usr"
echo "ok: the unit and the configuration are where the prefix puts them"
