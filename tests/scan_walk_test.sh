#!/usr/bin/env bash
# tqhsm-scan end to end on what the walk and the job-results check must hold
# against a tree's owners: job-results directories others can write are
# refused (sticky ones owned by the scan's user or root are not), and names
# with control characters reach the log, the summary and the walk's warnings
# escaped while StubCollect keeps them as they are; the run's own files (its
# lock, action log and log) planted by another user in a sticky job-results
# directory are refused. Needs root (to hand files to other users; exit 77
# otherwise).
set -euo pipefail
build=$(cd "$2" && pwd)
scan=$build/tqhsm-scan
[ -x "$scan" ] || { echo "no $scan"; exit 1; }
[ "$(id -u)" = 0 ] || { echo "needs root"; exit 77; }
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tqhsm-walk-test.XXXXXX")
trap 'chmod -R u+rwx "$tmp" 2>/dev/null; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
# No raw control byte but line ends in a file.
clean() { ! LC_ALL=C grep -q $'[\x01-\x09\x0b-\x1f\x7f]' "$1"; }

tree=$tmp/tree
mkdir -p "$tree/d"
now=$(date +%s)
mk() {  # path size days-ago
  head -c "$2" /dev/urandom > "$1"
  touch -d "@$(( now - $3 * 86400 ))" "$1"
}
mk "$tree/d/old.bin" 100000 400
hostile=$'a\x1b[31m\r\x07\\b.bin'           # ESC, CR, BEL and a backslash
hostile_shown='a\x1b[31m\r\x07\\b.bin'      # as the log writes it
mk "$tree/d/$hostile" 100000 400

read -r blocks avail < <(stat -f -c '%b %a' "$tmp")
low=$(( (100 * avail + blocks - 1) / blocks + 1 )); [ $low -gt 100 ] && low=100
high=$(( low + 1 )); [ $high -gt 100 ] && high=100
config() {  # file state-dir
  cat > "$1" <<EOF
[FileSystemAgent]
sSKIP_FS_TO_MONITOR = :proc:sysfs:
[Subclient 5]
HighFreeSpace = $high
LowFreeSpace = $low
DaysOld = 30
DaysOldMTime = 30
MinFileSizeKB = 4
RulesFlag = 0
[HSM]
StateDirectory = $2
[Catalog]
Path = $2/catalog.db
EOF
}
config "$tmp/tqhsm.ini" "$tmp/state"
run() {  # job-results args...
  local jr=$1
  shift
  TQHSM_LOG=$tmp/log TQHSM_DEBUG_LEVEL=5 "$scan" --config "$tmp/tqhsm.ini" --app-id 5 \
    --job-results "$jr" --collect-file SC --no-progress "$@"
}

# --- The job-results directory -------------------------------------------------
mkdir -p "$tmp/jr"/{open,sticky,nobody,safe} "$tmp/jr/openparent/res" "$tmp/jr/stickyparent/res"
chmod 0777 "$tmp/jr/open" "$tmp/jr/openparent"
chmod 1777 "$tmp/jr/sticky" "$tmp/jr/stickyparent"
chown nobody "$tmp/jr/nobody"
ln -s "$tmp/jr/sticky" "$tmp/jr/link"
refused() {  # job-results expected-reason...
  local jr=$1 rc=0 err
  shift
  err=$(run "$jr" "$tree" 2>&1 >/dev/null) || rc=$?
  [ $rc = 1 ] || fail "job results $jr: exit $rc, expected 1"
  grep -qF "tqhsm-scan: job results directory" <<<"$err" || fail "no refusal for $jr: $err"
  for want in "$@"; do grep -qF -- "$want" <<<"$err" || fail "refusal of $jr lacks '$want': $err"; done
  [ -e "$jr/SC" ] && fail "a collect file was made in refused $jr"
  return 0
}
refused "$tmp/jr/open" "refused" "can be written by others (mode 0777)" "chmod +t"
refused "$tmp/jr/openparent/res" "$tmp/jr/openparent can be written by others (mode 0777), who can replace what is below it"
refused "$tmp/jr/nobody" "belongs to uid $(id -u nobody)"
(cd "$tmp/jr/open" && refused . "can be written by others")   # the default "."
refused "$tmp/jr/missing" "cannot resolve"

accepted() {  # job-results real-directory
  local out
  out=$(run "$1" "$tree") || fail "job results $1 refused: $out"
  [ "$(wc -l < "$2/SC")" = 2 ] || fail "job results $1: StubCollect $(cat "$2/SC")"
}
accepted "$tmp/jr/sticky" "$tmp/jr/sticky"          # 1777 owned by root, the scan's user
accepted "$tmp/jr/stickyparent/res" "$tmp/jr/stickyparent/res"
accepted "$tmp/jr/safe" "$tmp/jr/safe"
rm -f "$tmp/jr/sticky/SC"
accepted "$tmp/jr/link" "$tmp/jr/sticky"            # a link given by the administrator

