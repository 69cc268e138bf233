#!/usr/bin/env bash
# tqhsm-scan on a volume filled past its low watermark (a loop-mounted ext4
# image of known size): files are collected until the budget is spent, then no
# more are taken; a second run writes the same StubCollect. The volume mounted
# below a content path is walked only without --skip-nested-mounts. Needs root
# and loop devices (exit 77 otherwise).
set -euo pipefail
build=$2
scan=$build/tqhsm-scan
[ -x "$scan" ] || { echo "no $scan"; exit 1; }
[ "$(id -u)" = 0 ] || { echo "needs root to mount"; exit 77; }
command -v mkfs.ext4 >/dev/null || { echo "no mkfs.ext4"; exit 77; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tqhsm-budget-test.XXXXXX")
outer=$tmp/outer
mnt=$outer/mnt
mounted=
trap '[ -n "$mounted" ] && umount "$mnt"; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

mkdir -p "$mnt" "$tmp/results"
truncate -s 64M "$tmp/fs.img"
mkfs.ext4 -q -F -b 4096 -m 0 "$tmp/fs.img" >/dev/null 2>&1 || { echo "mkfs failed"; exit 77; }
# minixdf: the whole 16384 blocks count as the file system's size.
mount -o loop,minixdf "$tmp/fs.img" "$mnt" 2>/dev/null || { echo "cannot loop-mount here"; exit 77; }
mounted=1
[ "$(stat -f -c %b "$mnt")" = 16384 ] || fail "unexpected size $(stat -f -c %b "$mnt")"

now=$(date +%s)
old=$((now - 400 * 86400))
mkdir "$mnt/data"
for i in $(seq -w 1 20); do
  head -c 1048576 /dev/urandom > "$mnt/data/f$i"
  touch -d "@$old" "$mnt/data/f$i"
done
head -c 1048576 /dev/urandom > "$outer/outer-old.bin"
touch -d "@$old" "$outer/outer-old.bin"
sync -f "$mnt" 2>/dev/null || sync

# Watermarks: the low one just under the share available on the outer file
# system (so that it needs nothing), the high one ten points above; the image
# is then filled until five points under the low one are available.
read -r oblocks oavail < <(stat -f -c '%b %a' "$outer")
low=$(( 100 * oavail / oblocks - 1 ))
[ $low -ge 8 ] || { echo "the outer file system is too full for this test"; exit 77; }
[ $low -gt 85 ] && low=85
high=$(( low + 10 ))
target=$(( 16384 * (low - 5) / 100 ))
avail=$(stat -f -c %a "$mnt")
[ "$avail" -gt "$target" ] || { echo "image too full"; exit 77; }
fallocate -l $(( (avail - target) * 4096 )) "$mnt/filler"
avail=$(stat -f -c %a "$mnt")
total=$(( 16384 * 4096 ))
budget=$(( total * high / 100 - avail * 4096 ))
frees=$(( 1048576 - 4096 ))
k=$(( (budget + frees - 1) / frees ))
[ $k -ge 1 ] && [ $k -lt 20 ] || fail "budget $budget gives $k files of 20"

cat > "$tmp/tqhsm.ini" <<EOF
[Subclient 5]
HighFreeSpace = $high
LowFreeSpace = $low
DaysOld = 30
DaysOldMTime = 30
MinFileSizeKB = 4
RulesFlag = 0
[HSM]
StateDirectory = $tmp/state
[Catalog]
Path = $tmp/catalog.db
EOF
# In walk order, so that the walk's end once the budget is met is seen
# (scan_order_test.sh covers the other orders).
run() {  # collect-name args...
  local name=$1
  shift
  TQHSM_LOG=$tmp/log "$scan" --config "$tmp/tqhsm.ini" --app-id 5 --job-results "$tmp/results" \
    --collect-file "$name" --no-progress --order walk "$@"
}
expected=""
for i in $(seq -w 1 "$k"); do
  expected+="|$mnt/data/f$i:$(stat -c %i "$mnt/data/f$i")|0|"$'\n'
done

out=$(run SC1 "$mnt") || fail "scan failed: $out"
[ "$(cat "$tmp/results/SC1")"$'\n' = "$expected" ] ||
  fail "collected $(wc -l < "$tmp/results/SC1") files, expected $k: $(cat "$tmp/results/SC1")"
grep -qF "result 1:          $k collected" <<<"$out" || fail "summary: $out"
# Once the only volume with a budget is spent, the walk ends.
grep -qF "files seen:        $k" <<<"$out" || fail "files seen after the budget: $out"
grep -qF "volume $mnt: budget before $budget" <<<"$out" || fail "budget before: $out"
grep -qF "spent: no more files taken" <<<"$out" || fail "volume not spent: $out"
grep -qF "Required space freed on  $mnt.Remaining files will not be archived" "$tmp/log" ||
  fail "no budget message in the log"

run SC2 "$mnt" >/dev/null || fail "second scan failed"
cmp -s "$tmp/results/SC1" "$tmp/results/SC2" || fail "second run differs"

# From the outer directory: its own volume needs nothing, the nested one is
# walked for its budget.
out=$(run SC3 "$outer") || fail "outer scan failed: $out"
cmp -s "$tmp/results/SC1" "$tmp/results/SC3" || fail "outer scan collected: $(cat "$tmp/results/SC3")"
grep -qF "files seen:        $k" <<<"$out" || fail "outer scan: $out"
out=$(run SC4 --skip-nested-mounts "$outer") || fail "skip-nested scan failed: $out"
[ -s "$tmp/results/SC4" ] && fail "skip-nested scan collected: $(cat "$tmp/results/SC4")"
grep -qF "files seen:        0" <<<"$out" || fail "skip-nested scan: $out"
echo "budget checks passed (budget $budget bytes, $k files)"
