#!/bin/sh
# The win64 zip as a user unpacks it: into a fresh folder, qvotk.exe run from
# there finds the DLL beside it, says its version, and reads tovek-sim
# through a COM port.
# Usage: zip.sh STATE PREFIX LOOPBACK TOVEK_SIM ZIP COM
set -eu
state=$1
prefix=$2
loopback=$3
simulator=$4
zip=$5
com=$6
here=$(dirname "$0")
port=$(echo "$com" | tr a-z A-Z)
folder=$(mktemp -d)
trap 'sh "$here/line.sh" stop "$state" "$prefix"; rm -rf "$folder"' EXIT
trap 'exit 143' TERM INT
unzip -q "$zip" -d "$folder"
cd "$folder"

version=$(sh "$here/wine.sh" "$prefix" "$loopback" ./qvotk.exe --version | tr -d '\r')
echo "$version"
[ "$version" = "qvotk $(basename "$zip" | sed 's/^qvotk-\(.*\)-win64\.zip$/\1/')" ] ||
  { echo "FAILED: qvotk.exe --version says '$version'"; exit 1; }

sh "$here/line.sh" start "$state" "$prefix" "$com"
sh "$here/line.sh" peer "$state" "$simulator" --station 3 --s-point 4 --baud 9600
got=$(timeout -k 5 30 sh "$here/wine.sh" "$prefix" "$loopback" ./qvotk.exe read S --port "$port" --station 3 \
  --baud 9600 | tr -d '\r')
echo "$got"
[ "$got" = "S = 4" ] || { echo "FAILED: read S gave '$got'"; exit 1; }
