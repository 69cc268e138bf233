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
refuse "catalog that cannot be created" "Cannot open catalog $tmp/none/x.db" "$tool" --catalog "$tmp/none/x.db" parvis 1 1
printf '[Catalog\nPath = x\n' > "$tmp/bad.ini"
refuse "malformed configuration" "is malformed at line 1" "$tool" --config "$tmp/bad.ini" list
refuse "missing configuration" "Cannot open configuration file" "$tool" --config "$tmp/nothing.ini" list
refuse "configuration that is a directory" "tqhsm-catalog: Configuration file $tmp is a directory" "$tool" --config "$tmp" list
echo "not a database" > "$tmp/junk.db"
refuse "file that is not a database" "Cannot prepare catalog $tmp/junk.db" "$tool" --catalog "$tmp/junk.db" parvis 1 1

# Commands that look need a catalog and never create one, nor its directory.
for cmd in list check "sql VACUUM"; do
  # shellcheck disable=SC2086
  refuse "$cmd without a catalog" "tqhsm-catalog: Catalog $tmp/none/x.db does not exist (tqhsm-catalog init creates it)" \
    "$tool" --catalog "$tmp/none/x.db" $cmd
  [ ! -e "$tmp/none" ] || { echo "FAIL: $cmd created $tmp/none"; fails=$((fails + 1)); }
  # shellcheck disable=SC2086
  refuse "$cmd on a directory" "tqhsm-catalog: Catalog $tmp is a directory" "$tool" --catalog "$tmp" $cmd
  # shellcheck disable=SC2086
  refuse "$cmd on a file that is not a database" "Cannot read catalog $tmp/junk.db: file is not a database" \
    "$tool" --catalog "$tmp/junk.db" $cmd
done
TQHSM_CONFIG=$tmp/nothing.ini refuse "a missing configuration from the environment" "Cannot open configuration file $tmp/nothing.ini" "$tool" list

# The data survived the refusals.
check "list after refusals" "${cat[@]}" list
expect_out "43|365"

# check: a consistent catalog, read without being changed.
check "check a consistent catalog" "${cat[@]}" sql "DELETE FROM stub_index WHERE stub_guid = '{5A1B-0001}'; INSERT INTO archive_files VALUES (12, 1, 200, 1, 0); INSERT INTO stub_index VALUES ('G3', 2, 1, 12, 1)"
cp "$db" "$tmp/before.db"
check "check" "${cat[@]}" check
expect_out "no problems"
check "list" "${cat[@]}" list
cmp -s "$db" "$tmp/before.db" || { echo "FAIL: check or list changed the catalog"; fails=$((fails + 1)); }
chmod 0444 "$db"
check "check a catalog that cannot be written" "${cat[@]}" check
chmod 0644 "$db"

# check: every kind of problem, one row each; rows that are fine stay unnamed.
bad=$tmp/bad.db
badcat=("$tool" --catalog "$bad")
check "init bad" "${badcat[@]}" init
check "fill bad" "${badcat[@]}" sql "
  INSERT INTO parvis VALUES (2, 200), (3, 0), (-4, 400);
  INSERT INTO archive_files VALUES (10, 1, 200, 1, 0), (11, 1, 999, 1, 0), (12, 1, 200, -1, 2),
                                   (13, 'x', 200, 1, 0);
  INSERT INTO subclient_retention VALUES (42, -1), (43, -5), (44, '30d');
  INSERT INTO stub_index VALUES ('OK1', 2, 1, 10, 1), ('NOAF', 2, 1, 77, 1), ('NOPARVIS', 9, 1, 10, 1),
                                ('UNKNOWN', 9, 1, 77, 0), ('FOUND2', 2, 1, 10, 2),
                                ('a b', 2, 1, 10, 1), ('BIG', 2, 1, 4294967296, 1)"
if "${badcat[@]}" check >"$tmp/out" 2>"$tmp/err"; then
  echo "FAIL: check of a bad catalog succeeded"; fails=$((fails + 1))
fi
for line in \
  "subclient_retention 44: archiver_retention_days is '30d', not a whole number" \
  "subclient 43: retention of -5 days (-1 is infinite; nothing below it means anything)" \
  "Parvis number 3: id 0 is no Parvis id (ids are above 0; the number counts as unknown)" \
  "Parvis number -4 is negative: no stub carries it" \
  "archive_files 13/x/200: copy_precedence is 'x', not a whole number" \
  "AF 12 (copy precedence 1, Parvis id 200): copy_id -1, pruned 2 (copy_id is 0 or more, pruned 0 or 1)" \
  "AF 11 (copy precedence 1): Parvis id 999 is unknown: no Parvis number maps to it, so no stub reaches this AF" \
  "stub 'a b': not a stub GUID (1 to 64 of A-Za-z0-9-_.{}), so no lookup finds it" \
  "stub 'FOUND2': found is 2 (1 known to the index, 0 not)" \
  "stub 'BIG': afile_id 4294967296 is outside what the index answers (0 to 4294967295)" \
  "stub 'NOPARVIS': Parvis number 9 is unknown, so its AF cannot be found" \
  "stub 'NOAF': points at unknown AF 77 (copy precedence 1, Parvis number 2 = id 200)" \
  "stub 'BIG': points at unknown AF 4294967296 (copy precedence 1, Parvis number 2 = id 200)" \
  "13 problem(s)"; do
  expect_out "$line"
done
for name in OK1 UNKNOWN "AF 10 "; do
  if grep -qF "$name" "$tmp/out"; then echo "FAIL: check names $name"; fails=$((fails + 1)); fi
done
check "drop a table" "${badcat[@]}" sql "DROP TABLE parvis"
"${badcat[@]}" check >"$tmp/out" 2>"$tmp/err"
expect_out "table parvis is missing (tqhsm-catalog init creates it)"

[ "$fails" -eq 0 ] || { echo "$fails failure(s)"; exit 1; }
echo "ok"
