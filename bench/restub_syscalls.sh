#!/bin/bash
# System calls per re-stubbed file of the re-stubbing pass: bench-restub over
# a small tree under strace, counting only the calls between the two getppid
# marks that enclose ProcessFilesForReStubbing.
#   bash bench/restub_syscalls.sh BENCH_RESTUB_BINARY [FILES]
set -euo pipefail
bin=${1:?usage: restub_syscalls.sh BENCH_RESTUB_BINARY [FILES]}
files=${2:-200}
command -v strace >/dev/null || { echo "restub_syscalls.sh: strace is not installed" >&2; exit 77; }
trace=$(mktemp)
trap 'rm -f "$trace"' EXIT
strace -f -qq -o "$trace" "$bin" --files "$files" --rounds 1 >/dev/null
awk -v files="$files" '
  NR == 1 { main = $1 }                  # the bench itself, not the shells it runs
  $1 != main { next }
  /getppid\(/ { inside = !inside; next }
  inside {
    sub(/^[0-9]+ +/, "")
    if ($0 ~ /^<\.\.\./) next           # the end of a call already counted
    name = $0; sub(/\(.*/, "", name)
    count[name]++; total++
  }
  END {
    printf "re-stubbing pass: %.1f system calls per file (%d files)\n", total / files, files
    for (n in count) printf "  %-16s %6.2f\n", n, count[n] / files | "sort -k2 -nr"
  }' "$trace"
