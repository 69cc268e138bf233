#!/usr/bin/env bash
# make demo: a scan of a sample tree. Makes the tree in a temporary folder (files
# of varied sizes and ages, two stubs of which one points into a pruned archive
# file, a file held open, a symbolic link), writes a configuration and a catalog
# whose watermarks give that folder's volume a budget, runs tqhsm-scan twice and
# shows the summary and the head of StubCollect. A dry run comes first: it must
# change nothing outside the job-results directory and give the same results.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
for tool in tqhsm-scan tqhsm-stub tqhsm-catalog; do
  [ -x "$build/$tool" ] || { echo "demo: $build/$tool is missing; run make build" >&2; exit 1; }
done

# A folder on a file system that can hold stubs: user extended attributes and
# punch-hole (tmpfs is skipped by default and may lack both).
demo=
for base in "${TMPDIR:-/tmp}" /var/tmp "$build"; do
  [ -d "$base" ] && [ -w "$base" ] || continue
  [ "$(stat -f -c %T "$base")" = tmpfs ] && continue
  d=$(mktemp -d "$base/tqhsm-demo.XXXXXX")
  probe=$d/probe
  head -c 8192 /dev/zero > "$probe"
  if setfattr -n user.tqhsm.probe -v 1 "$probe" 2>/dev/null &&
     fallocate --punch-hole --keep-size --offset 0 --length 4096 "$probe" 2>/dev/null; then
    rm -f "$probe"; demo=$d; break
  fi
  rm -rf "$d"
done
[ -n "$demo" ] || { echo "demo: no folder on a file system with user xattrs and punch-hole" >&2; exit 1; }

holder=
trap '[ -n "$holder" ] && kill "$holder" 2>/dev/null; true' EXIT
tree=$demo/data
mkdir -p "$tree"/{docs,media,logs,projects/old,projects/new} "$demo/results"
now=$(date +%s)
day=86400

# mkfile PATH SIZE ACCESSED_DAYS_AGO MODIFIED_DAYS_AGO
mkfile() {
  head -c "$2" /dev/urandom > "$1"
  touch -m -d "@$((now - $4 * day))" "$1"
  touch -a -d "@$((now - $3 * day))" "$1"
}
mkfile "$tree/docs/report-2019.pdf"      1200000 900 1000
mkfile "$tree/docs/contract-2021.doc"     350000 400  500
mkfile "$tree/docs/notes.txt"               1800 400  400   # smaller than a block
mkfile "$tree/docs/todo.txt"               20000   1    1   # in use
mkfile "$tree/media/holiday-2018.mov"    3000000 1500 1500
mkfile "$tree/media/cover.png"             90000  700  700
mkfile "$tree/media/new-clip.mov"        2000000   3    3
mkfile "$tree/logs/app-2020.log"          600000 800  800
mkfile "$tree/logs/app.log"               250000   0    0
mkfile "$tree/projects/old/data.bin"      800000 365  365
mkfile "$tree/projects/old/readme.md"       3000 365  365
mkfile "$tree/projects/new/model.ckpt"   1500000  10   10
mkfile "$tree/projects/old/held-open.bin" 400000 600  600
ln -s ../docs/report-2019.pdf "$tree/projects/report-link"

# Two stubs (made below, once the configuration names the stub key): the
# archive file behind the first has been pruned, the second's is still there.
mkfile "$tree/media/pruned-stub.iso"      500000 1000 1000
mkfile "$tree/media/kept-stub.iso"        500000 1000 1000

# A file another process has open.
( exec 3<"$tree/projects/old/held-open.bin"; exec sleep 600 ) &
holder=$!
sleep 0.2

# Watermarks from this file system's own figures: the low watermark just above
# the share that is available now, so that the volume is due for archiving on
# any disk, and the high one a point above it.
read -r bsize blocks avail < <(stat -f -c '%S %b %a' "$demo")
low=$(( (100 * avail + blocks - 1) / blocks + 1 ))
[ "$low" -gt 100 ] && low=100
high=$(( low + 1 ))
[ "$high" -gt 100 ] && high=100

config=$demo/tqhsm.ini
cat > "$config" <<EOF
; written by make demo
[FileSystemAgent]
sSKIPLOCKF = no
sTQHSM_SKIP_FILES_SMALLER_THAN_FSBLOCK = yes

[Subclient 5]
SubclientId = 42
GUID = DEMO-SUBCLIENT-5
HighFreeSpace = $high
LowFreeSpace = $low
DaysOld = 30
DaysOldMTime = 30
MinFileSizeKB = 4
MaxFileSizeKB = 0
HonorArchiverRetention = yes
RulesFlag = 0

[Client]
Name = demo-client

[HSM]
StateDirectory = $demo/state

[Catalog]
Path = $demo/catalog.db
EOF

