#!/usr/bin/env bash
# bench/syscalls.sh [BUILD]: what one file of each kind costs tqhsm-scan, in
# system calls (strace -c -f) and in instructions (valgrind --tool=callgrind),
# beside the floor's cost for the same file.
#
# Every figure is a difference between two runs on trees that differ only in
# the number of files of that kind (bench-mktree trees of $BENCH_SYSCALL_FILES
# and twice as many files, default 1,000; callgrind $BENCH_CALLGRIND_FILES and
# twice as many, default 500), divided by the difference in files, so that
# start-up and the end of the run cancel out. Kinds:
#   candidate          rules every file meets (0 days, 0 KiB)
#   non-candidate      rules no file meets
#   pruning, no stub   rules no file meets, HonorArchiverRetention on: every
#                      file is asked whether it is a stub
#   stub (kept)        the same on a tree of real stubs of live AFs
#   re-stubbed file    a recalled file with a current cached stub of a live AF
#                      whose index entry says found: candidate, StubCollectTemp,
#                      the re-stubbing pass and stubFile (the whole scan)
# and for the floor (bench-floor): a candidate, and a file of a pruning scan.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
files=${BENCH_SYSCALL_FILES:-1000}
cgfiles=${BENCH_CALLGRIND_FILES:-500}
for v in files cgfiles; do
  [[ ${!v} =~ ^[1-9][0-9]*$ ]] || { echo "bench: $v must be a positive number, not '${!v}'" >&2; exit 2; }
done
for t in bench/bench-floor bench/bench-mktree bench/bench-stubs tqhsm-scan tqhsm-catalog; do
  [ -x "$build/$t" ] || { echo "bench: $build/$t is missing; build first (make build)" >&2; exit 1; }
done
for tool in strace valgrind; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (make deps installs it)" >&2; exit 1; }
done
unset TQHSM_LOG TQHSM_CONFIG
. "$(dirname "$0")/lib.sh"
bench_workspace 2048 200000
afs=10
bench_config all 0 0 0 no no
bench_config none 100000 100000 0 no no
bench_config prune 100000 100000 0 yes no
bench_config restub 30 30 4 no yes
bench_catalog "$afs" "$(( 2 * files ))"

# A tree of N files of one kind, made afresh: plain or stub or recalled.
tree() {  # KIND N -> $work/tree
  rm -rf "$work/tree"
  case $1 in
    plain) "$build/bench/bench-mktree" "$work/tree" "$2" ;;
    stub) bench_stubs "$work/tree" "$2" "$afs" "$work/all.ini" ;;
    recalled) bench_recalled "$work/tree" "$2" "$afs" "$work/restub.ini" ;;
  esac
}
scanCmd() {  # CONFIG
  rm -rf "$work/results" && mkdir "$work/results"
  echo "$build/tqhsm-scan" --config "$work/$1.ini" --app-id 1 --job-results "$work/results" \
    --log "$work/results/log" --no-progress --order walk "$work/tree"
}
floorCmd() {  # candidate|prune
  if [ "$1" = candidate ]; then
    echo "$build/bench/bench-floor" "$work/tree" "$work/floor.list"
  else
    echo "$build/bench/bench-floor" --prune --days-old 100000 "$work/tree" /dev/null
  fi
}

# One run before the counted ones, so that what only a first run does (the
# state directory, the stub key, the catalog's first open) is not counted. A
# tree of recalled files is changed by a scan: it is made again afterwards.
warm() {  # KIND CMD-FUNCTION ARG
  $($2 "$3") >/dev/null
  if [ "$1" = recalled ]; then tree recalled "$(find "$work/tree" -type f | wc -l)"; fi
}

# strace -c -f of one command: "syscall calls" lines.
counts() {
  strace -c -f -o "$work/strace.out" "$@" >/dev/null
  awk '$1 ~ /^[0-9.]+$/ && NF >= 5 && $NF != "total" { print $NF, $4 }' "$work/strace.out" | sort
}
# per_file A B N: the calls of B less those of A, per file, those that differ.
per_file() {
  join -a1 -a2 -e0 -o 0,1.2,2.2 "$1" "$2" |
    awk -v n="$3" '{ d = ($3 - $2) / n; if (d > 0.005 || d < -0.005) { t += d; s = s sprintf(" %s %.2f,", $1, d) } }
                   END { sub(/,$/, "", s); printf "%6.2f  %s\n", t, s }'
}
syscalls() {  # LABEL KIND CMD-FUNCTION ARG
  tree "$2" "$files"
  warm "$2" "$3" "$4"
  counts $($3 "$4") > "$work/a"
  tree "$2" "$((2 * files))"
  counts $($3 "$4") > "$work/b"
  printf '%-26s %s\n' "$1" "$(per_file "$work/a" "$work/b" "$files")"
}

echo "system calls per file (strace -c -f; trees of $files and $((2 * files)) files):"
printf '%-26s %6s  %s\n' kind total "by call"
syscalls "candidate" plain scanCmd all
syscalls "  floor" plain floorCmd candidate
syscalls "non-candidate" plain scanCmd none
syscalls "pruning, no stub" plain scanCmd prune
syscalls "  floor" plain floorCmd prune
syscalls "stub (kept)" stub scanCmd prune
syscalls "  floor" stub floorCmd prune
syscalls "re-stubbed file" recalled scanCmd restub

# callgrind: instructions of one command ("summary:" of the output file).
instructions() {
  valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" "$@" >/dev/null 2>"$work/cg.err" ||
    { echo "bench: valgrind failed:" >&2; tail -5 "$work/cg.err" >&2; exit 1; }
  sed -n 's/^summary: *\([0-9]*\).*/\1/p' "$work/cg.out"
}
cg() {  # LABEL KIND CMD-FUNCTION ARG
  local a b
  tree "$2" "$cgfiles"
  warm "$2" "$3" "$4"
  a=$(instructions $($3 "$4"))
  tree "$2" "$((2 * cgfiles))"
  b=$(instructions $($3 "$4"))
  printf '%-26s %12.0f\n' "$1" "$(awk -v a="$a" -v b="$b" -v n="$cgfiles" 'BEGIN { print (b - a) / n }')"
}
echo
echo "instructions per file (callgrind; trees of $cgfiles and $((2 * cgfiles)) files):"
cg "candidate" plain scanCmd all
cg "  floor" plain floorCmd candidate
cg "non-candidate" plain scanCmd none
cg "pruning, no stub" plain scanCmd prune
cg "  floor" plain floorCmd prune
