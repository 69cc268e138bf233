#!/usr/bin/env bash
# bench/order_bench.sh [BUILD] [N]: tqhsm-scan --order oldest against
# --order walk on one tree of N files (default 1,000,000; `make bench` passes
# a smaller BENCH_FILES). The volume's budget is larger than the tree, so both
# orders take every file and collect the same ones: the difference is the cost
# of the first pass's list, its sort and the second pass's link-free reopen.
# Rounds alternate A B A B after a warm-up; shown are each order's median
# time, files per second, peak memory, and the median of the per-round ratios
# oldest / walk. A third run of oldest with --sort-memory 1 MiB shows the
# cost of spilling sorted runs to the job-results directory.
# BENCH_DIR chooses where the tree is made (default $TMPDIR or /tmp).
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
n=${2:-1000000}
runs=3
for t in bench/bench-mktree bench/bench-run tqhsm-scan; do
  [ -x "$build/$t" ] || { echo "bench: $build/$t is missing; build first (make build)" >&2; exit 1; }
done
dir=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/tqhsm-order-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT
tree=$dir/tree
echo "making $n files under $tree ..."
read -r s _ < <("$build/bench/bench-run" /dev/null "$build/bench/bench-mktree" "$tree" "$n")
echo "  done in $s s"
cat > "$dir/tqhsm.ini" <<EOI
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
EOI
mkdir -p "$dir/results"
scan() {  # name args...
  local name=$1
  shift
  "$build/bench/bench-run" "$dir/$name.out" env TQHSM_LOG="$dir/scan.log" TQHSM_DEBUG_LEVEL=0 \
    "$build/tqhsm-scan" --config "$dir/tqhsm.ini" --app-id 1 --job-results "$dir/results" \
    --collect-file "SC-$name" --no-progress "$@" "$tree"
}
scan walk --order walk >/dev/null  # warm-up
orders="walk oldest spilled"
declare -A times rss ratios
for o in $orders; do times[$o]=""; rss[$o]=0; ratios[$o]=""; done
for ((i = 0; i < runs; i++)); do
  declare -A round
  for o in $orders; do
    case $o in
      walk) read -r s k _ < <(scan walk --order walk) ;;
      oldest) read -r s k _ < <(scan oldest --order oldest) ;;
      spilled) read -r s k _ < <(scan spilled --order oldest --sort-memory $((1 << 20))) ;;
    esac
    round[$o]=$s
    times[$o]+="$s "
    [ "$k" -gt "${rss[$o]}" ] && rss[$o]=$k
  done
  for o in $orders; do
    ratios[$o]+="$(awk -v s="${round[$o]}" -v w="${round[walk]}" 'BEGIN { printf "%.3f", (w > 0 ? s / w : 0) }') "
  done
done
median() { tr ' ' '\n' | sed '/^$/d' | sort -n | sed -n "$(( (runs + 1) / 2 ))p"; }
echo
echo "N = $n files; median of $runs rounds (A B A B), warm caches"
printf '%-28s %10s %12s %14s %14s\n' order seconds files/s "ratio to walk" "peak RSS KiB"
for o in $orders; do
  s=$(median <<<"${times[$o]}")
  rate=$(awk -v n="$n" -v s="$s" 'BEGIN { printf "%d", (s > 0 ? n / s : 0) }')
  name=$o
  [ "$o" = walk ] && name="--order walk"
  [ "$o" = oldest ] && name="--order oldest"
  [ "$o" = spilled ] && name="--order oldest, 1 MiB runs"
  printf '%-28s %10s %12s %14s %14s\n' "$name" "$s" "$rate" "$(median <<<"${ratios[$o]}")" "${rss[$o]}"
done
runs_line=$(grep -E '^  order:' "$dir/spilled.out" || true)
echo "spilled run: ${runs_line#  order: }"
for o in oldest spilled; do
  if ! cmp -s <(sort "$dir/results/SC-walk") <(sort "$dir/results/SC-$o"); then
    echo "bench: --order $o collected other files than --order walk" >&2
    exit 1
  fi
done
echo "all three collected the same $(wc -l < "$dir/results/SC-walk") files"