# Stubs are signed under the stub key of the state directory (made 0600 on
# first use); making them keeps their modification times, and only their
# access times are set back afterwards: a stub whose modification time changed
# after stubbing is no stub any more.
"$build/tqhsm-stub" --config "$config" make "$tree/media/pruned-stub.iso" --af 2:1:10 \
  --stub-guid demo-stub-pruned >/dev/null
"$build/tqhsm-stub" --config "$config" make "$tree/media/kept-stub.iso" --af 2:1:11 \
  --stub-guid demo-stub-kept >/dev/null
touch -a -d "@$((now - 1000 * day))" "$tree/media/pruned-stub.iso" "$tree/media/kept-stub.iso"

cat="$build/tqhsm-catalog --config $config"
$cat init >/dev/null
$cat retention 42 30        # the archiver keeps data 30 days: pruning by AF validity stays on
$cat parvis 2 200
$cat af 10 1 200 --pruned   # behind pruned-stub.iso
$cat af 11 1 200            # behind kept-stub.iso

echo "== sample tree: $tree"
echo "   volume: $(df -P "$demo" | awk 'NR==2 {print $6}'), block size $bsize, $avail of $blocks blocks available"
echo "   watermarks: low $low %, high $high %"
echo

# What a dry run must leave as it is: the tree (identity, size, blocks, times,
# a file's access time too), its stub attributes, the state directory.
snapshot() {
  (cd "$tree" && find . -printf '%p %y %i %s %b %m %T@ %C@\n' | sort)
  (cd "$tree" && find . -type f -printf '%p %A@\n' | sort)
  getfattr -R -h -d -m - --absolute-names "$tree" 2>/dev/null
  (cd "$demo/state" && find . -printf '%p %s %m %T@\n' | sort && find . -type f -exec sha256sum {} + | sort)
}
# The figures a dry run and the real run after it share.
counts() {
  grep -E '^  (files seen|result [0-3]|bytes collected|re-stubbed):' <<<"$1" |
    sed -e 's/ (would be deleted)//' -e 's/ (would be)//'
  sed -n 's/^  StubCollect: .*(\([0-9]*\) collected)$/collected \1/p' <<<"$1"
}
echo "== tqhsm-scan --dry-run --config $config --app-id 5 --job-results $demo/results $tree"
snapshot > "$demo/before-dry-run"
dry=$("$build/tqhsm-scan" --dry-run --config "$config" --app-id 5 \
  --job-results "$demo/results" --no-progress "$tree")
echo "$dry"
snapshot > "$demo/after-dry-run"
if cmp -s "$demo/before-dry-run" "$demo/after-dry-run"; then
  echo "== the dry run changed nothing in the tree, its stub attributes or the state directory"
else
  echo "== the dry run changed something:" >&2
  diff "$demo/before-dry-run" "$demo/after-dry-run" >&2 || true
  exit 1
fi
echo "== its action log ($demo/results/StubCollect.actions.dryrun)"
cat "$demo/results/StubCollect.actions.dryrun"
echo

echo "== tqhsm-scan --config $config --app-id 5 --job-results $demo/results $tree"
real=$(TQHSM_LOG=$demo/tqhsm.log "$build/tqhsm-scan" --config "$config" --app-id 5 \
  --job-results "$demo/results" --no-progress "$tree")
echo "$real"
if [ "$(counts "$dry")" = "$(counts "$real")" ] &&
   cmp -s "$demo/results/StubCollect.dryrun" "$demo/results/StubCollect"; then
  echo "== the real run gave the dry run's results and StubCollect"
else
  echo "== the real run's results differ from the dry run's:" >&2
  diff <(counts "$dry") <(counts "$real") >&2 || true
  exit 1
fi
echo "== its action log ($demo/results/StubCollect.actions)"
cat "$demo/results/StubCollect.actions"
echo
echo "== first lines of $demo/results/StubCollect"
head -n 10 "$demo/results/StubCollect"
echo
echo "== from the log ($demo/tqhsm.log)"
grep -E "Skipping open file|Deleting stub|Skipping Orrery Stub|Total \[" "$demo/tqhsm.log" |
  sed -E 's/^[^ ]+ [^ ]+ [0-9]+ //' || true
echo
# The same scan again on the unchanged tree writes the same StubCollect.
TQHSM_LOG=$demo/tqhsm.log "$build/tqhsm-scan" --config "$config" --app-id 5 \
  --job-results "$demo/results" --collect-file StubCollect.again --no-progress "$tree" >/dev/null
if cmp -s "$demo/results/StubCollect" "$demo/results/StubCollect.again"; then
  echo "== a second scan of the unchanged tree wrote the same StubCollect"
else
  echo "== a second scan wrote a different StubCollect:" >&2
  diff "$demo/results/StubCollect" "$demo/results/StubCollect.again" >&2 || true
  exit 1
fi
echo "(the demo folder stays for a look: rm -rf $demo)"
