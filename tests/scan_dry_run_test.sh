#!/usr/bin/env bash
# tqhsm-scan --dry-run on a tree with every kind of file a scan acts on (a
# stub whose AF is pruned, a kept stub, a recalled file with a current cached
# stub, a stale cached stub, candidates, files the rules turn down, a file held
# open, a link) and a state directory with a watch list: the dry run changes
# nothing outside its own files in the job-results directory (the tree, its
# stub attributes and access times, the stub cache, the state directory, the
# catalog and a real run's lists are as they were), its lists and action log
# say what a real run would do, and the real run that follows gives the same
# results, the same StubCollect and acts.
set -euo pipefail
build=$2
scan=$build/tqhsm-scan
stubtool=$build/tqhsm-stub
cattool=$build/tqhsm-catalog
watchtool=$build/tqhsm-watch
for t in "$scan" "$stubtool" "$cattool" "$watchtool"; do [ -x "$t" ] || { echo "no $t"; exit 1; }; done
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tqhsm-dry-run-test.XXXXXX")
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
state=$tmp/state
cache=$tmp/cache
jr=$tmp/results
mkdir -p "$tree"/{docs,media,logs} "$tmp/other" "$cache" "$jr" "$tmp/work"
now=$(date +%s)
mk() {  # path size accessed-days-ago modified-days-ago
  head -c "$2" /dev/urandom > "$1"
  touch -m -d "@$((now - $4 * 86400))" "$1"
  touch -a -d "@$((now - $3 * 86400))" "$1"
}
mk "$tree/docs/report.pdf"    120000 900 1000
mk "$tree/docs/recent.txt"     20000   1    1
mk "$tree/docs/notes.txt"       1800 400  400   # smaller than a block
mk "$tree/docs/restub.bin"     60000 500  500   # recalled, its cached stub is current
mk "$tree/logs/stale.bin"      70000 500  500   # its cached stub is stale
mk "$tree/logs/held-open.bin"  40000 600  600
mk "$tree/media/pruned.iso"    50000 1000 1000
hostile=$'p\nr\x1b.iso'           # the action log names it on one line, escaped
mk "$tree/media/$hostile"      50000 1000 1000
mk "$tree/media/kept.iso"      50000 1000 1000
mk "$tree/media/old.mov"      300000 700  700
ln -s ../docs/report.pdf "$tree/media/link"

read -r blocks avail < <(stat -f -c '%b %a' "$tmp")
low=$(( (100 * avail + blocks - 1) / blocks + 1 )); [ $low -gt 100 ] && low=100
high=$(( low + 1 )); [ $high -gt 100 ] && high=100
cat > "$tmp/tqhsm.ini" <<EOF
[FileSystemAgent]
sSKIPLOCKF = no
[Subclient 5]
SubclientId = 42
GUID = TEST-GUID-5
HighFreeSpace = $high
LowFreeSpace = $low
DaysOld = 30
DaysOldMTime = 30
MinFileSizeKB = 4
HonorArchiverRetention = yes
RulesFlag = 0
[Client]
Name = test-client
[HSM]
StateDirectory = $state
StubKey = $tmp/stub.key
[StubCache]
Enabled = yes
Location = $cache
[Catalog]
Path = $tmp/catalog.db
EOF
stubs() { "$stubtool" --config "$tmp/tqhsm.ini" "$@"; }
stubs make "$tree/media/pruned.iso" --af 2:1:10 >/dev/null
stubs make "$tree/media/$hostile" --af 2:1:10 >/dev/null
stubs make "$tree/media/kept.iso" --af 2:1:11 >/dev/null
# A cached stub is named by the device and inode of its file and is current
# while its modification time is the file's.
cachename() {
  local dev ino
  dev=$(stat -c %d "$1")
  ino=$(stat -c %i "$1")
  echo "$cache/$(( ((dev >> 8) & 0xfff) | ((dev >> 32) & ~0xfff) )).$(( (dev & 0xff) | ((dev >> 12) & ~0xff) )).$ino.stub"
}
cached() {  # file stub-guid
  local copy=$tmp/work/$2 c
  head -c "$(stat -c %s "$1")" /dev/urandom > "$copy"
  stubs make "$copy" --af 2:1:11 --kind 2 --stub-guid "$2" --app-id 5 --app-guid TEST-GUID-5 >/dev/null
  c=$(cachename "$1")
  getfattr --only-values --absolute-names -n user.OSTUB "$copy" > "$c"
  touch -r "$1" "$c"
  echo "$c"
}
restub_cache=$(cached "$tree/docs/restub.bin" g-restub)
stale_cache=$(cached "$tree/logs/stale.bin" g-stale)
touch -m -d "@$((now - 100 * 86400))" "$stale_cache"
cat="$cattool --config $tmp/tqhsm.ini"
$cat init >/dev/null
$cat retention 42 30
$cat parvis 2 200
$cat af 10 1 200 --pruned
$cat af 11 1 200
$cat stub g-restub 2 1 11
"$watchtool" --config "$tmp/tqhsm.ini" add "$tmp/other" >/dev/null
( exec 3<"$tree/logs/held-open.bin"; exec sleep 600 ) &
holder=$!
# A real run's lists and logs from before, under the names a dry run must not
# use.
for f in StubCollect StubCollect_temp StubCollect_temp_temp IndexingDump.obf StubCollect.actions \
         StubCollect.log; do
  echo "from the real run before: $f" > "$jr/$f"
done
for _ in $(seq 1 100); do [ -e "/proc/$holder/fd/3" ] && break; sleep 0.05; done

