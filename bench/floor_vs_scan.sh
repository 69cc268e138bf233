#!/usr/bin/env bash
# bench/floor_vs_scan.sh [BUILD] [N]: tqhsm-scan against the physical floor of
# each kind of scan, every figure a ratio measured pair by pair in one run.
#
# Trees (bench-mktree; 30 % of the files are candidates under the rules below):
#   C  N files (default $BENCH_FILES or 200,000)
#   S  50,000 files ($BENCH_SMALL), for the peak memory of a smaller scan
#   T  $BENCH_STUBS (20,000) real stubs over $BENCH_AFS (100) AFs that the
#      catalog holds, none pruned (bench-stubs stub)
#   R  $BENCH_RECALLED (2,000) recalled files with current cached stubs of a
#      live AF that the index knows, made afresh for every round (bench-stubs
#      recall)
# Pairs, each timed in the same round one right after the other (A B A B ...,
# $BENCH_ROUNDS rounds, default 5, after one untimed warm-up round: warm caches):
#   candidates   tqhsm-scan / bench-floor on C (rules: 30 days, >= 4 KiB);
#                StubCollect must equal the floor's list byte for byte
#   excluded     tqhsm-scan / bench-walk on C, with rules that no file meets
#   pruning      tqhsm-scan with HonorArchiverRetention / bench-floor --prune
#                (the walk plus one lgetxattr per file) on C and on T, with
#                rules that no file meets (every file is asked for stub data)
#   re-stubbing  bench-restub on R: the pass alone, per re-stubbed file; then
#                bench-restub-floor on R made afresh: what re-stubbing a file
#                cannot do without (open, lease, stub data written, one syncfs a
#                batch, punch, time, close, cached stub deleted), per file
#   memory       peak RSS of the candidate scan on C against that on S
# Prints per pair the median time of each side, the median and the min-max of
# the per-round ratios of elapsed time, the median ratio of CPU time, the
# target and PASS or MISS. Exit 0 when the figures could be taken (a MISS is a
# finding, not a failure); 1 when a tool failed or a StubCollect differed.
#
# Where: $BENCH_DIR, else $TMPDIR, else /tmp, when that is ext4 (the file
# system these figures are for); otherwise, and always with BENCH_LOOP=1, on a
# loop-mounted ext4 image of a known size made here, which needs root (without
# it the benchmark is skipped with a message). Everything made is removed on
# exit, the loop mount too.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
n=${2:-${BENCH_FILES:-200000}}
small=${BENCH_SMALL:-50000}
stubs=${BENCH_STUBS:-20000}
afs=${BENCH_AFS:-100}
recalled=${BENCH_RECALLED:-2000}
rounds=${BENCH_ROUNDS:-5}
for v in n small stubs afs recalled rounds; do
  [[ ${!v} =~ ^[1-9][0-9]*$ ]] || { echo "bench: $v must be a positive number, not '${!v}'" >&2; exit 2; }
done
for t in bench/bench-walk bench/bench-treewalk bench/bench-floor bench/bench-mktree bench/bench-run bench/bench-stubs \
         bench/bench-restub bench/bench-restub-floor tqhsm-scan tqhsm-catalog; do
  [ -x "$build/$t" ] || { echo "bench: $build/$t is missing; build first (make build)" >&2; exit 1; }
done
unset TQHSM_LOG TQHSM_CONFIG
. "$(dirname "$0")/lib.sh"

# A loop image, when one is needed, has room for every tree's inodes and
# directories, the stubs' attributes and the recalled data, and a filler that
# gives the volume the budget the candidates take (the files are sparse: their
# sizes are not on the disk).
biggest=$(( n > stubs ? n : stubs ))
bench_workspace "$(( (n + small + stubs + recalled) * 12 / 1024 + biggest * 3 / 1024 + 1024 ))" \
  "$(( (n + small + stubs + recalled) * 11 / 10 + 100000 ))"
[ -n "$loop" ] && fallocate -l "$(( biggest * 3 / 1024 + 64 ))M" "$loop/mnt/filler"
run=$build/bench/bench-run

