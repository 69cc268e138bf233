#!/usr/bin/env bash
# tqhsm-scan says why nothing happened and what it did: why each volume has
# no budget (free space above LowFreeSpace, free space already at
# HighFreeSpace, a file-system type skipped by sSKIP_FS_TO_MONITOR, no
# extended attributes), which key disables the rules and how to enable them,
# a budget overshoot as such and a walk that ended because every budget was
# met; its log goes to a file in the job-results directory (the terminal
# shows the summary only, with -v the log too); a file given as content path
# is archived and its directory watched, and names in the summary stay
# escaped. The parts that mount file systems need root (skipped otherwise).
set -euo pipefail
build=$2
scan=$build/tqhsm-scan
[ -x "$scan" ] || { echo "no $scan"; exit 1; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tqhsm-reasons-test.XXXXXX")
mounts=()
cleanup() {
  for m in "${mounts[@]}"; do umount "$m" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
[ "$(stat -f -c %T "$tmp")" = tmpfs ] && { echo "tmpfs is skipped by default"; exit 77; }

now=$(date +%s)
old=$((now - 400 * 86400))
dir=$tmp/$'d\x1b[1mir'          # a directory whose name carries a terminal escape
dir_shown="$tmp/d\\x1b[1mir"
mkdir -p "$dir" "$tmp/jr"
head -c 100000 /dev/urandom > "$dir/f.bin"
head -c 100000 /dev/urandom > "$dir/g.bin"
touch -d "@$old" "$dir/f.bin" "$dir/g.bin"

read -r blocks avail < <(stat -f -c '%b %a' "$tmp")
due_low=$(( (100 * avail + blocks - 1) / blocks + 1 )); [ $due_low -gt 100 ] && due_low=100
due_high=$(( due_low + 1 )); [ $due_high -gt 100 ] && due_high=100
config() {  # file high low [extra subclient lines]
  cat > "$1" <<EOF
[Subclient 5]
HighFreeSpace = $2
LowFreeSpace = $3
DaysOld = 30
DaysOldMTime = 30
MinFileSizeKB = 4
${4:-RulesFlag = 0}
[HSM]
StateDirectory = $tmp/state
[Catalog]
Path = $tmp/catalog.db
EOF
}
run() {  # config args...
  local c=$1
  shift
  env -u TQHSM_LOG "$scan" --config "$c" --app-id 5 --job-results "$tmp/jr" --collect-file SC \
    --no-progress "$@"
}

# Why a volume has no budget, by the keys that decide it.
config "$tmp/above.ini" 0 0
out=$(run "$tmp/above.ini" "$dir") || fail "scan: $out"
grep -qE '^    volume /[^:]*: no budget: free space [0-9]+\.[0-9] % is above LowFreeSpace 0 %$' <<<"$out" ||
  fail "free space above the low watermark: $out"
config "$tmp/reached.ini" 0 100
out=$(run "$tmp/reached.ini" "$dir") || fail "scan: $out"
grep -qE '^    volume /[^:]*: no budget: free space [0-9]+\.[0-9] % already reaches HighFreeSpace 0 %$' <<<"$out" ||
  fail "free space at the high watermark: $out"
# Rules off: the key, its value or its default, and what to set.
config "$tmp/off.ini" 50 50 "RulesFlag = 0x2004"
out=$(run "$tmp/off.ini" "$dir") || fail "scan: $out"
grep -qF "initialize:        archive rules disabled: nothing to do (RulesFlag = 0x2004 in [Subclient 5] has bit 0x2000 set; set RulesFlag = 0x4 there to enable them)" <<<"$out" ||
  fail "rules off: $out"
grep -qF "StubCollect:       not written (archive rules disabled)" <<<"$out" || fail "rules off: $out"
config "$tmp/unset.ini" 50 50 "GUID = x"
out=$(run "$tmp/unset.ini" "$dir") || fail "scan: $out"
grep -qF "(RulesFlag is not set in [Subclient 5], and its default 0x2000 means disabled; set RulesFlag = 0 there to enable them)" <<<"$out" ||
  fail "rules flag unset: $out"

# A file as content path: archived, its directory watched; the log in a file
# of the job-results directory and nothing but the summary on the terminal.
config "$tmp/due.ini" $due_high $due_low
out=$(run "$tmp/due.ini" "$dir/f.bin" 2>"$tmp/err") || fail "file content path: $out"
[ "$(cat "$tmp/jr/SC")" = "|$dir/f.bin:$(stat -c %i "$dir/f.bin")|0|" ] ||
  fail "StubCollect: $(cat -v "$tmp/jr/SC")"
grep -qF "content path:      $dir_shown/f.bin (a file: its volume is watched at $dir_shown)" <<<"$out" ||
  fail "file content path: $(cat -v <<<"$out")"
grep -qxF "$dir" "$tmp/state/watched_dirs" || fail "not watched at the directory: $(cat -v "$tmp/state/watched_dirs")"
grep -q "f.bin" "$tmp/state/watched_dirs" && fail "the file itself is on the watch list"
LC_ALL=C grep -q $'\x1b' <<<"$out" && fail "a raw escape in the summary: $(cat -v <<<"$out")"
[ -s "$tmp/err" ] && fail "the log reached the terminal: $(cat "$tmp/err")"
grep -qF "log:               $tmp/jr/SC.log" <<<"$out" || fail "the summary does not say where the log is: $out"
grep -qF "Total [1] archive candidates collected" "$tmp/jr/SC.log" || fail "no log in $tmp/jr/SC.log"
# The next run's log starts afresh; -v shows it on the terminal as well.
run "$tmp/due.ini" -v "$dir/f.bin" >/dev/null 2>"$tmp/err" || fail "scan -v"
grep -qF "Total [1] archive candidates collected" "$tmp/err" || fail "-v: no log on the terminal: $(cat "$tmp/err")"
[ "$(grep -c 'Total \[' "$tmp/jr/SC.log")" = 1 ] || fail "the log was not started afresh"
# --log and $TQHSM_LOG are appended to, as always.
TQHSM_LOG=$tmp/env.log "$scan" --config "$tmp/due.ini" --app-id 5 --job-results "$tmp/jr" \
  --collect-file SC --no-progress "$dir/f.bin" | grep -qF "log:               $tmp/env.log" ||
  fail "TQHSM_LOG not named"
grep -qF "Total [1]" "$tmp/env.log" || fail "nothing in TQHSM_LOG"

[ "$(id -u)" = 0 ] || { echo "reason checks passed (not root: mounted volumes not checked)"; exit 0; }

# --- Volumes that are left out -------------------------------------------------
mkdir -p "$tmp/m-tmpfs" "$tmp/m-ramfs"
if mount -t tmpfs -o size=1m tmpfs "$tmp/m-tmpfs" 2>/dev/null; then
  mounts+=("$tmp/m-tmpfs")
  out=$(run "$tmp/due.ini" "$tmp/m-tmpfs") || fail "tmpfs scan: $out"
  grep -qF "volume $tmp/m-tmpfs: no budget: file-system type tmpfs is skipped by sSKIP_FS_TO_MONITOR" <<<"$out" ||
    fail "tmpfs: $out"
else
  echo "cannot mount tmpfs here: skipped"
fi
# ramfs holds no extended attributes and is not on the default skip list.
if mount -t ramfs ramfs "$tmp/m-ramfs" 2>/dev/null; then
  mounts+=("$tmp/m-ramfs")
  out=$(run "$tmp/due.ini" "$tmp/m-ramfs") || fail "ramfs scan: $out"
  grep -qF "volume $tmp/m-ramfs: no budget: no extended attributes (not supported, or disabled in the mount options)" <<<"$out" ||
    fail "ramfs: $out"
else
  echo "cannot mount ramfs here: skipped"
fi

# --- A budget met and overshot --------------------------------------------------
# A loop-mounted ext4 of known size filled past its low watermark: the file
# that meets the budget overshoots it, and the walk ends there.
command -v mkfs.ext4 >/dev/null || { echo "reason checks passed (no mkfs.ext4: budgets not checked)"; exit 0; }
mnt=$tmp/m-ext4
mkdir -p "$mnt"
truncate -s 64M "$tmp/fs.img"
if mkfs.ext4 -q -F -b 4096 -m 0 "$tmp/fs.img" >/dev/null 2>&1 &&
   mount -o loop,minixdf "$tmp/fs.img" "$mnt" 2>/dev/null; then
  mounts+=("$mnt")
  mkdir "$mnt/data"
  for i in $(seq -w 1 20); do
    head -c 1048576 /dev/urandom > "$mnt/data/f$i"
    touch -d "@$old" "$mnt/data/f$i"
  done
  sync -f "$mnt" 2>/dev/null || sync
  low=30
  high=40
  target=$(( 16384 * (low - 5) / 100 ))
  avail=$(stat -f -c %a "$mnt")
  fallocate -l $(( (avail - target) * 4096 )) "$mnt/filler"
  avail=$(stat -f -c %a "$mnt")
  budget=$(( 16384 * 4096 * high / 100 - avail * 4096 ))
  frees=$(( 1048576 - 4096 ))
  k=$(( (budget + frees - 1) / frees ))
  over=$(( k * frees - budget ))
  [ $k -ge 1 ] && [ $k -lt 20 ] || fail "budget $budget gives $k files of 20"
  config "$tmp/ext4.ini" $high $low
  out=$(run "$tmp/ext4.ini" --order walk "$mnt") || fail "ext4 scan: $out"
  grep -qE "^    volume $mnt: budget before $budget \([0-9.]+ MiB\), after 0 \(met, overshot by $over( \([0-9.]+ [KM]iB\))?\), block size 4096, spent: no more files taken$" <<<"$out" ||
    fail "overshoot of $over: $out"
  grep -qxF "    the walk ended early: every volume's budget was met" <<<"$out" || fail "walk end: $out"
  grep -qF "files seen:        $k" <<<"$out" || fail "files seen: $out"
else
  echo "cannot loop-mount here: budgets not checked"
fi
echo "reason checks passed"