# What a dry run must leave as it is. Regular files' access times too
# (inspection must not mark a file read); directories and links are read by
# any walk, so their access times are left out.
snapshot() {
  (cd "$tree" && find . -printf '%p %y %i %s %b %m %U %G %T@ %C@\n' | sort)
  (cd "$tree" && find . -type f -printf '%p %A@\n' | sort)
  getfattr -R -h -d -m - --absolute-names "$tree" 2>/dev/null
  (cd "$cache" && find . -printf '%p %i %s %T@ %C@\n' | sort && find . -type f -exec sha256sum {} + | sort)
  (cd "$state" && find . -printf '%p %y %i %s %m %T@ %C@\n' | sort && find . -type f -exec sha256sum {} + | sort)
  sha256sum "$tmp/catalog.db"
  (cd "$jr" && for f in StubCollect StubCollect_temp StubCollect_temp_temp IndexingDump.obf \
                        StubCollect.actions StubCollect.log; do sha256sum "$f"; done)
}
counts() {  # the figures a real and a dry run must share
  grep -E '^  (files seen|files not taken|result [0-3]|bytes collected|directories|other entries|unreadable|re-stubbing pass|re-stubbed):' <<<"$1" |
    sed -e 's/ (would be deleted)//' -e 's/ (would be)//'
  sed -n 's/^  StubCollect: .*(\([0-9]*\) collected)$/collected \1/p' <<<"$1"
}
run() { env -u TQHSM_LOG "$scan" --config "$tmp/tqhsm.ini" --app-id 5 --job-results "$jr" --no-progress "$@"; }

snapshot > "$tmp/before"
dry=$(run --dry-run "$tree") || fail "dry run: exit $?: $dry"
snapshot > "$tmp/after"
diff "$tmp/before" "$tmp/after" >&2 || fail "the dry run changed something (diff above)"
head -1 <<<"$dry" | grep -q "dry run" || fail "no dry run at the top: $dry"
for want in "result 1:          4 collected" "result 0:          3 not a candidate" "result 2:          1 stub kept" \
            "result 3:          2 stub pruned (would be deleted)" "re-stubbed:        1 files (would be)" \
            "StubCollect:       $jr/StubCollect.dryrun (3 collected)" \
            "actions:           $jr/StubCollect.actions.dryrun (stubs it would delete: 2, files it would re-stub: 1)" \
            "log:               $jr/StubCollect.log.dryrun"; do
  grep -qF -- "$want" <<<"$dry" || fail "dry summary lacks '$want': $dry"
done
printf 'would delete\t2:1:10\t%s\nwould delete\t2:1:10\t%s\nwould re-stub\t2:1:11\t%s\t%s\n' \
  "$tree/media/p\\nr\\x1b.iso" "$tree/media/pruned.iso" "$tree/docs/restub.bin" "$restub_cache" \
  > "$tmp/want-actions"
cmp -s "$tmp/want-actions" "$jr/StubCollect.actions.dryrun" ||
  fail "dry action log: $(cat "$jr/StubCollect.actions.dryrun")"
log=$jr/StubCollect.log.dryrun
grep -qF "Would delete stub $tree/media/pruned.iso, since its AF has been pruned" "$log" || fail "no 'Would delete' in the log"
grep -qF "Would replace '$tree/docs/restub.bin' with its stub from StubCache $restub_cache." "$log" || fail "no 'Would replace' in the log"
grep -qF "Would start watching dir tree $tree and record $tree as migrated" "$log" || fail "no 'Would start watching' in the log"
for left in StubCollect_temp.dryrun StubCollect_temp_temp.dryrun IndexingDump.obf.dryrun; do
  [ -e "$jr/$left" ] && fail "$left left behind"
done

# A failed dry run takes off nothing it did not put on.
run --dry-run --fail-run "$tree" >/dev/null && fail "a failed dry run exited 0"
snapshot > "$tmp/after-failed"
diff "$tmp/before" "$tmp/after-failed" >&2 || fail "the failed dry run changed something"
grep -qF "Would take '$tree' off the watch list again" "$log" || fail "no 'Would take off' in the log"

# The real run: the same figures, the same list, and the acts done. (A dump
# file left behind is appended to by the pass and makes it fall back, so the
# one planted above goes first.)
rm "$jr/IndexingDump.obf"
real=$(run "$tree") || fail "real run: exit $?: $real"
[ "$(counts "$dry")" = "$(counts "$real")" ] ||
  fail "dry and real runs differ: $(diff <(counts "$dry") <(counts "$real"))"
cmp -s "$jr/StubCollect.dryrun" "$jr/StubCollect" ||
  fail "StubCollect differs: $(diff "$jr/StubCollect.dryrun" "$jr/StubCollect")"
sed -e 's/^would delete/deleted/' -e 's/^would re-stub/re-stubbed/' "$tmp/want-actions" > "$tmp/want-real"
cmp -s "$tmp/want-real" "$jr/StubCollect.actions" || fail "real action log: $(cat "$jr/StubCollect.actions")"
grep -qF "actions:           $jr/StubCollect.actions (stubs deleted: 2, files re-stubbed: 1)" <<<"$real" ||
  fail "real summary: $real"
[ -e "$tree/media/pruned.iso" ] || [ -e "$tree/media/$hostile" ] && fail "a pruned stub is still there"
stubs show "$tree/docs/restub.bin" >/dev/null || fail "the recalled file was not re-stubbed"
[ -e "$restub_cache" ] && fail "the used cached stub is still there"
[ -e "$stale_cache" ] && fail "the stale cached stub is still there"
grep -qxF "$tree" "$state/watched_dirs" || fail "the tree is not watched: $(cat "$state/watched_dirs")"
echo "dry run checks passed"
