#!/usr/bin/env bash
# tqhsm-watch: list, add and remove on real state directories (the lists are
# written by the low-level library and read back by the tool), the checks of
# check on hand-made lists, and the exit statuses.
set -uo pipefail
build=$2
tool=$build/tqhsm-watch
[ -x "$tool" ] || { echo "no $tool"; exit 1; }
tmp=$(realpath "$(mktemp -d "${TMPDIR:-/tmp}/tqhsm-watch-test.XXXXXX")")
trap 'rm -rf "$tmp"' EXIT
fails=0
bad() { echo "FAIL: $*"; fails=$((fails + 1)); }
# run <expected status> <command...>: output in $tmp/out and $tmp/err
run() {
  local want=$1; shift
  "$@" >"$tmp/out" 2>"$tmp/err"
  local rc=$?
  [ "$rc" -eq "$want" ] || { bad "exit $rc, not $want: $*"; cat "$tmp/out" "$tmp/err"; }
}
has() {  # has <file> <exact line>
  grep -qxF -- "$2" "$1" || { bad "$(basename "$1") lacks '$2'"; cat "$1"; }
}
contains() {  # contains <file> <text>
  grep -qF -- "$2" "$1" || { bad "$(basename "$1") lacks '$2'"; cat "$1"; }
}
lacks() {  # lacks <file> <text>
  if grep -qF -- "$2" "$1"; then bad "$(basename "$1") holds '$2'"; cat "$1"; fi
}

d=$tmp/data
mkdir -p "$d/a/b" "$d/c" "$d/my dir" "$d/new
line"
touch "$d/file"
st=$tmp/state
w=("$tool" --state-dir "$st")

# Nothing yet: both lists are empty and nothing is created.
run 0 "${w[@]}" list
has "$tmp/out" "watched directories ($st/watched_dirs):"
has "$tmp/out" "  (none)"
[ ! -e "$st" ] || bad "list created the state directory"
run 0 "${w[@]}" check
has "$tmp/out" "state directory $st does not exist: nothing is watched"

# add: paths as the library keeps them; a covered directory is not added.
run 0 "${w[@]}" add "$d/a/b" "$d/a/" "$d/my dir" "$d/new
line"
has "$tmp/out" "$d/a/b is watched now"
has "$tmp/out" "$d/a is watched now"
run 0 "${w[@]}" add "$d/a" "$d/a/b" "$d/a/b/"
has "$tmp/out" "$d/a is on the watch list already"
has "$tmp/out" "$d/a/b is watched already: $d/a covers it"
run 1 "${w[@]}" add relative/dir "$d/missing" "$d/file" "$d/c"
has "$tmp/err" "tqhsm-watch: Not an absolute path: relative/dir"
has "$tmp/err" "tqhsm-watch: Cannot watch $d/missing: No such file or directory"
has "$tmp/err" "tqhsm-watch: Cannot watch $d/file: not a directory"
has "$tmp/out" "$d/c is watched now"
ln -s "$d/a" "$d/link"
run 1 "${w[@]}" add "$d/link" "$d/link/b"
has "$tmp/err" "tqhsm-watch: Cannot use $d/link: it leads through a symbolic link to $d/a, which is what a scan sees; give that path"
has "$tmp/err" "tqhsm-watch: Cannot use $d/link/b: it leads through a symbolic link to $d/a/b, which is what a scan sees; give that path"
run 1 "${w[@]}" add --migrated "$d/link"
has "$tmp/err" "tqhsm-watch: Cannot use $d/link: it leads through a symbolic link to $d/a, which is what a scan sees; give that path"
# The library wrote the list; the tool reads it back, escapes and all.
has "$st/watched_dirs" "tqhsm-watched-dirs 1"
has "$st/watched_dirs" "$d/my\\040dir"
run 0 "${w[@]}" list
for line in "  $d/a/b" "  $d/a" "  $d/my dir" "  $d/new\\012line" "  $d/c"; do has "$tmp/out" "$line"; done
[ "$(grep -c '^  /' "$tmp/out")" -eq 5 ] || bad "list shows $(grep -c '^  /' "$tmp/out") entries, not 5"

