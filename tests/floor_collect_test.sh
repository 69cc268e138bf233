#!/usr/bin/env bash
# The benchmarks' floor program (bench-floor) must write exactly tqhsm-scan's
# StubCollect for the same tree and rules, or its comparison with the scan
# would measure different work: a bench-mktree tree, names that need care in
# the line layout (a ':' and a blank in a name, a 200-byte name, deep
# directories), a symbolic link, a FIFO, a file held open (left out by both),
# a candidate below a ".tqfs_locks" directory (left out by both) and rules of
# age and size. Skipped (77) in a build without the benchmarks.
set -euo pipefail
build=$(cd "$2" && pwd)
floor=$build/bench/bench-floor
[ -x "$floor" ] || { echo "no $floor (benchmarks not built)"; exit 77; }
for t in bench/bench-mktree tqhsm-scan; do [ -x "$build/$t" ] || { echo "no $build/$t"; exit 1; }; done
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tqhsm-floor-test.XXXXXX")
holder=
trap '[ -n "$holder" ] && kill "$holder" 2>/dev/null; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

tree=$tmp/tree
"$build/bench/bench-mktree" "$tree" 2500
old=$(( $(date +%s) - 400 * 86400 ))
mk() { head -c "$2" /dev/zero > "$1"; touch -d "@$old" "$1"; }
mkdir -p "$tree/odd dir/deep/er/still" "$tree/x/.tqfs_locks"
mk "$tree/odd dir/a:b c.bin" 9000
mk "$tree/odd dir/deep/er/still/$(printf 'n%.0s' {1..200})" 9000
mk "$tree/x/.tqfs_locks/locked.bin" 9000
mk "$tree/x/held.bin" 9000
ln -s "$tree/odd dir/a:b c.bin" "$tree/x/link"
mkfifo "$tree/x/fifo"
( exec 3<"$tree/x/held.bin"; exec sleep 60 ) &
holder=$!
sleep 0.2

cat > "$tmp/tqhsm.ini" <<EOF
[FileSystemAgent]
sTQHSM_SKIP_FILES_SMALLER_THAN_FSBLOCK = no
[Subclient 1]
HighFreeSpace = 100
LowFreeSpace = 100
DaysOld = 30
DaysOldMTime = 30
MinFileSizeKB = 4
RulesFlag = 0
[HSM]
StateDirectory = $tmp/state
[Catalog]
Path = $tmp/catalog.db
EOF
mkdir "$tmp/results"
env -u TQHSM_LOG "$build/tqhsm-scan" --config "$tmp/tqhsm.ini" --app-id 1 --job-results "$tmp/results" \
  --no-progress --order walk "$tree" > "$tmp/summary" || { cat "$tmp/summary"; fail "tqhsm-scan failed"; }
"$floor" --days-old 30 --days-mtime 30 --min-kb 4 "$tree" "$tmp/floor.list" > "$tmp/floor.out"

# 30 % of bench-mktree's files, and the two odd names.
lines=$(wc -l < "$tmp/floor.list")
[ "$lines" = 752 ] || fail "the floor listed $lines files, not 752"
grep -qF "|$(realpath "$tree")/odd dir/a:b c.bin:" "$tmp/floor.list" || fail "odd name not listed"
grep -q "held.bin\|locked.bin\|link\|fifo" "$tmp/floor.list" && fail "listed what the scan leaves out"
cmp "$tmp/floor.list" "$tmp/results/StubCollect" || {
  diff "$tmp/floor.list" "$tmp/results/StubCollect" | head
  fail "bench-floor's list differs from tqhsm-scan's StubCollect"
}
# Files counted by the floor: every regular file, the held and locked ones too.
grep -q "^files 2504 candidates 754 " "$tmp/floor.out" || fail "floor counted: $(cat "$tmp/floor.out")"
echo "bench-floor and tqhsm-scan agree on $lines lines"
