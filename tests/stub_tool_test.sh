#!/usr/bin/env bash
# tqhsm-stub make then show: the meta-data come back, the file keeps its size
# and its data blocks are released; show tells authentic and intact stubs from
# forged, rewritten and touched ones, one file or many (-r for a tree) with
# exit 0 only when every file is a stub, 1 when some are not, 3 when some
# cannot be read; the stub key is made 0600 and refused when others can read it.
set -euo pipefail
build=$2
tool_bin=$build/tqhsm-stub
[ -x "$tool_bin" ] || { echo "no $tool_bin"; exit 1; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tqhsm-stub-test.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
# The stub key lives in the test's folder, never in the machine's state directory.
printf '[HSM]\nStubKey = %s\n' "$tmp/stub.key" > "$tmp/tqhsm.ini"
printf '[HSM]\nStubKey = %s\n' "$tmp/other.key" > "$tmp/other.ini"
tool="$tool_bin --config $tmp/tqhsm.ini"
f=$tmp/data

head -c 1048576 /dev/urandom > "$f"
sync "$f" 2>/dev/null || sync
# Punch-hole and user attributes are properties of the file system under $TMPDIR.
if ! fallocate --punch-hole --keep-size --offset 0 --length 4096 "$f" 2>/dev/null; then
  echo "punch-hole is not supported here"; exit 77
fi
if ! setfattr -n user.tqhsm.probe -v 1 "$f" 2>/dev/null; then
  echo "user extended attributes are not supported here"; exit 77
fi
setfattr -x user.tqhsm.probe "$f"
head -c 1048576 /dev/urandom > "$f"
sync "$f" 2>/dev/null || sync
blocks_before=$(stat -c %b "$f")

fail() { echo "FAIL: $*"; exit 1; }
# showx STATUS ARGS...: runs show, its output in $out, and wants that exit status.
showx() {
  local want=$1 rc=0
  shift
  out=$($tool show "$@" 2>"$tmp/show-err") || rc=$?
  [ "$rc" = "$want" ] || fail "show $*: exit $rc, not $want: $out $(cat "$tmp/show-err")"
}

showx 1 "$f"
grep -qx 'stub: no' <<<"$out" || fail "a plain file shown as a stub: $out"

$tool make "$f" --af 2:1:4711 --kind 2 --stub-guid 5f0c6a1e-0d44 --app-id 5 \
  --app-guid '{APP-5}' --mtime 1234567890 >/dev/null
showx 0 "$f"
for want in 'stub: yes' 'source: extended attribute user.OSTUB' 'authentic: yes' 'intact: yes' \
            'af: 2:1:4711' 'kind: 2 (subclient stub)' 'stub_guid: 5f0c6a1e-0d44' 'app_id: 5' \
            'app_guid: {APP-5}' 'original_size: 1048576' "stubbed_inode: $(stat -c %i "$f")" \
            'stubbed_mtime: 1234567890.000000000' 'head_record: no'; do
  grep -qxF -- "$want" <<<"$out" || fail "missing '$want' in: $out"
done
[ "$(stat -c %a "$tmp/stub.key")" = 600 ] || fail "stub key mode $(stat -c %a "$tmp/stub.key")"
[ "$(stat -c %s "$tmp/stub.key")" = 32 ] || fail "stub key size $(stat -c %s "$tmp/stub.key")"
[ "$(stat -c %s "$f")" = 1048576 ] || fail "size changed: $(stat -c %s "$f")"
blocks_after=$(stat -c %b "$f")
[ "$blocks_after" -lt $((blocks_before / 8)) ] ||
  fail "blocks not released: $blocks_before before, $blocks_after after"
[ "$(stat -c %Y "$f")" = 1234567890 ] || fail "modification time not applied"
getfattr --absolute-names -n user.OSTUB "$f" >/dev/null || fail "no user.OSTUB attribute"

# A sparse-file stub: the same bytes at the head, found without the attribute.
g=$tmp/sparse
head -c 65536 /dev/urandom > "$g"
$tool make "$g" --af 9:2:77 --head >/dev/null
setfattr -x user.OSTUB "$g"
showx 0 "$g"
grep -qx 'source: head of the file (sparse-file stub)' <<<"$out" || fail "head stub not found: $out"
grep -qx 'af: 9:2:77' <<<"$out" || fail "head stub meta-data: $out"
grep -qx 'kind: 1 (archiver stub)' <<<"$out" || fail "head stub kind: $out"

h0=$tmp/plain0
head -c 20000 /dev/urandom > "$h0"
# Judged by show: a copy of the stub, touched, then rewritten with new data.
cp --sparse=always --preserve=all "$f" "$tmp/copy"  # the record names the original's inode
showx 1 "$tmp/copy"
grep -qx 'stub: no' <<<"$out" || fail "a copy passes for a stub: $out"
grep -q '^intact: no (another file.s stub data' <<<"$out" || fail "copy: $out"
touch -m -d @1300000000 "$f"
showx 1 "$f"
grep -qx 'stub: no' <<<"$out" || fail "a touched stub passes: $out"
grep -q '^intact: no (modified after stubbing' <<<"$out" || fail "touched: $out"
grep -q '^note: its data blocks are released' <<<"$out" || fail "touched, no note: $out"
head -c 8192 /dev/urandom > "$f"
showx 1 "$f"
grep -qx 'stub: no' <<<"$out" || fail "a rewritten stub passes: $out"
grep -qx 'intact: no (size differs (8192 bytes, the stub'"'"'s original size is 1048576))' <<<"$out" ||
  fail "rewritten: $out"
# The next make replaces the stale attribute.
$tool make "$f" --af 2:1:4712 >/dev/null
showx 0 "$f"
grep -qx 'intact: yes' <<<"$out" && grep -qx 'af: 2:1:4712' <<<"$out" || fail "re-made: $out"

# A record of another deployment's key is not authentic: no stub (exit 1, as
# for any file that is not a stub), with the reason on standard error.
g2=$tmp/foreign
head -c 65536 /dev/urandom > "$g2"
"$tool_bin" --config "$tmp/other.ini" make "$g2" --af 2:1:4711 >/dev/null
showx 1 "$g2"
grep -qx 'authentic: no (not authentic)' <<<"$out" || fail "foreign record: $out"
grep -q 'holds no valid stub meta-data (not authentic)' "$tmp/show-err" ||
  fail "foreign: $(cat "$tmp/show-err")"

# Many files and trees: one record per file, a blank line between records, a
# summary, and the exit status of the worst: 0 all stubs, 1 some not, 3 some
# unreadable (over 1). Names are shown with the log's escapes. -r walks a
# tree in name order without following links.
t=$tmp/tree
mkdir -p "$t/sub/deeper" "$tmp/elsewhere"
head -c 65536 /dev/urandom > "$t/a-stub"
head -c 65536 /dev/urandom > "$t/sub/deeper/b-stub"
head -c 65536 /dev/urandom > "$tmp/elsewhere/c-stub"
for s in "$t/a-stub" "$t/sub/deeper/b-stub" "$tmp/elsewhere/c-stub"; do
  $tool make "$s" --af 3:1:7 >/dev/null
done
ln -s "$tmp/elsewhere" "$t/sub/link-to-elsewhere"
ln -s "$tmp/elsewhere/c-stub" "$t/link-to-stub"
weird=$'w\x1b[2Jeird'
head -c 100 /dev/urandom > "$t/sub/$weird"
showx 0 "$t/a-stub" "$t/sub/deeper/b-stub"
[ "$(grep -c '^file: ' <<<"$out")" = 2 ] && [ "$(grep -cx 'stub: yes' <<<"$out")" = 2 ] ||
  fail "two stubs: $out"
grep -qx 'summary: 2 files: 2 stubs, 0 not stubs, 0 unreadable' <<<"$out" || fail "summary: $out"
[ "$(grep -c '^$' <<<"$out")" = 2 ] || fail "not one blank line between records: $out"
showx 1 "$t/a-stub" "$h0"
grep -qx 'summary: 2 files: 1 stubs, 1 not stubs, 0 unreadable' <<<"$out" || fail "mixed: $out"
showx 3 "$t/a-stub" "$tmp/missing" "$h0"
grep -q "cannot stat $tmp/missing" "$tmp/show-err" || fail "missing file: $(cat "$tmp/show-err")"
grep -qx 'summary: 3 files: 1 stubs, 1 not stubs, 1 unreadable' <<<"$out" || fail "unreadable: $out"
showx 1 "$t"
grep -qx 'why: a directory (-r shows the files below it)' <<<"$out" || fail "directory: $out"
showx 1 "$t/link-to-stub"
grep -qx 'why: a symbolic link' <<<"$out" || fail "link: $out"
showx 1 -r "$t"
files=$(grep '^file: ' <<<"$out")
want="file: $t/a-stub
file: $t/sub/deeper/b-stub
file: $t/sub/w\\x1b[2Jeird"
[ "$files" = "$want" ] || fail "-r shows $files, not $want"
grep -qx 'summary: 3 files: 2 stubs, 1 not stubs, 0 unreadable' <<<"$out" || fail "-r summary: $out"
LC_ALL=C grep -q $'\x1b' <<<"$out" && fail "a raw escape in the output"
# A relative tree is shown by the names it was given.
cd "$tmp"
showx 1 -r tree/sub
rm "$t/sub/$weird"
showx 0 -r tree/sub ./tree/a-stub
cd - >/dev/null
grep -q '^file: tree/sub/deeper/b-stub$' <<<"$out" && grep -q '^file: ./tree/a-stub$' <<<"$out" ||
  fail "relative names: $out"

# A key that others can read is refused: nothing can be made or recognised.
chmod 644 "$tmp/stub.key"
code=0
$tool make "$h0" --af 2:1:3 >/dev/null 2>"$tmp/err" || code=$?
[ "$code" = 1 ] || fail "made a stub under a readable key: exit $code"
grep -q "Stub key $tmp/stub.key refused: its group or others have access to it (mode 0644)" "$tmp/err" ||
  fail "unclear key message: $(cat "$tmp/err")"
chmod 600 "$tmp/stub.key"

# Bad input: non-zero exit with a message, the file untouched.
h=$tmp/plain
echo hello > "$h"
expect_error() {
  local code=0
  err=$($tool "$@" 2>&1 >/dev/null) || code=$?
  [ "$code" -ne 0 ] || fail "accepted: $*"
  [ -n "$err" ] || fail "no message for: $*"
}
expect_error make "$h" --af 2:1
expect_error make "$h" --af 2:1:x
expect_error make "$h" --af 2:1:3 --kind 3
expect_error make "$h" --af 2:1:3 --stub-guid 'has space'
expect_error make "$h" --af 2:1:3 --app-id -5
expect_error make "$h" --af 2:1:3 --size 99
expect_error make "$tmp/missing" --af 2:1:3
expect_error make "$tmp" --af 2:1:3
expect_error show "$tmp/missing"
rc=0; $tool show "$tmp/missing" >/dev/null 2>&1 || rc=$?
[ "$rc" = 3 ] || fail "an unreadable file exits with $rc, not 3"
rc=0; $tool show >/dev/null 2>&1 || rc=$?
[ "$rc" = 2 ] || fail "show without a file exits with $rc, not 2"
expect_error make "$h"
expect_error frobnicate "$h"
rc=0; $tool frobnicate "$h" >/dev/null 2>&1 || rc=$?
[ "$rc" = 2 ] || fail "a usage error exits with $rc, not 2"
[ "$(cat "$h")" = hello ] || fail "file changed by a refused make"
setfattr -n user.OSTUB -v garbage "$h"
expect_error show "$h"
grep -q 'no valid stub meta-data' <<<"$err" || fail "unclear message: $err"
echo "stub tool check passed"
