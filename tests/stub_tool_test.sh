#!/usr/bin/env bash
# tqhsm-stub make then show: the meta-data come back, the file keeps its size
# and its data blocks are released.
set -euo pipefail
build=$2
tool=$build/tqhsm-stub
[ -x "$tool" ] || { echo "no $tool"; exit 1; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tqhsm-stub-test.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
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

out=$("$tool" show "$f")
grep -qx 'stub: no' <<<"$out" || fail "a plain file shown as a stub: $out"

"$tool" make "$f" --af 2:1:4711 --kind 2 --stub-guid 5f0c6a1e-0d44 --app-id 5 \
  --app-guid '{APP-5}' --mtime 1234567890 >/dev/null
out=$("$tool" show "$f")
for want in 'stub: yes' 'source: extended attribute user.OSTUB' 'af: 2:1:4711' \
            'kind: 2 (subclient stub)' 'stub_guid: 5f0c6a1e-0d44' 'app_id: 5' \
            'app_guid: {APP-5}' 'original_size: 1048576'; do
  grep -qxF -- "$want" <<<"$out" || fail "missing '$want' in: $out"
done
[ "$(stat -c %s "$f")" = 1048576 ] || fail "size changed: $(stat -c %s "$f")"
blocks_after=$(stat -c %b "$f")
[ "$blocks_after" -lt $((blocks_before / 8)) ] ||
  fail "blocks not released: $blocks_before before, $blocks_after after"
[ "$(stat -c %Y "$f")" = 1234567890 ] || fail "modification time not applied"
getfattr --absolute-names -n user.OSTUB "$f" >/dev/null || fail "no user.OSTUB attribute"

# A sparse-file stub: the same bytes at the head, found without the attribute.
g=$tmp/sparse
head -c 65536 /dev/urandom > "$g"
"$tool" make "$g" --af 9:2:77 --head >/dev/null
setfattr -x user.OSTUB "$g"
out=$("$tool" show "$g")
grep -qx 'source: head of the file (sparse-file stub)' <<<"$out" || fail "head stub not found: $out"
grep -qx 'af: 9:2:77' <<<"$out" || fail "head stub meta-data: $out"
grep -qx 'kind: 1 (archiver stub)' <<<"$out" || fail "head stub kind: $out"

# Bad input: non-zero exit with a message, the file untouched.
h=$tmp/plain
echo hello > "$h"
expect_error() {
  local code=0
  err=$("$tool" "$@" 2>&1 >/dev/null) || code=$?
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
expect_error make "$h"
expect_error frobnicate "$h"
rc=0; "$tool" frobnicate "$h" >/dev/null 2>&1 || rc=$?
[ "$rc" = 2 ] || fail "a usage error exits with $rc, not 2"
[ "$(cat "$h")" = hello ] || fail "file changed by a refused make"
setfattr -n user.OSTUB -v garbage "$h"
expect_error show "$h"
grep -q 'no valid stub meta-data' <<<"$err" || fail "unclear message: $err"
echo "stub tool check passed"