# Migrated trees, of this client or of one named.
run 0 "${w[@]}" add --migrated "$d/a" "$d/c"
run 0 "${w[@]}" add --migrated --client nas9 "$d/a/b"
run 0 "${w[@]}" add --migrated --client nas9 "$d/a/b"
has "$tmp/out" "$d/a/b is a migrated tree of client nas9 already"
run 1 "${w[@]}" add --migrated "$d/missing"
has "$tmp/err" "tqhsm-watch: Cannot use $d/missing: No such file or directory"
run 2 "${w[@]}" add --client nas9 "$d/a"
run 0 "${w[@]}" list
has "$tmp/out" "  $d/a/b (client nas9)"
run 0 "${w[@]}" list --json
has "$tmp/out" "  \"state_directory\": \"$st\","
has "$tmp/out" "      \"$d/new\\nline\","
has "$tmp/out" "        \"client\": \"nas9\","
has "$tmp/out" "        \"dir\": \"$d/a/b\""

# check: the nested watch entry is redundant; nested trees of two clients are not.
run 1 "${w[@]}" check
has "$tmp/out" "$st/watched_dirs: $d/a/b: redundant: $d/a covers it"
has "$tmp/out" "1 problem(s)"
lacks "$tmp/out" "migrated_trees"

# remove: only what is listed; a still covered directory is said so.
run 0 "${w[@]}" remove "$d/a/b/"
has "$tmp/out" "$d/a/b is off the watch list; $d/a still covers it"
run 1 "${w[@]}" remove "$d/a/b" "$d/c"
has "$tmp/err" "tqhsm-watch: $d/a/b is not on the watch list ($d/a covers it; remove that entry instead)"
has "$tmp/out" "$d/c is off the watch list"
run 0 "${w[@]}" remove --migrated --client nas9 "$d/a/b"
run 1 "${w[@]}" remove --migrated "$d/a/b"
has "$tmp/err" "tqhsm-watch: $d/a/b is not a migrated tree of client $(hostname -s)"
run 0 "${w[@]}" check
has "$tmp/out" "no problems"
run 0 "${w[@]}" list
[ "$(grep -c '^  /' "$tmp/out")" -eq 5 ] || bad "after remove: $(cat "$tmp/out")"
lacks "$tmp/out" "  $d/a/b"

# Changes from many processes at once lose nothing (one lock for every change).
mkdir -p "$d/p"
pids=()
for i in $(seq 1 12); do
  mkdir "$d/p/$i"
  "${w[@]}" add "$d/p/$i" >/dev/null 2>&1 &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p" || bad "a parallel add failed"; done
[ "$(grep -c "^$d/p/" "$st/watched_dirs")" -eq 12 ] || bad "parallel adds: $(cat "$st/watched_dirs")"

# The state directory from the configuration; --state-dir wins over it.
printf '[HSM]\nStateDirectory = %s/\n' "$st" > "$tmp/tqhsm.ini"
run 0 "$tool" --config "$tmp/tqhsm.ini" list
has "$tmp/out" "  $d/my dir"
TQHSM_CONFIG=$tmp/tqhsm.ini run 0 "$tool" list
has "$tmp/out" "  $d/my dir"
run 0 "$tool" --config "$tmp/tqhsm.ini" --state-dir "$tmp/other" list
has "$tmp/out" "watched directories ($tmp/other/watched_dirs):"
run 1 "$tool" --config "$tmp" list
has "$tmp/err" "tqhsm-watch: Configuration file $tmp is a directory"
run 2 "$tool" list --bogus
run 2 "$tool"

