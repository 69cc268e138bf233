#!/usr/bin/env bash
# Safe scheduled runs of tqhsm-scan: a second run into a job-results
# directory that a run holds refuses at once, naming the holder's pid, and
# leaves the holder's files alone; SIGTERM and SIGINT end a run in the middle
# of its walk as failed through the normal path: whole lists, StubCollectTemp's
# candidates in StubCollect and no StubCollectTemp left, the run's new watch
# taken off again, an "interrupted" summary and exit 143 or 130. A later run
# takes the lock again.
#
# The run is held in the middle of its walk without any timing: it logs to
# standard error as well (-v, every file at level 5), and its standard error is
# a FIFO that nobody reads until the test says so, so the scan blocks on a
# full pipe long before its walk could end.
set -euo pipefail
build=$2
scan=$build/tqhsm-scan
stubtool=$build/tqhsm-stub
cattool=$build/tqhsm-catalog
for t in "$scan" "$stubtool" "$cattool"; do [ -x "$t" ] || { echo "no $t"; exit 1; }; done
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tqhsm-signal-test.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  exec 8<&- 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

probe=$tmp/probe
head -c 8192 /dev/zero > "$probe"
setfattr -n user.tqhsm.probe -v 1 "$probe" 2>/dev/null || { echo "no user xattrs here"; exit 77; }
fallocate --punch-hole --keep-size --offset 0 --length 4096 "$probe" 2>/dev/null ||
  { echo "no punch-hole here"; exit 77; }
rm -f "$probe"
[ "$(stat -f -c %T "$tmp")" = tmpfs ] && { echo "tmpfs is skipped by default"; exit 77; }

tree=$tmp/tree
cache=$tmp/cache
mkdir -p "$tree/bulk" "$cache" "$tmp/work"
now=$(date +%s)
old=$((now - 400 * 86400))
# First in the walk: a recalled file with a current cached stub, which goes
# to StubCollectTemp. Then many small candidates (the log they make is what
# fills the pipe).
head -c 60000 /dev/urandom > "$tree/aaa-recalled.bin"
touch -d "@$old" "$tree/aaa-recalled.bin"
(cd "$tree/bulk" && seq -f 'f%05g' 1 4000 | xargs touch -d "@$old")
total=4001

read -r blocks avail < <(stat -f -c '%b %a' "$tmp")
low=$(( (100 * avail + blocks - 1) / blocks + 1 )); [ $low -gt 100 ] && low=100
high=$(( low + 1 )); [ $high -gt 100 ] && high=100
cat > "$tmp/tqhsm.ini" <<EOF
[FileSystemAgent]
sTQHSM_SKIP_FILES_SMALLER_THAN_FSBLOCK = no
[Subclient 5]
SubclientId = 42
GUID = TEST-GUID-5
HighFreeSpace = $high
LowFreeSpace = $low
DaysOld = 30
DaysOldMTime = 30
MinFileSizeKB = 0
RulesFlag = 0
[Client]
Name = test-client
[HSM]
StateDirectory = $tmp/state
StubKey = $tmp/stub.key
[StubCache]
Enabled = yes
Location = $cache
[Catalog]
Path = $tmp/catalog.db
EOF
f=$tree/aaa-recalled.bin
copy=$tmp/work/copy
head -c 60000 /dev/urandom > "$copy"
"$stubtool" --config "$tmp/tqhsm.ini" make "$copy" --af 2:1:11 --kind 2 --stub-guid g-1 --app-id 5 \
  --app-guid TEST-GUID-5 >/dev/null
dev=$(stat -c %d "$f")
c=$cache/$(( ((dev >> 8) & 0xfff) | ((dev >> 32) & ~0xfff) )).$(( (dev & 0xff) | ((dev >> 12) & ~0xff) )).$(stat -c %i "$f").stub
getfattr --only-values --absolute-names -n user.OSTUB "$copy" > "$c"
touch -r "$f" "$c"
"$cattool" --config "$tmp/tqhsm.ini" init >/dev/null

