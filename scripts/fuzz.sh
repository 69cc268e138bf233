#!/usr/bin/env bash
# Builds and runs fuzz targets of a fuzz build directory.
#   scripts/fuzz.sh BUILD_DIR SECONDS JOBS all|TARGET...
# Each target runs for SECONDS on a copy of its seed corpus in
# fuzz-corpus-run/<corpus>/ (new interesting inputs collect there; copy the
# worthwhile ones into fuzz/corpus/<corpus>/ to keep them). A crashing input is
# left in BUILD_DIR as crash-*, and the script exits non-zero.
set -euo pipefail
build=$1 seconds=$2 jobs=$3
shift 3
list="$build/fuzzers.txt"
[ -f "$list" ] || { echo "no $list: configure $build with -DTQHSM_BUILD_FUZZ=ON" >&2; exit 2; }
if [ "$*" = all ]; then
  targets=$(cut -d: -f1 "$list")
else
  targets="$*"
fi
status=0
for t in $targets; do
  corpus=$(grep "^$t:" "$list" | cut -d: -f2)
  [ -n "$corpus" ] || { echo "unknown fuzz target $t (see $list)" >&2; exit 2; }
  cmake --build "$build" -j"$jobs" --target "$t"
  run="fuzz-corpus-run/$corpus"
  rm -rf "$run" && mkdir -p "$run" && cp -r "fuzz/corpus/$corpus/." "$run/"
  dict=()
  [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
  echo "== $t: $seconds s on $run"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/fuzz/$t" -max_total_time="$seconds" -max_len=16384 "${dict[@]}" \
      -artifact_prefix="$build/" -print_final_stats=1 "$run" || status=1
done
exit $status
