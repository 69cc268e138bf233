#!/usr/bin/env bash
# bench/scan_vs_walk.sh [BUILD] [N]: makes a tree of N files (default 200,000)
# and times, on that tree, a bare fts + lstat walk (the reference), the scan's
# own descriptor walk alone, tqhsm-scan, and find with the same age and size
# tests; prints files per second, each ratio to the bare walk and the peak
# resident memory. Three rounds run after a warm-up walk (warm caches), every
# tool once per round; the median time, the median and the spread of the
# per-round ratios and the largest peak memory are shown.
# BENCH_DIR chooses where the tree is made (default $TMPDIR or /tmp).
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
n=${2:-200000}
runs=3
for t in bench/bench-walk bench/bench-treewalk bench/bench-mktree bench/bench-run tqhsm-scan; do
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

# Rounds of every tool one after the other (A B C D, A B C D, ...), so that a
# busy moment of the machine hits all of them alike; each tool's median time,
# and the median of its per-round ratios to the fts walk of the same round.
tools="walk treewalk scan find"
declare -A secs rss times ratios
for tool in $tools; do rss[$tool]=0; times[$tool]=""; ratios[$tool]=""; done
for ((i = 0; i < runs; i++)); do
  declare -A round
  for tool in $tools; do
    case $tool in
      walk) read -r s k < <("$build/bench/bench-run" "$dir/$tool.out" "$build/bench/bench-walk" "$tree") ;;
      treewalk) read -r s k < <("$build/bench/bench-run" "$dir/$tool.out" "$build/bench/bench-treewalk" "$tree") ;;
      scan) read -r s k < <("$build/bench/bench-run" "$dir/$tool.out" env TQHSM_LOG="$dir/scan.log" \
              TQHSM_DEBUG_LEVEL=0 "$build/tqhsm-scan" --config "$dir/tqhsm.ini" --app-id 1 \
              --job-results "$dir/results" --no-progress "$tree") ;;
      find) read -r s k < <("$build/bench/bench-run" "$dir/$tool.out" find "$tree" -xdev -type f \
              -atime +29 -mtime +29 -size +4096c -printf '|%p:%i|0|\n') ;;
    esac
    round[$tool]=$s
    times[$tool]+="$s "
    [ "$k" -gt "${rss[$tool]}" ] && rss[$tool]=$k
  done
  for tool in $tools; do
    ratios[$tool]+="$(awk -v s="${round[$tool]}" -v w="${round[walk]}" 'BEGIN { printf "%.3f", (w > 0 ? s / w : 0) }') "
  done
done
median() { tr ' ' '\n' | sed '/^$/d' | sort -n | sed -n "$(( (runs + 1) / 2 ))p"; }
for tool in $tools; do secs[$tool]=$(median <<<"${times[$tool]}"); done

collected=$(wc -l < "$dir/results/StubCollect")
found=$(wc -l < "$dir/find.out")
echo
echo "N = $n files; median of $runs rounds, warm caches"
printf '%-12s %10s %12s %14s %18s %14s\n' tool seconds files/s "ratio to walk" "ratios min-max" "peak RSS KiB"
for tool in $tools; do
  s=${secs[$tool]}
  rate=$(awk -v n="$n" -v s="$s" 'BEGIN { printf "%d", (s > 0 ? n / s : 0) }')
  ratio=$(median <<<"${ratios[$tool]}")
  spread=$(tr ' ' '\n' <<<"${ratios[$tool]}" | sed '/^$/d' | sort -n | sed -n '1p;$p' | paste -sd- -)
  name=$tool
  [ "$tool" = walk ] && name="fts+lstat"
  [ "$tool" = treewalk ] && name="scan's walk"
  [ "$tool" = scan ] && name="tqhsm-scan"
  printf '%-12s %10s %12s %14s %18s %14s\n' "$name" "$s" "$rate" "$ratio" "$spread" "${rss[$tool]}"
done
echo
echo "candidates: tqhsm-scan collected $collected, find matched $found"
if [ "$collected" != "$found" ]; then
  echo "bench: tqhsm-scan and find disagree" >&2
  exit 1
fi