echo "making the trees under $work ($(findmnt -n -o FSTYPE -T "$work") on $mountpoint) ..."
"$build/bench/bench-mktree" "$work/C" "$n"
(( n > small )) && "$build/bench/bench-mktree" "$work/S" "$small"
bench_config cand 30 30 4 no no
bench_config none 100000 30 4 no no
bench_config prune 100000 30 4 yes no
bench_config restub 30 30 4 no yes
bench_catalog "$afs" "$recalled"
bench_stubs "$work/T" "$stubs" "$afs" "$work/cand.ini"
echo "  done: C $n files, $( (( n > small )) && echo "S $small files, ")T $stubs stubs over $afs AFs"

# One timed run: NAME TOOL ARGS... -> times[NAME] += elapsed, cpu[NAME] += CPU,
# rss[NAME] = the largest peak. The output goes to $work/NAME.out.
declare -A times cpu rss
timed() {
  local name=$1 line s k c
  shift
  line=$("$run" "$work/$name.out" "$@") || {
    echo "bench: $name failed: $*" >&2
    tail -5 "$work/$name.out" >&2
    exit 1
  }
  read -r s k c <<<"$line"
  times[$name]+="$s "
  cpu[$name]+="$c "
  [ "$k" -gt "${rss[$name]:-0}" ] && rss[$name]=$k
  return 0
}
scan() {  # NAME CONFIG TREE
  mkdir -p "$work/results-$1"
  timed "$1" "$build/tqhsm-scan" --config "$work/$2.ini" --app-id 1 --job-results "$work/results-$1" \
    --log "$work/results-$1/log" --no-progress --order walk "$work/$3"
}
floorArgs=(--days-old 30 --days-mtime 30 --min-kb 4)
noneArgs=(--days-old 100000 --days-mtime 30 --min-kb 4)
result() {  # NAME CODE: the count of a result code in a scan's summary
  sed -n "s/^  result $2: *\([0-9]*\).*/\1/p" "$work/$1.out"
}
restub_us=""
restub_lines=""
restub_floor_us=""
restub_ratio=""

round() {  # one of each, pair by pair
  timed walk "$build/bench/bench-walk" "$work/C"
  timed treewalk "$build/bench/bench-treewalk" "$work/C"
  timed floor "$build/bench/bench-floor" "${floorArgs[@]}" "$work/C" "$work/floor.list"
  scan scan cand C
  if ! cmp -s "$work/floor.list" "$work/results-scan/StubCollect"; then
    echo "bench: tqhsm-scan's StubCollect differs from the floor's list:" >&2
    diff "$work/floor.list" "$work/results-scan/StubCollect" | head -5 >&2
    exit 1
  fi
  timed walk2 "$build/bench/bench-walk" "$work/C"
  scan none none C
  timed pfloor "$build/bench/bench-floor" --prune "${noneArgs[@]}" "$work/C" /dev/null
  scan prune prune C
  timed sfloor "$build/bench/bench-floor" --prune "${noneArgs[@]}" "$work/T" /dev/null
  scan sprune prune T
  (( n > small )) && scan small cand S
  bench_recalled "$work/R" "$recalled" "$afs" "$work/restub.ini"
  local line
  line=$(TQHSM_CONFIG=$work/restub.ini TQHSM_LOG=$work/results-restub/log "$build/bench/bench-restub" \
    "$work/R" "$mountpoint" "$work/results-restub" 1) || {
    echo "bench: bench-restub failed: $line (its log: $work/results-restub/log)" >&2
    tail -5 "$work/results-restub/log" >&2
    exit 1
  }
  restub_lines+="$line"$'\n'
  set -- $line
  us_this=$8
  [ "$4" = "$recalled" ] || { echo "bench: only $4 of $recalled recalled files were re-stubbed" >&2; exit 1; }
  restub_us+="${8} "
  bench_recalled "$work/R" "$recalled" "$afs" "$work/restub.ini"
  line=$("$build/bench/bench-restub-floor" "$work/R" "$work/cache") || {
    echo "bench: bench-restub-floor failed: $line" >&2
    exit 1
  }
  set -- $line
  [ "$2" = "$recalled" ] || { echo "bench: the re-stubbing floor found $2 of $recalled recalled files" >&2; exit 1; }
  restub_floor_us+="${6} "
  restub_ratio+="$(awk -v a="$us_this" -v b="$6" 'BEGIN { printf "%.4f", (b > 0 ? a / b : 0) }') "
}

