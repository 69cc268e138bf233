#!/usr/bin/env bash
# tqhsm-scan end to end on a sample tree: the collect lines, the summary, a
# second run, the watch list after a normal and a failed run, and the exits of
# bad usage, a failed Initialize, disabled rules and a missing content path.
set -euo pipefail
build=$2
scan=$build/tqhsm-scan
stubtool=$build/tqhsm-stub
cattool=$build/tqhsm-catalog
for t in "$scan" "$stubtool" "$cattool"; do [ -x "$t" ] || { echo "no $t"; exit 1; }; done
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tqhsm-scan-test.XXXXXX")
holder=
trap '[ -n "$holder" ] && kill "$holder" 2>/dev/null; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

probe=$tmp/probe
head -c 8192 /dev/zero > "$probe"
setfattr -n user.tqhsm.probe -v 1 "$probe" 2>/dev/null || { echo "no user xattrs here"; exit 77; }
fallocate --punch-hole --keep-size --offset 0 --length 4096 "$probe" 2>/dev/null ||
  { echo "no punch-hole here"; exit 77; }
rm -f "$probe"
[ "$(stat -f -c %T "$tmp")" = tmpfs ] && { echo "tmpfs is skipped by default"; exit 77; }

tree=$tmp/tree
mkdir -p "$tree/a/deep" "$tree/b" "$tmp/outside" "$tmp/results"
now=$(date +%s)
old=$((now - 400 * 86400))
mk() {  # path size days-ago
  head -c "$2" /dev/urandom > "$1"
  touch -d "@$((now - $3 * 86400))" "$1"
}
mk "$tree/a/old1.bin" 100000 400
mk "$tree/a/deep/old2.bin" 200000 400
mk "$tree/b/old3.bin" 50000 400
mk "$tree/b/recent.bin" 100000 1
mk "$tree/b/small.txt" 100 400
mk "$tree/a/stub.bin" 60000 400
mk "$tree/a/pruned.bin" 60000 400
mk "$tmp/outside/old-outside.bin" 100000 400
ln -s "$tmp/outside" "$tree/link-to-outside"
ln -s "$tmp/outside/old-outside.bin" "$tree/b/file-link"

read -r blocks avail < <(stat -f -c '%b %a' "$tmp")
low=$(( (100 * avail + blocks - 1) / blocks + 1 )); [ $low -gt 100 ] && low=100
high=$(( low + 1 )); [ $high -gt 100 ] && high=100
config() {  # file state-dir rules-flag
  cat > "$1" <<EOF
[Subclient 5]
SubclientId = 42
HighFreeSpace = $high
LowFreeSpace = $low
DaysOld = 30
DaysOldMTime = 30
MinFileSizeKB = 4
HonorArchiverRetention = yes
RulesFlag = $3
[Client]
Name = test-client
[HSM]
StateDirectory = $2
StubKey = $tmp/stub.key
[Catalog]
Path = $tmp/catalog.db
EOF
}
config "$tmp/on.ini" "$tmp/state" 0
config "$tmp/fail.ini" "$tmp/state-failed" 0
config "$tmp/off.ini" "$tmp/state-off" 0x2000
# Stubs are signed under the configured key; their times stay as the tree has them.
"$stubtool" --config "$tmp/on.ini" make "$tree/a/stub.bin" --af 2:1:11 >/dev/null
"$stubtool" --config "$tmp/on.ini" make "$tree/a/pruned.bin" --af 2:1:10 >/dev/null
"$cattool" --config "$tmp/on.ini" init >/dev/null
"$cattool" --config "$tmp/on.ini" retention 42 30
"$cattool" --config "$tmp/on.ini" parvis 2 200
"$cattool" --config "$tmp/on.ini" af 10 1 200 --pruned
"$cattool" --config "$tmp/on.ini" af 11 1 200

run() {  # config collect-name extra-args...
  local c=$1 name=$2
  shift 2
  TQHSM_LOG=$tmp/log "$scan" --config "$c" --app-id 5 --job-results "$tmp/results" \
    --collect-file "$name" --no-progress "$@"
}

# --help documents every flag; bad usage exits 2.
help=$("$scan" --help)
for want in --app-id --app-key --driver-mode --config --log --job-id --job-results --collect-file \
            --remote-client-id --proxy --native-snap --snap-collect-arg --snap-host-mapped \
            --map-prefix --use-dc --restub-check --prune-check --skip-nested-mounts --fail-run \
            --progress --no-progress --dry-run --actions --verbose "Exit status" "Calling order" \
            "Dry run (--dry-run)" "The action log" "One run at a time" "130 or 143" "tqhsm-scan.lock"; do
  grep -q -- "$want" <<<"$help" || fail "--help does not mention $want"
done
set +e
"$scan" "$tree" >/dev/null 2>&1; rc=$?
[ $rc = 2 ] || fail "missing --app-id: exit $rc"
"$scan" --app-id 5 --map-prefix nonsense "$tree" >/dev/null 2>&1; rc=$?
[ $rc = 2 ] || fail "bad --map-prefix: exit $rc"
set -e

