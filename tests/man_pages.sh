#!/bin/sh
# The manual pages against the programs, so that the two cannot drift apart:
# every option that a program's --help lists is an entry of its page under
# the same names (-n, -c, --count), and every option the page names is one
# the program has; qvotk's commands are the page's; every key the gateway's
# configuration page documents is one the gateway knows, and every key of
# the example configuration (commented ones too) is documented. With the
# pages built, man finds nothing wrong in them.
# Usage: tests/man_pages.sh SOURCE_DIR BIN_DIR [BUILT_PAGES_DIR]
set -eu
source=$1
bin=$2
built=${3:-}
pages=$source/man
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

# An option group a line, its names sorted: "--count -c -n".
group_awk='
  function group(text,   names, n, i, j, t, line) {
    n = split(text, names, /[ ,*]+/)
    line = ""
    for (i = 1; i <= n; i++) {
      if (names[i] !~ /^-/) continue
      for (j = i + 1; j <= n; j++) if (names[j] ~ /^-/ && names[j] < names[i]) { t = names[i]; names[i] = names[j]; names[j] = t }
      line = line (line == "" ? "" : " ") names[i]
    }
    print line
  }'
help_groups() { awk "$group_awk"' /^  -/ { group($1) }'; }
# An entry line of a page: its bold names, "*-n*, *-c*, *--count* _rounds_".
page_groups() {
  awk "$group_awk"' /^\*-/ { line = ""; rest = $0
      while (match(rest, /\*-[-A-Za-z0-9]*\*/)) { line = line " " substr(rest, RSTART, RLENGTH); rest = substr(rest, RSTART + RLENGTH) }
      group(line) }' "$1"
}
# Every option the page names in bold, in an entry or in running text.
page_names() { grep -o '\*-[-A-Za-z0-9]*' "$1" | tr -d '*' | sort -u; }

# check_options PAGE HELP_FILE
check_options() {
  page=$pages/$1
  sort -u "$2" >"$work/help.groups"
  page_groups "$page" | sort -u >"$work/page.groups"
  comm -23 "$work/help.groups" "$work/page.groups" | while read -r group; do
    echo "FAILED: $1: --help has $group, the page has no entry of these names"
  done
  tr ' ' '\n' <"$work/help.groups" | sort -u >"$work/help.names"
  page_names "$page" | comm -23 - "$work/help.names" | while read -r name; do
    echo "FAILED: $1: names $name, which --help does not list"
  done
}

help=$work/qvotk.help
"$bin/qvotk" --help >"$work/top"
awk '/^Subcommands:/ { on = 1; next } on && /^  [a-z]/ { print $1 } on && /^$/ { on = 0 }' "$work/top" |
  sort >"$work/commands"
help_groups <"$work/top" >"$help"
while read -r command; do "$bin/qvotk" "$command" --help | help_groups >>"$help"; done <"$work/commands"
awk '/^# / { on = ($0 == "# COMMANDS") } on && /^\*[a-z]/ { print $1 }' "$pages/qvotk.1.scd" | tr -d '*' |
  sort >"$work/page.commands"
diff "$work/commands" "$work/page.commands" >/dev/null ||
  fail "qvotk.1.scd: COMMANDS differ from --help's: $(diff "$work/commands" "$work/page.commands" | grep '^[<>]' | tr '\n' ' ')"
check_options qvotk.1.scd "$help" >"$work/out"

"$bin/tovek-sim" --help | help_groups >"$work/sim.help"
check_options tovek-sim.1.scd "$work/sim.help" >>"$work/out"

if [ -x "$bin/qvotk-gateway" ]; then
  "$bin/qvotk-gateway" --help | help_groups >"$work/gateway.help"
  check_options qvotk-gateway.8.scd "$work/gateway.help" >>"$work/out"

  # The documented keys, as TABLE.KEY.
  awk '/^## \[/ { table = $2; gsub(/[][]/, "", table) }
       /^# / { table = "" }
       table != "" && /^\*[a-z_]+\* = / { key = $1; gsub(/\*/, "", key); print table "." key }' \
    "$pages/qvotk-gateway.toml.5.scd" | sort -u >"$work/page.keys"
  # A key is known when the gateway refuses it, in its table of a good
  # configuration, for anything but being unknown (its value, or a key given
  # twice).
  probe() {
    awk -v table="$1" -v key="$2" '
      { print }
      $0 == "[" table "]" || $0 == "[[" table "]]" { print key " = true"; found = 1 }
      END { if (!found) exit 1 }' <<CONFIG
[gateway]
[[line]]
name = "a"
port = "ttyS9"
[[line.station]]
address = 1
[[line.station.point]]
name = "S"
[modbus]
[mqtt]
[metrics]
CONFIG
  }
  probe none none >"$work/good.toml" || true
  "$bin/qvotk-gateway" --check-config "$work/good.toml" >/dev/null || fail "the probes' configuration is not good"
  while read -r documented; do
    table=${documented%.*}
    if ! probe "$table" "${documented##*.}" >"$work/probe.toml"; then
      fail "qvotk-gateway.toml.5.scd: documents the table [$table], which the gateway does not have"
    elif "$bin/qvotk-gateway" --check-config "$work/probe.toml" 2>&1 | grep -q 'unknown key'; then
      fail "qvotk-gateway.toml.5.scd: documents $documented, which the gateway does not know"
    fi
  done <"$work/page.keys"
  awk '/^ *#? *\[/ { table = $0; sub(/^ *#? */, "", table); sub(/ .*/, "", table); gsub(/[][]/, "", table); next }
       match($0, /^ *#? *[a-z_]+ *=/) { key = substr($0, RSTART, RLENGTH); gsub(/[ #=]/, "", key); print table "." key }' \
    "$source/tools/qvotk-gateway/gateway.example.toml" | sort -u | comm -23 - "$work/page.keys" |
    while read -r key; do echo "FAILED: gateway.example.toml has $key, which qvotk-gateway.toml.5.scd does not document"; done >>"$work/out"
fi

cat "$work/out"
failures=$((failures + $(grep -c '^FAILED' "$work/out" || true)))

if [ -n "$built" ]; then
  for page in "$built"/*.[158]; do
    # As lintian reads them.
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
  done
else
  echo "note: the pages are not built (no scdoc): man does not read them"
fi
[ "$failures" -eq 0 ] && echo "ok: the pages and the programs agree"
[ "$failures" -eq 0 ]