mkdir -p "$work/results-restub"
echo "warm-up round ..."
round
times=() cpu=() restub_us="" restub_lines="" restub_floor_us="" restub_ratio=""
# The warm-up checked what the figures rest on.
[ "$(result sprune 2)" = "$stubs" ] || { echo "bench: the stub tree's scan kept $(result sprune 2) of $stubs stubs" >&2; exit 1; }
[ "$(result none 1)" = 0 ] && [ "$(result prune 1)" = 0 ] || { echo "bench: the exclude-all rules collected files" >&2; exit 1; }
for ((r = 1; r <= rounds; r++)); do
  echo "round $r of $rounds ..."
  round
done

# Statistics over the rounds.
med() { tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.4f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratios() {  # A B [cpu]: per-round ratios A/B
  local -n src=${3:-times}
  paste -d' ' <(tr ' ' '\n' <<<"${src[$1]}" | sed '/^$/d') <(tr ' ' '\n' <<<"${src[$2]}" | sed '/^$/d') |
    awk '{ printf "%.4f ", ($2 > 0 ? $1 / $2 : 0) }'
}
spread() {  # [DECIMALS]
  tr ' ' '\n' | sed '/^$/d' | sort -g | sed -n '1p;$p' |
    awk -v d="${1:-2}" '{ printf "%.*f%s", d, $1, (NR == 1 ? "-" : "") }'
}
verdict() { awk -v v="$1" -v t="$2" 'BEGIN { print (v <= t ? "PASS" : "MISS") }'; }

echo
echo "tqhsm-scan against its floor; $n files ($((n * 3 / 10)) candidates), $stubs stubs over $afs AFs,"
echo "$recalled re-stubbed files; median of $rounds rounds, warm caches, $(findmnt -n -o FSTYPE -T "$work")"
printf '%-44s %9s %9s %8s %11s %8s %8s %s\n' pair "A s" "B s" "A/B" "min-max" "CPU A/B" target result
pair() {  # LABEL A B TARGET
  local r c
  r=$(ratios "$2" "$3" | med)
  c=$(ratios "$2" "$3" cpu | med)
  local target="" verdictText=""
  [ "$4" != - ] && target="<= $4" && verdictText=$(verdict "$r" "$4")
  printf '%-44s %9s %9s %8.2f %11s %8.2f %8s %s\n' "$1" "$(med <<<"${times[$2]}")" \
    "$(med <<<"${times[$3]}")" "$r" "$(ratios "$2" "$3" | spread)" "$c" "$target" "$verdictText"
}
pair "candidates: scan / floor" scan floor 1.10
pair "  floor / fts+lstat walk (for reference)" floor walk -
pair "  scan's own walk / fts+lstat walk" treewalk walk -
pair "excluded by the rules: scan / walk" none walk2 1.05
pair "pruning, no stubs: scan / walk+lgetxattr" prune pfloor 1.15
pair "pruning, $stubs stubs: scan / walk+lgetxattr" sprune sfloor 1.15
us=$(med <<<"$restub_us" | awk '{ printf "%.0f", $1 }')
printf '%-44s %9s %9s %8s %11s %8s %8s %s\n' "re-stubbing pass, us per file" "" "" "$us" \
  "$(spread 0 <<<"$restub_us")" "" "<= 100" "$(verdict "$us" 100)"
printf '%-44s %9s %9s %8s %11s %8s %8s %s\n' "  its floor, us per file (for reference)" "" "" \
  "$(med <<<"$restub_floor_us" | awk '{ printf "%.0f", $1 }')" "$(spread 0 <<<"$restub_floor_us")" "" "" ""
printf '%-44s %9s %9s %8.2f %11s %8s %8s %s\n' "  pass / its floor (for reference)" "" "" \
  "$(med <<<"$restub_ratio")" "$(spread <<<"$restub_ratio")" "" "" ""
if (( n > small )); then
  ratio=$(awk -v a="${rss[scan]}" -v b="${rss[small]}" 'BEGIN { printf "%.2f", a / b }')
  printf '%-44s %9s %9s %8s %11s %8s %8s %s\n' "peak RSS KiB: $n / $small files" "${rss[scan]}" \
    "${rss[small]}" "$ratio" "" "" "<= 1.10" "$(verdict "$ratio" 1.10)"
fi
echo
echo "StubCollect of every candidate scan equals bench-floor's list ($(wc -l < "$work/floor.list") lines)."
echo "peak RSS KiB: scan ${rss[scan]}, floor ${rss[floor]}, walk ${rss[walk]}"
