#!/usr/bin/env bash
# Every tool: --version prints "<tool> <project version>"; output that cannot
# be written (a full device, a closed descriptor) is reported and fails the
# run, for --version, --help and each tool's own output alike.
set -uo pipefail
src=$1
build=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fails=0
exec 3>&1  # reports go here, wherever a command's output goes
bad() { echo "FAIL: $*" >&3; fails=$((fails + 1)); }
export TQHSM_LOG=$tmp/log

version=$(sed -n 's/^project(tqhsm VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ -n "$version" ] || { echo "no project version in $src/CMakeLists.txt"; exit 1; }

tools=()
for t in "$build"/tqhsm-*; do
  [ -f "$t" ] && [ -x "$t" ] && tools+=("$t")
done
[ "${#tools[@]}" -ge 5 ] || { echo "only ${#tools[@]} tools in $build"; exit 1; }

# expect <status> <stderr line or -> <command...>: stdout goes where the caller
# redirected it.
expect() {
  local want=$1 line=$2; shift 2
  "$@" 2>"$tmp/err"
  local rc=$?
  [ "$rc" -eq "$want" ] || { bad "exit $rc, not $want: $*"; cat "$tmp/err" >&3; }
  if [ "$line" = - ]; then
    [ ! -s "$tmp/err" ] || { bad "messages from $*"; cat "$tmp/err" >&3; }
  else
    grep -qxF -- "$line" "$tmp/err" || { bad "$* did not say '$line'"; cat "$tmp/err" >&3; }
  fi
}

for t in "${tools[@]}"; do
  name=$(basename "$t")
  out=$("$t" --version 2>"$tmp/err")
  rc=$?
  [ "$rc" -eq 0 ] && [ "$out" = "$name $version" ] || bad "$name --version: exit $rc, '$out'"
  expect 1 "$name: cannot write standard output: No space left on device" "$t" --version >/dev/full
  expect 1 "$name: cannot write standard output: No space left on device" "$t" --help >/dev/full
  expect 1 "$name: cannot write standard output: Bad file descriptor" "$t" --version >&-
  expect 0 - "$t" --help >/dev/null
done

# Each tool's own output, small and large, into a full device.
cat > "$tmp/tqhsm.ini" <<EOF
[Subclient 5]
SubclientId = 5
[HSM]
StateDirectory = $tmp/state
[Catalog]
Path = $tmp/catalog.db
EOF
full="cannot write standard output: No space left on device"
mkdir -p "$tmp/tree" "$tmp/results"
echo data > "$tmp/tree/file"
# show exits 0 only for a stub (where this file system can hold one).
head -c 65536 /dev/zero > "$tmp/stubbed"
showable=$tmp/stubbed
"$build/tqhsm-stub" --config "$tmp/tqhsm.ini" make "$tmp/stubbed" --af 1:1:1 >/dev/null 2>&1 ||
  showable=
"$build/tqhsm-catalog" --config "$tmp/tqhsm.ini" init >/dev/null || bad "catalog init"
"$build/tqhsm-watch" --config "$tmp/tqhsm.ini" add "$tmp/tree" >/dev/null || bad "watch add"

# <tool> <arguments...>: each must succeed into /dev/null and fail into /dev/full.
while read -r name args; do
  [ -n "$name" ] || continue
  eval "set -- $args"
  expect 0 - "$build/$name" "$@" >/dev/null
  expect 1 "$name: $full" "$build/$name" "$@" >/dev/full
done <<EOF
tqhsm-catalog --config "$tmp/tqhsm.ini" list
tqhsm-catalog --config "$tmp/tqhsm.ini" sql "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 50000) SELECT x FROM c"
tqhsm-catalog --config "$tmp/tqhsm.ini" check
tqhsm-dc2sql "find files where x;"
${showable:+tqhsm-stub --config "$tmp/tqhsm.ini" show "$showable"}
tqhsm-watch --config "$tmp/tqhsm.ini" list
tqhsm-watch --config "$tmp/tqhsm.ini" list --json
tqhsm-watch --config "$tmp/tqhsm.ini" check
tqhsm-scan --config "$tmp/tqhsm.ini" --app-id 5 --job-results "$tmp/results" --no-progress "$tmp/tree"
EOF
# Many rules on standard input: output far past one stdio buffer.
for i in $(seq 1 300); do echo "find files where x$i;"; done > "$tmp/rules"
expect 0 - "$build/tqhsm-dc2sql" <"$tmp/rules" >/dev/null
expect 1 "tqhsm-dc2sql: $full" "$build/tqhsm-dc2sql" <"$tmp/rules" >/dev/full
# A failure status stays what it was; the write error is still reported.
expect 1 "tqhsm-dc2sql: $full" "$build/tqhsm-dc2sql" "find dirs where x;" >/dev/full
expect 2 "A subcommand is required" "$build/tqhsm-catalog" >/dev/full

[ "$fails" -eq 0 ] || { echo "$fails failure(s)"; exit 1; }
echo "ok"
