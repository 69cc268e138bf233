#!/usr/bin/env bash
# tqhsm-scan --order, the per-reason counts, --report and --json.
# On the scan's own file system with a budget larger than the tree: every file
# has one reason and the counts add up to the files seen, in the text and the
# JSON summary alike; the CSV report gives every name back byte for byte
# (commas, quotes, newlines, control bytes) and is refused through a link;
# --order largest hands the files over largest first. On a loop-mounted ext4 of
# known size (root only) a budget smaller than the candidates goes to exactly
# the oldest-accessed ones, the same with sorted runs spilled to the
# job-results directory, which keeps none of them; a report that cannot be
# written whole fails the run.
set -euo pipefail
build=$2
scan=$build/tqhsm-scan
[ -x "$scan" ] || { echo "no $scan"; exit 1; }
command -v python3 >/dev/null || { echo "no python3"; exit 77; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tqhsm-order-test.XXXXXX")
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
config() {  # file high low
  cat > "$1" <<EOF
[Subclient 5]
HighFreeSpace = $2
LowFreeSpace = $3
DaysOld = 30
DaysOldMTime = 30
MinFileSizeKB = 8
MaxFileSizeKB = 1024
RulesFlag = 0
[HSM]
StateDirectory = $tmp/state
[Catalog]
Path = $tmp/catalog.db
EOF
}
run() {  # config collect-name args...
  local c=$1 name=$2
  shift 2
  TQHSM_LOG=$tmp/log "$scan" --config "$c" --app-id 5 --job-results "$tmp/jr" \
    --collect-file "$name" --no-progress "$@"
}
# The reason lines of a text summary add up to its files seen.
add_up() {
  python3 - "$1" <<'EOF'
import re, sys
text = sys.argv[1]
seen = int(re.search(r"^  files seen: +(\d+)$", text, re.M).group(1))
block = text.split("  reasons:", 1)[1].split("\n")[1:]
total = 0
for line in block:
    m = re.match(r"^    ([a-z_]+) +(\d+)  ", line)
    if not m:
        break
    total += int(m.group(2))
sys.exit(0 if total == seen and seen > 0 else f"reasons add up to {total}, files seen {seen}")
EOF
}

# --- Reasons, report and JSON on the scan's own file system ---------------------
tree=$tmp/tree
mkdir -p "$tree/sub" "$tmp/jr"
mk() {  # path size atime-days-ago mtime-days-ago
  head -c "$2" /dev/urandom > "$1"
  touch -a -d "@$((now - $3 * 86400))" "$1"
  touch -m -d "@$((now - $4 * 86400))" "$1"
}
mk "$tree/big" 300000 400 400
mk "$tree/mid" 100000 400 400
mk "$tree/sub/mid2" 100000 400 400
mk "$tree/recent" 100000 2 400
mk "$tree/modified" 100000 400 2
mk "$tree/small" 5000 400 400
mk "$tree/huge" 2000000 400 400
# A name that needs all of RFC 4180's quoting and holds a control byte; it is
# recently accessed, so that no collect line has to hold its newline.
weird=$tree/$'we,ird "na\nme\x01'
mk "$weird" 100000 2 2
ln -s big "$tree/link"
declare -A want=([big]=collected [mid]=collected [sub/mid2]=collected [recent]=too_recently_accessed
                 [modified]=too_recently_modified [small]=too_small [huge]=too_large)

read -r blocks avail < <(stat -f -c '%b %a' "$tmp")
low=$(( (100 * avail + blocks - 1) / blocks + 1 )); [ $low -gt 99 ] && low=99
config "$tmp/due.ini" $((low + 1)) $low

out=$(run "$tmp/due.ini" SC1 --report "$tmp/report.csv" "$tree") || fail "scan: $out"
add_up "$out" || fail "text summary: $out"
grep -qF "files seen:        8" <<<"$out" || fail "files seen: $out"
grep -qE "^  order: +oldest \(3 files listed by the first pass" <<<"$out" || fail "default order: $out"
grep -qF "report:            $tmp/report.csv (8 lines)" <<<"$out" || fail "report line: $out"
wants=$(for key in "${!want[@]}"; do echo "$key=${want[$key]}"; done)
python3 - "$tmp/report.csv" "$tree" "$wants" <<'EOF' || fail "report: $(cat -v "$tmp/report.csv")"
import csv, os, sys
report, tree = sys.argv[1], sys.argv[2]
want = dict(line.split("=", 1) for line in sys.argv[3].splitlines())
with open(report, newline="", encoding="utf-8", errors="surrogateescape") as f:
    rows = list(csv.reader(f))
assert rows[0] == ["path", "size", "atime", "mtime", "result", "reason"], rows[0]
rows = rows[1:]
names = {r[0] for r in rows}
files = set()
for d, _, fs in os.walk(tree):
    for n in fs:
        p = os.path.join(d, n)
        if not os.path.islink(p):
            files.add(p)
assert names == files, (names ^ files)
for r in rows:
    rel = os.path.relpath(r[0], tree)
    st = os.stat(r[0])
    assert int(r[1]) == st.st_size, r
    assert r[2].endswith("Z") and r[3].endswith("Z"), r
    if rel in want:
        assert r[5] == want[rel], (r, want[rel])
        assert r[4] == ("1" if want[rel] == "collected" else "0"), r
    else:  # the odd name
        assert rel == 'we,ird "na\nme\x01' and r[5] == "too_recently_accessed", r
EOF

# The JSON summary: the same figures, the reasons included.
json=$(run "$tmp/due.ini" SC2 --json "$tree") || fail "json scan: $json"
python3 - "$json" "$out" <<'EOF' || fail "json: $json"
import json, re, sys
j = json.loads(sys.argv[1])
text = sys.argv[2]
assert sum(j["reasons"].values()) == j["files_seen"] == 8, j["reasons"]
assert j["reasons"]["collected"] == 3 and j["reasons"]["too_large"] == 1, j["reasons"]
for key, label in [("files_seen", "files seen"), ("files_not_taken", "files not taken"),
                   ("bytes_collected", "bytes collected"), ("directories", "directories")]:
    m = re.search(r"^  %s: +(\d+)" % label, text, re.M)
    assert int(m.group(1)) == j[key], (key, j[key], m.group(0))
for code in "0123":
    m = re.search(r"^  result %s: +(\d+)" % code, text, re.M)
    assert int(m.group(1)) == j["results"][code], code
assert j["run"] == "ended normally" and j["exit_status"] == 0 and j["order"] == "oldest"
assert j["content_paths"][0]["volumes"][0]["budget_before"] > 0
EOF
[ "$(wc -l < "$tmp/jr/SC1")" = 3 ] || fail "collected: $(cat "$tmp/jr/SC1")"
cmp -s "$tmp/jr/SC1" "$tmp/jr/SC2" || fail "the JSON run collected otherwise"

# --order largest: largest first, ties by path; walk: name order.
out=$(run "$tmp/due.ini" SC3 --order largest "$tree") || fail "largest: $out"
got=$(sed -E 's/^\|([^:]*):.*/\1/' "$tmp/jr/SC3" | sed "s|^$tree/||" | tr '\n' ' ')
[ "$got" = "big mid sub/mid2 " ] || fail "largest order: $got"
out=$(run "$tmp/due.ini" SC4 --order walk "$tree") || fail "walk: $out"
add_up "$out" || fail "walk summary: $out"
got=$(sed -E 's/^\|([^:]*):.*/\1/' "$tmp/jr/SC4" | sed "s|^$tree/||" | tr '\n' ' ')
[ "$got" = "big mid sub/mid2 " ] || fail "walk order: $got"
grep -qxF "  order:             walk" <<<"$out" || fail "walk order line: $out"
out=$(run "$tmp/due.ini" SC5 --order newest "$tree" 2>&1) && fail "bad order accepted: $out"

# The report is an own file: never written through a link.
ln -s "$tmp/elsewhere" "$tmp/link.csv"
out=$(run "$tmp/due.ini" SC6 --report "$tmp/link.csv" "$tree" 2>&1) && fail "report through a link: $out"
grep -qF "cannot write the report" <<<"$out" || fail "link refusal: $out"
[ -e "$tmp/elsewhere" ] && fail "the link was followed"

# --- A budget smaller than the candidates (loop-mounted ext4, root) -------------
if [ "$(id -u)" != 0 ] || ! command -v mkfs.ext4 >/dev/null; then
  echo "order checks passed (no root or no mkfs.ext4: budgets not checked)"
  exit 0
fi
mnt=$tmp/m
mkdir -p "$mnt"
truncate -s 64M "$tmp/fs.img"
if ! mkfs.ext4 -q -F -b 4096 -m 0 "$tmp/fs.img" >/dev/null 2>&1 ||
   ! mount -o loop,minixdf "$tmp/fs.img" "$mnt" 2>/dev/null; then
  echo "order checks passed (cannot loop-mount here: budgets not checked)"
  exit 0
fi
mounts+=("$mnt")
mkdir "$mnt/data"
# Access ages that name order does not follow: f01 is the youngest.
ages=(0 300 900 500 700 350 950 400 800 450 600 650 320 990 550 750 850 420 380 330 310)
for i in $(seq 1 20); do
  f=$(printf '%s/data/f%02d' "$mnt" "$i")
  head -c 1048576 /dev/urandom > "$f"
  touch -m -d "@$old" "$f"
  touch -a -d "@$((now - ages[i] * 86400))" "$f"
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
[ $k -ge 2 ] && [ $k -lt 19 ] || fail "budget $budget gives $k files of 20"
config "$tmp/ext4.ini" $high $low
# The k oldest-accessed files, oldest first.
expected=$(for i in $(seq 1 20); do printf '%d %s/data/f%02d\n' "${ages[i]}" "$mnt" "$i"; done |
           sort -k1,1nr | head -n "$k" | while read -r _ f; do
             echo "|$f:$(stat -c %i "$f")|0|"; done)

out=$(run "$tmp/ext4.ini" E1 "$mnt") || fail "oldest: $out"
[ "$(cat "$tmp/jr/E1")" = "$expected" ] ||
  fail "collected, for $k files in budget $budget: $(cat "$tmp/jr/E1") expected $expected"
add_up "$out" || fail "ext4 summary: $out"
grep -qF "files seen:        21" <<<"$out" || fail "files seen: $out"  # 20 and the filler
grep -qF "files not taken:   $((20 - k))" <<<"$out" || fail "not taken: $out"
grep -qE "^    volume_without_budget +$((20 - k))  " <<<"$out" || fail "budget reason: $out"
grep -qxF "    the second pass ended early: every volume's budget was met" <<<"$out" ||
  fail "second pass end: $out"
# Same input, same StubCollect, also with every record spilled as a run.
run "$tmp/ext4.ini" E2 "$mnt" >/dev/null || fail "second oldest run"
cmp -s "$tmp/jr/E1" "$tmp/jr/E2" || fail "a second run differs"
out=$(run "$tmp/ext4.ini" E3 --sort-memory 1 "$mnt") || fail "spilled: $out"
cmp -s "$tmp/jr/E1" "$tmp/jr/E3" || fail "spilled runs collected: $(cat "$tmp/jr/E3")"
grep -qE "^  order: +oldest \(20 files listed by the first pass, 20 sorted runs spilled\)$" <<<"$out" ||
  fail "spill count: $out"
leftover=$(ls -A "$tmp/jr" | grep -i sort || true)
[ -z "$leftover" ] || fail "sort files left in the job results directory: $leftover"
# Walk order spends the budget on name order instead.
run "$tmp/ext4.ini" E4 --order walk "$mnt" >/dev/null || fail "walk run"
[ "$(head -n 1 "$tmp/jr/E4")" = "|$mnt/data/f01:$(stat -c %i "$mnt/data/f01")|0|" ] ||
  fail "walk order: $(cat "$tmp/jr/E4")"

# A report that cannot be written whole fails the run and says so.
small=$tmp/small
mkdir -p "$small"
if mount -t tmpfs -o size=4k tmpfs "$small" 2>/dev/null; then
  mounts+=("$small")
  for i in $(seq 1 60); do : > "$mnt/data/padding-name-to-make-the-report-longer-than-a-page-$i"; done
  out=$(run "$tmp/ext4.ini" R1 --report "$small/r.csv" "$mnt") && fail "full report: $out"
  grep -qE "^  report fault: +$small/r.csv: No space left on device; it is not whole$" <<<"$out" ||
    fail "report fault: $out"
  grep -qF "run:               failed" <<<"$out" || fail "run with a short report: $out"
  # Sorted runs that the job-results directory cannot hold fail the run and
  # say what to do; nothing is collected from a list that is not whole.
  umount "$small"
  mount -t tmpfs -o size=4k tmpfs "$small"
  many=$tmp/many
  mkdir "$many"
  long=$(printf 'n%.0s' $(seq 1 120))
  for i in $(seq 1 100); do
    head -c 9000 /dev/zero > "$many/$long-$i"
    touch -d "@$old" "$many/$long-$i"
  done
  set +e
  out=$(TQHSM_LOG=$tmp/log "$scan" --config "$tmp/due.ini" --app-id 5 --job-results "$small" \
    --collect-file S1 --no-progress --sort-memory 1 "$many")
  rc=$?
  set -e
  [ $rc = 1 ] || fail "sort files on a full directory: exit $rc: $out"
  grep -qE "^    the ordered scan failed: cannot write a sort file: No space left on device" <<<"$out" ||
    fail "sort fault: $out"
  grep -qF "run:               failed" <<<"$out" || fail "run with a failed sort: $out"
  [ -z "$(ls -A "$small" | grep -v -e '^S1' -e '^tqhsm-scan.lock$' || true)" ] || fail "left behind: $(ls -A "$small")"
else
  echo "cannot mount tmpfs here: report and sort-file write errors not checked"
fi
echo "order checks passed (budget $budget bytes, $k of 20 files)"
