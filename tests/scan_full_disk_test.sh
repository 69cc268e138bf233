#!/usr/bin/env bash
# tqhsm-scan with its job-results directory on a real, nearly full file system
# (a small tmpfs and a loop-mounted ext4 image, each left with a few KiB): of
# hundreds of candidates StubCollect holds exactly the lines the log's total and
# the summary count, every other candidate is named by a "Can not add" line,
# the file holds whole records only, and the run exits 1. The same with every
# candidate going through StubCollectTemp first (re-stubbing on). Needs root to
# mount (exit 77 otherwise).
set -euo pipefail
build=$2
scan=$build/tqhsm-scan
[ -x "$scan" ] || { echo "no $scan"; exit 1; }
[ "$(id -u)" = 0 ] || { echo "needs root to mount"; exit 77; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tqhsm-full-test.XXXXXX")
mounts=()
cleanup() {
  for m in "${mounts[@]}"; do umount "$m" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
[ "$(stat -f -c %T "$tmp")" = tmpfs ] && { echo "the tree must not lie on a tmpfs (skipped by default)"; exit 77; }

count=300
tree=$tmp/tree
mkdir -p "$tree/projects/archive" "$tmp/cache"
now=$(date +%s)
old=$((now - 400 * 86400))
for i in $(seq -w 1 $count); do
  f=$tree/projects/archive/candidate-with-a-longish-name-$i.bin
  head -c 8192 /dev/zero > "$f"
done
touch -d "@$old" "$tree"/projects/archive/*
read -r major minor < <(stat -c '%Hd %Ld' "$tree")

config() {  # file state-dir [stub-cache]
  cat > "$1" <<EOF
[Subclient 5]
HighFreeSpace = 100
LowFreeSpace = 100
DaysOld = 30
DaysOldMTime = 30
MinFileSizeKB = 4
RulesFlag = 0
[HSM]
StateDirectory = $2
[Catalog]
Path = $tmp/catalog.db
EOF
  if [ -n "${3:-}" ]; then
    printf '[StubCache]\nEnabled = yes\nLocation = %s\n' "$3" >> "$1"
  fi
}

# A cached stub for every candidate, current (same modification time), so that
# each one goes to StubCollectTemp first.
for f in "$tree"/projects/archive/*; do
  c=$tmp/cache/$major.$minor.$(stat -c %i "$f").stub
  printf 'cached' > "$c"
  touch -r "$f" "$c"
done

# Mounts a job-results file system of the given kind at $m and leaves it with
# about 8 KiB free.
results_fs() {  # kind name
  m=$tmp/$2
  mkdir -p "$m"
  if [ "$1" = tmpfs ]; then
    mount -t tmpfs -o size=256k tmpfs "$m" 2>/dev/null || return 1
  else
    truncate -s 16M "$tmp/$2.img"
    mkfs.ext4 -q -F -b 4096 -m 0 "$tmp/$2.img" >/dev/null 2>&1 || return 1
    mount -o loop "$tmp/$2.img" "$m" 2>/dev/null || return 1
  fi
  mounts+=("$m")
  local avail
  avail=$(( $(stat -f -c '%a * %S' "$m") ))
  fallocate -l $(( avail - 8192 )) "$m/filler" || return 1
}

check() {  # label results-dir log summary
  local label=$1 sc=$2/StubCollect log=$3 out=$4
  [ -f "$sc" ] || fail "$label: no StubCollect"
  local lines total summary refused
  lines=$(wc -l < "$sc")
  total=$(sed -n 's/.*Total \[\([0-9]*\)\] archive candidates collected.*/\1/p' "$log" | tail -1)
  summary=$(sed -n 's/^  StubCollect: .*(\([0-9]*\) collected)$/\1/p' <<<"$out")
  [ -n "$total" ] && [ -n "$summary" ] || fail "$label: no totals in the log or summary: $out"
  [ "$lines" = "$total" ] && [ "$lines" = "$summary" ] ||
    fail "$label: $lines lines in StubCollect, total $total, summary $summary"
  [ "$lines" -gt 0 ] && [ "$lines" -lt $count ] || fail "$label: $lines of $count stored"
  # Whole records only, each of them a candidate once.
  [ "$(tail -c 1 "$sc" | od -An -c | tr -d ' ')" = '\n' ] || fail "$label: StubCollect ends mid-line"
  grep -vqE '^\|/.*:[0-9]+\|0\|$' "$sc" && fail "$label: a torn line: $(grep -vE '^\|/.*:[0-9]+\|0\|$' "$sc" | head -1)"
  [ "$(sort "$sc" | uniq -d | wc -l)" = 0 ] || fail "$label: a candidate twice"
  refused=$(grep -c "Can not add '" "$log" || true)
  for f in "$tree"/projects/archive/*; do
    grep -qF "|$f:" "$sc" || grep -qF "Can not add '$f' to collect file." "$log" ||
      fail "$label: $f is neither in StubCollect nor named by a Can not add line"
  done
  [ $((lines + refused)) -ge $count ] || fail "$label: $lines stored + $refused refused < $count"
  grep -qF "run:               failed" <<<"$out" || fail "$label: the run did not fail: $out"
  grep -qF "not stored:        $refused candidates" <<<"$out" || fail "$label: no not-stored count: $out"
  echo "$label: $lines stored, $refused refused"
}

ran=0
for kind in tmpfs ext4; do
  for temp in no yes; do
    label="$kind, StubCollectTemp $temp"
    results_fs $kind "r-$kind-$temp" || { echo "$label: cannot mount here, skipped"; continue; }
    ini=$tmp/$kind-$temp.ini
    if [ $temp = yes ]; then
      config "$ini" "$tmp/state-$kind-$temp" "$tmp/cache"
    else
      config "$ini" "$tmp/state-$kind-$temp"
    fi
    log=$tmp/log-$kind-$temp
    set +e
    out=$(TQHSM_LOG=$log "$scan" --config "$ini" --app-id 5 --job-results "$m" --no-progress "$tree")
    rc=$?
    set -e
    [ $rc = 1 ] || fail "$label: exit $rc: $out"
    if [ $temp = yes ]; then
      grep -q "Could not add '.*' to temp collectFile." "$log" || fail "$label: StubCollectTemp was never used"
      [ -e "$m/StubCollect_temp" ] && fail "$label: StubCollectTemp left behind"
    fi
    check "$label" "$m" "$log" "$out"
    ran=$((ran + 1))
  done
done
[ $ran -gt 0 ] || { echo "no file system could be mounted"; exit 77; }
echo "full-disk checks passed"