# held JOB-RESULTS NAME: starts a run that will block on its standard error;
# returns once it is walking (the recalled file is in its log). Sets $pid.
held() {
  local jr=$1 name=$2
  mkdir -p "$jr"
  rm -f "$tmp/fifo"
  mkfifo "$tmp/fifo"
  TQHSM_DEBUG_LEVEL=5 "$scan" --config "$tmp/tqhsm.ini" --app-id 5 --job-results "$jr" \
    --log "$jr/$name.log" -v --no-progress "$tree" > "$jr/$name.out" 2> "$tmp/fifo" &
  pid=$!
  pids+=("$pid")
  exec 8< "$tmp/fifo"  # a reader that reads nothing yet
  local i
  for i in $(seq 1 600); do
    grep -qF "Adding file [$f]" "$jr/$name.log" 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || fail "the held run ended early: $(cat "$jr/$name.out")"
    sleep 0.05
  done
  fail "the held run never reached its walk"
}
# release NAME: reads the held run's standard error and waits for its end; its
# exit status in $rc.
release() {
  cat <&8 > "$tmp/$1.err" &
  local reader=$!
  rc=0
  wait "$pid" || rc=$?
  wait "$reader" || true
  exec 8<&-
}
# The figures of an interrupted run's lists.
check_lists() {  # job-results name signal status
  local jr=$1 name=$2 sig=$3 want=$4 out sc lines
  out=$(cat "$jr/$name.out")
  [ "$rc" = "$want" ] || fail "$sig: exit $rc, not $want: $out"
  for line in "run:               interrupted by $sig: ended as failed" \
              "the walk was interrupted by $sig" "re-stubbing pass:  skipped (interrupted)"; do
    grep -qF -- "$line" <<<"$out" || fail "$sig: summary lacks '$line': $out"
  done
  grep -qF "tqhsm-scan: $sig: ending the run as failed" "$tmp/$name.err" || fail "$sig: nothing said on stderr"
  seen=$(sed -n 's/^  files seen: *\([0-9]*\)$/\1/p' <<<"$out")
  [ "$seen" -ge 1 ] && [ "$seen" -lt "$total" ] || fail "$sig: $seen of $total files seen: not mid-walk"
  sc=$jr/StubCollect
  [ -e "${sc}_temp" ] && fail "$sig: StubCollectTemp left behind"
  lines=$(wc -l < "$sc")
  [ "$(tail -c 1 "$sc" | od -An -c | tr -d ' ')" = '\n' ] || fail "$sig: StubCollect ends mid-line"
  grep -vqE '^\|/.*:[0-9]+\|0\|$' "$sc" && fail "$sig: a torn line in StubCollect"
  [ "$(sort "$sc" | uniq -d | wc -l)" = 0 ] || fail "$sig: a line twice in StubCollect"
  grep -qF "|$f:" "$sc" || fail "$sig: StubCollectTemp's candidate is not in StubCollect"
  grep -qF "StubCollect:       $sc ($lines collected)" <<<"$out" || fail "$sig: $lines lines, summary: $out"
  [ -e "$c" ] || fail "$sig: the cached stub was used"
  [ "$(cat "$tmp/state/watched_dirs")" = "tqhsm-watched-dirs 1" ] ||
    fail "$sig: the run's new watch is still on: $(cat "$tmp/state/watched_dirs")"
  grep -qF "Total [$lines] archive candidates collected" "$jr/$name.log" || fail "$sig: no total in the log"
}

# Two runs into one directory: the second refuses at once and touches nothing.
held "$tmp/jr1" first
set +e
second=$(env -u TQHSM_LOG "$scan" --config "$tmp/tqhsm.ini" --app-id 5 --job-results "$tmp/jr1" \
         --no-progress "$tree" 2>&1)
src=$?
set -e
[ "$src" = 1 ] || fail "the second run: exit $src: $second"
grep -qF "tqhsm-scan: job results directory $tmp/jr1 is in use by another run of tqhsm-scan (pid $pid, holding $tmp/jr1/tqhsm-scan.lock); wait for it to end, or give this run another --job-results" <<<"$second" ||
  fail "the refusal does not name the holder $pid: $second"
[ -e "$tmp/jr1/StubCollect.log" ] && fail "the refused run made a log"
[ -e "$tmp/jr1/StubCollect.actions" ] || fail "the holder's action log is gone"

# SIGTERM in the middle of the walk.
kill -TERM "$pid"
release first
check_lists "$tmp/jr1" first SIGTERM 143

# SIGINT likewise (with job control, a background job does not ignore it).
set -m
held "$tmp/jr2" second
kill -INT "$pid"
release second
set +m
check_lists "$tmp/jr2" second SIGINT 130

# The lock went with its holder: the next run into the first directory works.
out=$(env -u TQHSM_LOG "$scan" --config "$tmp/tqhsm.ini" --app-id 5 --job-results "$tmp/jr1" \
      --no-progress "$tree") || fail "a run after the interrupted one: exit $?: $out"
grep -qF "files seen:        $total" <<<"$out" || fail "the next run: $out"
echo "run lock and signal checks passed"