# --- Names with control characters ---------------------------------------------
# StubCollect is data: the name as it is. The log: escaped, one line each.
sc=$tmp/jr/safe/SC
grep -qF -- "|$tree/d/$hostile:" "$sc" || fail "StubCollect lacks the raw name: $(cat -v "$sc")"
grep -qF -- "To be migrated...$tree/d/$hostile_shown " "$tmp/log" ||
  fail "the log lacks the escaped name: $(grep 'To be migrated' "$tmp/log" | cat -v)"
clean "$tmp/log" || fail "raw control bytes in the log: $(grep -n $'[\x1b\r\x07]' "$tmp/log" | cat -v)"

# The summary shows a content path with the same escapes.
weird=$tmp/$'esc\x1b]0;title\x07dir'
mkdir "$weird"
out=$(run "$tmp/jr/safe" "$weird") || fail "scan of $weird: $out"
grep -qF -- "content path:      $tmp/esc\\x1b]0;title\\x07dir" <<<"$out" ||
  fail "summary: $(cat -v <<<"$out")"
printf '%s\n' "$out" > "$tmp/summary"
clean "$tmp/summary" || fail "raw control bytes in the summary: $(cat -v "$tmp/summary")"

# The walk's warnings on standard error: the scan runs as an ordinary user
# over a directory it may not read, whose name carries a terminal escape.
user=tqhsm-test
id "$user" >/dev/null 2>&1 ||
  useradd --system --no-create-home --shell /usr/sbin/nologin "$user" >/dev/null 2>&1 ||
  { echo "walk checks passed (no test user: warnings not checked)"; exit 0; }
chmod 0755 "$tmp"
utree=$tmp/utree
mkdir -p "$utree/$(printf 'lock\x1b[2J')" "$tmp/ustate" "$tmp/uresults"
chmod 0 "$utree/$(printf 'lock\x1b[2J')"
chown "$user": "$tmp/ustate" "$tmp/uresults"
config "$tmp/user.ini" "$tmp/ustate"
chmod 0644 "$tmp/user.ini"
rc=0
setpriv --reuid "$user" --regid "$user" --clear-groups env TQHSM_LOG="$tmp/ustate/log" \
  "$scan" --config "$tmp/user.ini" --app-id 5 --job-results "$tmp/uresults" --no-progress \
  "$utree" > "$tmp/uout" 2> "$tmp/uerr" || rc=$?
[ $rc = 0 ] || fail "scan as $user: exit $rc: $(cat -v "$tmp/uerr")"
grep -qF -- "tqhsm-scan: $utree/lock\\x1b[2J: Permission denied" "$tmp/uerr" ||
  fail "warning: $(cat -v "$tmp/uerr")"
grep -qF "unreadable:        1" "$tmp/uout" || fail "unreadable not counted: $(cat "$tmp/uout")"
clean "$tmp/uerr" || fail "raw control bytes in the warnings: $(cat -v "$tmp/uerr")"

# --- The run's own files in a sticky job-results directory -----------------------
# Another user can create entries in a sticky directory: a lock file, or a
# link where the action log or the default log go. Each is refused (exit 1,
# before anything is scanned), never followed, never written.
sticky=$tmp/jr/sticky2
mkdir "$sticky"
chmod 1777 "$sticky"
printf 'precious\n' > "$tmp/root-only"
chmod 600 "$tmp/root-only"
as_user() { setpriv --reuid "$user" --regid "$user" --clear-groups "$@"; }
planted() {  # what expected-message
  local what=$1 want=$2 rc=0
  err=$(env -u TQHSM_LOG "$scan" --config "$tmp/tqhsm.ini" --app-id 5 --job-results "$sticky" \
        --collect-file SC --no-progress "$tree" 2>&1 >/dev/null) || rc=$?
  [ $rc = 1 ] || fail "$what: exit $rc: $err"
  grep -qF -- "$want" <<<"$err" || fail "$what: $err"
  [ "$(cat "$tmp/root-only")" = precious ] || fail "$what: the planted link was followed"
  [ -e "$sticky/SC" ] && fail "$what: the run went on"
  rm -f "$sticky"/*
}
as_user touch "$sticky/tqhsm-scan.lock"
planted "another user's lock file" \
  "cannot lock job results directory $sticky: Refusing to use $sticky/tqhsm-scan.lock: it belongs to user $(id -u "$user")"
# (The kernel may refuse these links itself, fs.protected_symlinks.)
as_user ln -s "$tmp/root-only" "$sticky/SC.actions"
planted "a link at the action log" "cannot write the action log: "
grep -qF "$sticky/SC.actions" <<<"$err" || fail "the action log is not named: $err"
as_user ln -s "$tmp/root-only" "$sticky/SC.log"
planted "a link at the log" "cannot write the log: "
grep -qF "$sticky/SC.log" <<<"$err" || fail "the log is not named: $err"
echo "walk checks passed"