# A normal run.
out=$(run "$tmp/on.ini" SC1 "$tree") || fail "normal run failed: $out"
sc=$tmp/results/SC1
expected=""
for f in a/deep/old2.bin a/old1.bin b/old3.bin; do
  expected+="|$tree/$f:$(stat -c %i "$tree/$f")|0|"$'\n'
done
[ "$(cat "$sc")"$'\n' = "$expected" ] || fail "StubCollect: $(cat "$sc") expected $expected"
for want in "run:               ended normally" "files seen:        7" "result 0:          2 not a candidate" \
            "result 1:          3 collected" "result 2:          1 stub kept" "result 3:          1 stub pruned" \
            "bytes collected:   350000" "other entries:     2" "volume /" "elapsed:" "rate:"; do
  grep -qF -- "$want" <<<"$out" || fail "summary lacks '$want': $out"
done
[ -e "$tree/a/pruned.bin" ] && fail "the pruned stub is still there"
[ -e "$tree/a/stub.bin" ] || fail "the kept stub is gone"
grep -qxF "$tree" "$tmp/state/watched_dirs" || fail "the content path is not watched: $(cat "$tmp/state/watched_dirs")"

# The same scan again: the same StubCollect.
run "$tmp/on.ini" SC2 "$tree" >/dev/null || fail "second run failed"
cmp -s "$sc" "$tmp/results/SC2" || fail "second run differs: $(diff "$sc" "$tmp/results/SC2")"

