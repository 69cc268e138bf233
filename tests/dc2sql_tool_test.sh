#!/usr/bin/env bash
# The tqhsm-dc2sql command: output, exit statuses, standard input.
set -uo pipefail
src=$1
build=$2
tool=$build/tqhsm-dc2sql
[ -x "$tool" ] || { echo "no $tool"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

head='SELECT ANAME,SIZE,FILE_TYPE,CTIME,MODE,NLINK from files'

# The worked example, with users every Debian machine has.
before=$(date +%s)
"$tool" "find files where highFreeVolume = 80 AND lowFreeVolume = 60 AND userName NOT IN ('root','daemon') AND lastAccessedDays < 30 AND modifiedDays > 7;" >"$tmp/out"
rc=$?
after=$(date +%s)
[ $rc -eq 0 ] || fail "worked example exit $rc"
[ "$(wc -l <"$tmp/out")" -eq 3 ] || fail "worked example: $(cat "$tmp/out")"
query=$(sed -n 1p "$tmp/out")
re="^query: $head where ATIME > ([0-9]+) AND MTIME < ([0-9]+)  AND UID NOT IN \(0,1\)\$"
[[ $query =~ $re ]] || fail "query: $query"
atime=${BASH_REMATCH[1]}
mtime=${BASH_REMATCH[2]}
(( atime >= before - 30 * 86400 && atime <= after - 30 * 86400 )) || fail "ATIME $atime"
(( mtime >= before - 7 * 86400 && mtime <= after - 7 * 86400 )) || fail "MTIME $mtime"
[ "$(sed -n 2p "$tmp/out")" = "high free space: 80" ] || fail "high: $(sed -n 2p "$tmp/out")"
[ "$(sed -n 3p "$tmp/out")" = "low free space: 60" ] || fail "low: $(sed -n 3p "$tmp/out")"

# A conversion whose result is 0.
"$tool" "find dirs where x;" >"$tmp/out"
rc=$?
[ $rc -eq 1 ] || fail "find dirs: exit $rc"
[ "$(sed -n 1p "$tmp/out")" = "query: SELECT from files where x" ] || fail "find dirs: $(cat "$tmp/out")"

# A rule that begins with '-' goes after '--'.
out=$("$tool" -- "-no_convert-SELECT 1") || fail "no_convert exit $?"
[ "$(printf '%s\n' "$out" | head -1)" = "query: SELECT 1" ] || fail "no_convert: $out"

# One rule per line on standard input; blank lines are skipped, CRLF is fine.
printf 'find files where x;\r\n\n   \nfind files where highFreeVolume = 5 AND y;\n' |
  "$tool" >"$tmp/out"
rc=$?
[ $rc -eq 0 ] || fail "stdin exit $rc"
expected="query: $head where x
high free space: 0
low free space: 0
query: $head where y
high free space: 5
low free space: 0"
[ "$(cat "$tmp/out")" = "$expected" ] || fail "stdin output: $(cat "$tmp/out")"

# One failing rule among several makes the status 1, and all are still printed.
printf 'find dirs where x;\nfind files where y;\n' | "$tool" >"$tmp/out"
rc=$?
[ $rc -eq 1 ] || fail "stdin with a failing rule: exit $rc"
[ "$(grep -c '^query: ' "$tmp/out")" -eq 2 ] || fail "stdin with a failing rule: $(cat "$tmp/out")"

# Usage errors.
"$tool" </dev/null >/dev/null 2>&1; rc=$?
[ $rc -eq 2 ] || fail "no rule: exit $rc"
"$tool" --bogus "find files where x;" >/dev/null 2>&1; rc=$?
[ $rc -eq 2 ] || fail "unknown option: exit $rc"
"$tool" "find files where x;" "second" >/dev/null 2>&1; rc=$?
[ $rc -eq 2 ] || fail "two rules: exit $rc"
"$tool" --help >"$tmp/out" 2>&1; rc=$?
[ $rc -eq 0 ] || fail "--help: exit $rc"
grep -q 'standard input' "$tmp/out" || fail "--help: $(cat "$tmp/out")"

# The converter is exported from the shared library, its test seams are not,
# and the installed header is usable on its own.
so=$(ls "$build"/libtqhsm.so.* | head -1)
symbols=$(nm -DC --defined-only "$so")
grep -q ' T convert_dc_to_sql(' <<<"$symbols" || fail "convert_dc_to_sql not exported"
grep -q ' [BD] v_users' <<<"$symbols" || fail "v_users not exported"
if grep -q 'tqhsm::dc::' <<<"$symbols"; then fail "test seams exported"; fi
if ! grep -q '^TQHSM_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  bash "$src/scripts/install-prefix.sh" "$build" "$tmp/prefix" >/dev/null || fail "install"
  [ ! -e "$tmp/prefix/include/tqhsm/detail" ] || fail "test seams installed"
  cat >"$tmp/main.cpp" <<'CPP'
#include <tqhsm/TQDCClient.h>
#include <cstdio>
int main() {
  char query[256];
  unsigned int high = 0, low = 0;
  int result = convert_dc_to_sql("find files where highFreeVolume = 70 AND size > 1;", query,
                                 sizeof query, &high, &low);
  std::printf("%d|%s|%u|%u\n", result, query, high, low);
  return 0;
}
CPP
  libdir=$(ls -d "$tmp/prefix"/lib*/pkgconfig | head -1)
  PKG_CONFIG_PATH=$libdir g++ -std=c++17 -Wall -Werror "$tmp/main.cpp" -o "$tmp/main" \
    $(PKG_CONFIG_PATH=$libdir pkg-config --cflags --libs tqhsm) || fail "build against the header"
  out=$(LD_LIBRARY_PATH=$(dirname "$libdir") "$tmp/main")
  [ "$out" = "1|$head where size > 1|70|0" ] || fail "installed library: $out"
fi

echo "tqhsm-dc2sql checks passed"
