#!/usr/bin/env bash
# bench/scan_vs_walk.sh [BUILD] [N]: makes a tree of N files (default 200,000)
# and times, on that tree, a bare fts + lstat walk, tqhsm-scan, and find with the
# same age and size tests; prints files per second, each ratio to the bare walk
# and the peak resident memory. Each is run three times after a warm-up walk
# (warm caches); the median time and the largest peak memory are shown.
# BENCH_DIR chooses where the tree is made (default $TMPDIR or /tmp).
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
n=${2:-200000}
runs=3
for t in bench/bench-walk bench/bench-mktree bench/bench-run tqhsm-scan; do
  [ -x "$build/$t" ] || { echo "bench: $build/$t is missing; build first (make build)" >&2; exit 1; }
done
dir=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/tqhsm-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT
tree=$dir/tree

echo "making $n files under $tree ..."
read -r s _ < <("$build/bench/bench-run" /dev/null "$build/bench/bench-mktree" "$tree" "$n")
echo "  done in $s s"

# Rules that the find command below expresses too: not accessed and not
# modified for 30 days, larger than one 4 KiB block. Both watermarks at 100 %
# give the volume a budget larger than the tree, so the scan takes every file.
cat > "$dir/tqhsm.ini" <<EOF
[FileSystemAgent]
sSKIP_FS_TO_MONITOR = :proc:sysfs:
[Subclient 1]
HighFreeSpace = 100
LowFreeSpace = 100
DaysOld = 30
DaysOldMTime = 30
MinFileSizeKB = 4
RulesFlag = 0
[HSM]
StateDirectory = $dir/state
[Catalog]
Path = $dir/catalog.db
EOF
mkdir -p "$dir/results"

"$build/bench/bench-walk" "$tree" >/dev/null  # warm-up: the same caches for everyone

declare -A secs rss
for tool in walk scan find; do
  times=()
  peak=0
  for ((i = 0; i < runs; i++)); do
    case $tool in
      walk) read -r s k < <("$build/bench/bench-run" "$dir/$tool.out" "$build/bench/bench-walk" "$tree") ;;
      scan) read -r s k < <("$build/bench/bench-run" "$dir/$tool.out" env TQHSM_LOG="$dir/scan.log" \
              TQHSM_DEBUG_LEVEL=0 "$build/tqhsm-scan" --config "$dir/tqhsm.ini" --app-id 1 \
              --job-results "$dir/results" --no-progress "$tree") ;;
      find) read -r s k < <("$build/bench/bench-run" "$dir/$tool.out" find "$tree" -xdev -type f \
              -atime +29 -mtime +29 -size +4096c -printf '|%p:%i|0|\n') ;;
    esac
    times+=("$s")
    [ "$k" -gt "$peak" ] && peak=$k
  done
  secs[$tool]=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p")
  rss[$tool]=$peak
done

collected=$(wc -l < "$dir/results/StubCollect")
found=$(wc -l < "$dir/find.out")
echo
echo "N = $n files; median of $runs runs, warm caches"
printf '%-12s %10s %12s %14s %14s\n' tool seconds files/s "ratio to walk" "peak RSS KiB"
for tool in walk scan find; do
  s=${secs[$tool]}
  rate=$(awk -v n="$n" -v s="$s" 'BEGIN { printf "%d", (s > 0 ? n / s : 0) }')
  ratio=$(awk -v s="$s" -v w="${secs[walk]}" 'BEGIN { printf "%.2f", (w > 0 ? s / w : 0) }')
  name=$tool
  [ "$tool" = walk ] && name="fts+lstat"
  [ "$tool" = scan ] && name="tqhsm-scan"
  printf '%-12s %10s %12s %14s %14s\n' "$name" "$s" "$rate" "$ratio" "${rss[$tool]}"
done
echo
echo "candidates: tqhsm-scan collected $collected, find matched $found"
if [ "$collected" != "$found" ]; then
  echo "bench: tqhsm-scan and find disagree" >&2
  exit 1
fi
