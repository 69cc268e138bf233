#!/usr/bin/env bash
# tqhsm-catalog: creates the catalog, fills every table, lists it, and refuses
# bad input with a clear message and a non-zero exit.
set -uo pipefail
build=$2
tool=$build/tqhsm-catalog
[ -x "$tool" ] || { echo "no $tool"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fails=0
check() {  # check <description> <command...>: the command must succeed
  local what=$1; shift
  if ! "$@" >"$tmp/out" 2>"$tmp/err"; then
    echo "FAIL: $what"; cat "$tmp/out" "$tmp/err"; fails=$((fails + 1))
  fi
}
refuse() {  # refuse <description> <expected text> <command...>: must fail with that text
  local what=$1 want=$2; shift 2
  if "$@" >"$tmp/out" 2>"$tmp/err"; then
    echo "FAIL: $what succeeded"; fails=$((fails + 1)); return
  fi
  if ! grep -qF -- "$want" "$tmp/err"; then
    echo "FAIL: $what: missing '$want'"; cat "$tmp/err"; fails=$((fails + 1))
  fi
}
expect_out() {  # expect_out <text>: the last command's output holds the text
  grep -qxF -- "$1" "$tmp/out" || { echo "FAIL: output lacks '$1'"; cat "$tmp/out"; fails=$((fails + 1)); }
}

db=$tmp/state/deep/catalog.db
cat=("$tool" --catalog "$db")
check "init creates the directory" "${cat[@]}" init
expect_out "Catalog ready: $db"
check "retention" "${cat[@]}" retention 42 -1
check "retention replaced" "${cat[@]}" retention 43 10
check "retention replaced again" "${cat[@]}" retention 43 365
check "parvis" "${cat[@]}" parvis 2 200
check "af pruned" "${cat[@]}" af 10 1 200 --pruned
check "af without copy" "${cat[@]}" af 11 1 200 --copy-id 0
check "stub" "${cat[@]}" stub "{5A1B-0001}" 2 1 10
check "stub unknown to the index" "${cat[@]}" stub G2 2 1 11 --not-found

check "list" "${cat[@]}" list
for line in "== subclient_retention ==" "subclient_id|archiver_retention_days" "42|-1" "43|365" \
            "== parvis ==" "2|200" \
            "== archive_files ==" "afile_id|copy_precedence|parvis_id|copy_id|pruned" \
            "10|1|200|1|1" "11|1|200|0|0" \
            "== stub_index ==" "{5A1B-0001}|2|1|10|1" "G2|2|1|11|0"; do
  expect_out "$line"
done

check "sql with rows" "${cat[@]}" sql "SELECT count(*) AS n FROM subclient_retention; SELECT 'a|b', NULL"
expect_out "n"
expect_out "2"
expect_out "a|b|"

# The catalog path from the configuration.
printf '[Catalog]\nPath = %s\n' "$db" > "$tmp/tqhsm.ini"
check "path from --config" "$tool" --config "$tmp/tqhsm.ini" sql "SELECT days FROM (SELECT archiver_retention_days AS days FROM subclient_retention WHERE subclient_id = 43)"
expect_out "365"
TQHSM_CONFIG=$tmp/tqhsm.ini check "path from TQHSM_CONFIG" "$tool" list
expect_out "42|-1"

# Bad input.
refuse "letters for a number" "'x' is not a whole number" "${cat[@]}" retention x 5
refuse "retention below -1" "'-2' is below -1" "${cat[@]}" retention 5 -2
refuse "negative id" "'-3' is below 0" "${cat[@]}" parvis -3 1
refuse "missing argument" "AFILE_ID" "${cat[@]}" stub G 1 1
refuse "empty GUID" "GUID must not be empty" "${cat[@]}" stub "" 1 1 1
refuse "no command" "A subcommand is required" "${cat[@]}"
refuse "bad SQL" "no such table: nope" "${cat[@]}" sql "SELECT * FROM nope"
refuse "catalog that cannot be opened" "Cannot open catalog $tmp/none/x.db" "$tool" --catalog "$tmp/none/x.db" list
printf '[Catalog\nPath = x\n' > "$tmp/bad.ini"
refuse "malformed configuration" "is malformed at line 1" "$tool" --config "$tmp/bad.ini" list
refuse "missing configuration" "Cannot open configuration file" "$tool" --config "$tmp/nothing.ini" list
echo "not a database" > "$tmp/junk.db"
refuse "file that is not a database" "Cannot prepare catalog $tmp/junk.db" "$tool" --catalog "$tmp/junk.db" list

# The data survived the refusals.
check "list after refusals" "${cat[@]}" list
expect_out "43|365"

[ "$fails" -eq 0 ] || { echo "$fails failure(s)"; exit 1; }
echo "ok"