# check on hand-made state directories: one case per line, the status, and
# the line that must appear. @ stands for the state directory of the case.
mkdir -p "$tmp/cases"
n=0
check_case() {  # check_case <status> <expected line> <watched_dirs text or -> [<migrated_trees text>]
  local want=$1 line=$2 watched=$3 trees=${4:--}
  n=$((n + 1))
  local s=$tmp/cases/$n
  mkdir -p "$s"
  [ "$watched" = - ] || printf '%s' "${watched//@/$s}" > "$s/watched_dirs"
  [ "$trees" = - ] || printf '%s' "${trees//@/$s}" > "$s/migrated_trees"
  run "$want" "$tool" --state-dir "$s" check
  has "$tmp/out" "${line//@/$s}"
}
H='tqhsm-watched-dirs 1'
T='tqhsm-migrated-trees 1'
check_case 0 "no problems" "$H"$'\n'"$d/a"$'\n'"$d/c"$'\n' "$T"$'\n'"x $d/a"$'\n'"y $d/a/b"$'\n'
check_case 1 "@/watched_dirs: $d/a: listed 2 times" "$H"$'\n'"$d/a"$'\n'"$d/a"$'\n'
check_case 1 "@/watched_dirs: $d/a/b: redundant: $d/a covers it" "$H"$'\n'"$d/a/b"$'\n'"$d/a"$'\n'
check_case 1 "@/watched_dirs: $d/a/: ends in a slash (the library keeps $d/a)" "$H"$'\n'"$d/a/"$'\n'
check_case 1 "@/watched_dirs: $d//a: holds an empty, '.' or '..' component: it never matches a path the scan sees" "$H"$'\n'"$d//a"$'\n'
check_case 1 "@/watched_dirs: $d/a/..: holds an empty, '.' or '..' component: it never matches a path the scan sees" "$H"$'\n'"$d/a/.."$'\n'
check_case 1 "@/watched_dirs: data: not an absolute path" "$H"$'\n'"data"$'\n'
check_case 1 "@/watched_dirs: $d/gone: does not exist" "$H"$'\n'"$d/gone"$'\n'
check_case 1 "@/watched_dirs: $d/file: is not a directory" "$H"$'\n'"$d/file"$'\n'
check_case 1 "@/watched_dirs: $d/link: leads through a symbolic link to $d/a: it never matches a path the scan sees" "$H"$'\n'"$d/link"$'\n'
check_case 1 "@/migrated_trees: client x: $d/a/b: redundant: $d/a covers it" - "$T"$'\n'"x $d/a"$'\n'"x $d/a/b"$'\n'
check_case 1 "@/migrated_trees: client x: $d/a: listed 2 times" - "$T"$'\n'"x $d/a"$'\n'"x $d/a"$'\n'
check_case 3 "@/watched_dirs is not a list of this version (header 'tqhsm-watched-dirs 2', expected 'tqhsm-watched-dirs 1')" "tqhsm-watched-dirs 2"$'\n'
newer=$tmp/cases/$n
check_case 3 "@/watched_dirs is cut short at line 2" "$H"$'\n'"$d/a"
check_case 3 "@/migrated_trees is malformed at line 2" - "$T"$'\n'"$d/a"$'\n'
# A list that others may write, or that another user owns, is a way in.
n=$((n + 1)); s=$tmp/cases/$n; mkdir -p "$s"
printf '%s\n%s\n' "$H" "$d/a" > "$s/watched_dirs"
chmod 0666 "$s/watched_dirs"
run 1 "$tool" --state-dir "$s" check
has "$tmp/out" "$s/watched_dirs: writable by others (mode 0666): whoever can write it changes what is watched"
chmod 0644 "$s/watched_dirs"
if [ "$(id -u)" -eq 0 ]; then
  chown 4711 "$s/watched_dirs"
  run 1 "$tool" --state-dir "$s" check
  has "$tmp/out" "$s/watched_dirs: owned by uid 4711: that user changes what is watched"
fi
# A state directory that is a file, and a list that is a directory.
printf 'x\n' > "$tmp/cases/file"
run 3 "$tool" --state-dir "$tmp/cases/file" check
has "$tmp/out" "state directory $tmp/cases/file is not a directory"
run 1 "$tool" --state-dir "$tmp/cases/file" list
has "$tmp/err" "tqhsm-watch: State directory $tmp/cases/file is not a directory"
mkdir -p "$tmp/cases/dirlist/watched_dirs"
run 3 "$tool" --state-dir "$tmp/cases/dirlist" check
contains "$tmp/out" "$tmp/cases/dirlist/watched_dirs"
# A list that cannot be read is never replaced by a change.
cp "$newer/watched_dirs" "$tmp/before"
run 1 "$tool" --state-dir "$newer" add "$d/c"
cmp -s "$tmp/before" "$newer/watched_dirs" || bad "a change replaced a list of another version"
# The status of check survives a full standard output.
"$tool" --state-dir "$newer" check >/dev/full 2>"$tmp/err"
rc=$?
[ "$rc" -eq 3 ] || bad "check > /dev/full: exit $rc, not 3"
has "$tmp/err" "tqhsm-watch: cannot write standard output: No space left on device"

[ "$fails" -eq 0 ] || { echo "$fails failure(s)"; exit 1; }
echo "ok"