# A run reads the mount table once, however many content paths it has, and
# looks for no library in its current directory (an empty run-path entry).
# (LeakSanitizer cannot run under ptrace: it is off for this run.)
if command -v strace >/dev/null 2>&1; then
  (cd "$tmp/outside" && strace -f -qq -e trace=open,openat -o "$tmp/strace" \
    env ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" TQHSM_LOG="$tmp/log" "$scan" --config "$tmp/on.ini" --app-id 5 --job-results "$tmp/results" \
    --collect-file SC2s --no-progress "$tree/a" "$tree/b" >/dev/null) || fail "traced run failed"
  reads=$(grep -cE '"/proc/(self/)?mounts"|"/etc/mtab"|"/proc/self/mountinfo"' "$tmp/strace" || true)
  [ "$reads" = 1 ] || fail "the mount table was read $reads times: $(grep mounts "$tmp/strace")"
  if grep -E 'open(at)?\((AT_FDCWD, )?"[^/"][^"]*\.so[.0-9]*"' "$tmp/strace"; then
    fail "a library was looked for in the current directory"
  fi
fi

# A failed run takes the watches it made off again; it still writes StubCollect.
set +e
out=$(run "$tmp/fail.ini" SC3 --fail-run "$tree"); rc=$?
set -e
[ $rc = 1 ] || fail "--fail-run: exit $rc"
grep -qF "run:               failed" <<<"$out" || fail "no failed run in: $out"
[ "$(cat "$tmp/state-failed/watched_dirs")" = "tqhsm-watched-dirs 1" ] ||
  fail "watch left after a failed run: $(cat "$tmp/state-failed/watched_dirs")"
cmp -s "$sc" "$tmp/results/SC3" || fail "failed run wrote another StubCollect"

# Rules disabled: nothing to do, a normal end.
out=$(run "$tmp/off.ini" SC4 "$tree") || fail "disabled rules: exit $?"
grep -qF "archive rules disabled" <<<"$out" || fail "no disabled rules in: $out"
grep -qF "RulesFlag = 0x2000 in [Subclient 5] has bit 0x2000 set; set RulesFlag = 0 there to enable them" <<<"$out" ||
  fail "the disabling key is not named: $out"
grep -qF "files seen:        0" <<<"$out" || fail "files seen with rules off: $out"

# No such subclient: Initialize fails, so does the run.
set +e
out=$(TQHSM_LOG=$tmp/log "$scan" --config "$tmp/on.ini" --app-id 77 --job-results "$tmp/results" \
      --no-progress "$tree"); rc=$?
[ $rc = 1 ] || fail "unknown subclient: exit $rc"
grep -qF "initialize:        failed" <<<"$out" || fail "no failed initialize in: $out"
out=$(run "$tmp/on.ini" SC5 "$tmp/no-such-dir"); rc=$?
set -e
[ $rc = 1 ] || fail "missing content path: exit $rc"
grep -qF "cannot resolve" <<<"$out" || fail "missing content path not reported: $out"

# A link or a FIFO planted at StubCollect or StubCollectTemp: never followed,
# never waited on. Without StubCollect the run fails; without StubCollectTemp
# it goes on without re-stubbing.
printf 'precious\n' > "$tmp/root-only"
chmod 600 "$tmp/root-only"
before=$(stat -c '%s %Y' "$tmp/root-only")
planted_run() {  # name expected-exit what
  local name=$1 want=$2 what=$3 out rc
  set +e
  out=$(timeout 60 bash -c 'TQHSM_LOG="$1" "$2" --config "$3" --app-id 5 --job-results "$4" \
        --collect-file "$5" --no-progress "$6"' _ "$tmp/log-$name" "$scan" "$tmp/on.ini" \
        "$tmp/results" "$name" "$tree")
  rc=$?
  set -e
  [ $rc = "$want" ] || fail "$what: exit $rc (124 = it blocked): $out"
  [ "$(cat "$tmp/root-only")" = precious ] && [ "$(stat -c '%s %Y' "$tmp/root-only")" = "$before" ] ||
    fail "$what: the root file was touched"
}
ln -s "$tmp/root-only" "$tmp/results/SCL"
planted_run SCL 1 "link at StubCollect"
grep -qF "Refusing to use $tmp/results/SCL: it is a symbolic link" "$tmp/log-SCL" || fail "no refusal in the log"
grep -qF "Failed to initialize collect file $tmp/results/SCL." "$tmp/log-SCL" || fail "no failed initialize"
mkfifo "$tmp/results/SCF"
planted_run SCF 1 "FIFO at StubCollect"
grep -qF "Refusing to use $tmp/results/SCF: it is a FIFO" "$tmp/log-SCF" || fail "no FIFO refusal"
ln -s "$tmp/root-only" "$tmp/results/SCT_temp"
planted_run SCT 0 "link at StubCollectTemp"
grep -qF "Failed to initialize temp collect file $tmp/results/SCT_temp." "$tmp/log-SCT" ||
  fail "no failed temp initialize"
cmp -s "$sc" "$tmp/results/SCT" || fail "the run without StubCollectTemp collected otherwise"
mkfifo "$tmp/results/SCU_temp"
planted_run SCU 0 "FIFO at StubCollectTemp"

# Why a volume could not be watched is on its summary line: here the state
# directory cannot be made (a file is in its way).
touch "$tmp/not-a-directory"
config "$tmp/nowatch.ini" "$tmp/not-a-directory/state" 0
out=$(run "$tmp/nowatch.ini" SC6 "$tree") || fail "scan without a watch: exit $?"
grep -qE "^    volume .*, not watched: Failed to start watching dir tree $tree: Cannot create state directory $tmp/not-a-directory/state: Not a directory$" <<<"$out" ||
  fail "no watch failure on the volume line: $out"

# A catalog that another process holds locked costs one busy time-out for the
# whole run, not one per stub: one wait, one Error line, every stub kept.
# (A stub keeps the modification time it was made with: an old file is
# stubbed, not a stub touched afterwards, which would no longer be one.)
mkdir "$tmp/stubs"
config "$tmp/busy.ini" "$tmp/state-busy" 0
printf 'BusyTimeout = 500\n' >> "$tmp/busy.ini"
for i in 1 2 3 4 5 6; do
  head -c 60000 /dev/urandom > "$tmp/stubs/s$i"
  touch -d "@$old" "$tmp/stubs/s$i"
  "$stubtool" --config "$tmp/busy.ini" make "$tmp/stubs/s$i" --af 2:1:11 >/dev/null
done
mkfifo "$tmp/sql-in"
# The holder waits for the probes below: a probe that holds its shared lock
# just when the holder asks for its exclusive one must not make it give up.
sqlite3 -cmd '.timeout 10000' "$tmp/catalog.db" < "$tmp/sql-in" & holder=$!
exec 7> "$tmp/sql-in"
echo 'BEGIN EXCLUSIVE;' >&7
for _ in $(seq 1 100); do
  sqlite3 -cmd '.timeout 0' "$tmp/catalog.db" 'SELECT count(*) FROM parvis;' >/dev/null 2>&1 || break
  sleep 0.05
done
sqlite3 -cmd '.timeout 0' "$tmp/catalog.db" 'SELECT count(*) FROM parvis;' >/dev/null 2>&1 && fail "the catalog could not be locked"
: > "$tmp/log"
out=$(run "$tmp/busy.ini" SC7 "$tmp/stubs") || fail "scan against a locked catalog: exit $?: $out"
exec 7>&-
wait "$holder" || true
holder=
grep -qF "result 2:          6 stub kept" <<<"$out" || fail "stubs not kept against a locked catalog: $out"
waits=$(grep -c "Catalog $tmp/catalog.db is locked by another process; waiting up to 500 ms" "$tmp/log" || true)
[ "$waits" = 1 ] || fail "$waits waits for the locked catalog"
offs=$(grep -c "ERROR .*Catalog $tmp/catalog.db is busy: another process has held it locked for more than 500 ms. Pruning and re-stubbing checks are off for this run." "$tmp/log" || true)
[ "$offs" = 1 ] || fail "$offs Error lines for the locked catalog"
echo "scan tool checks passed"
