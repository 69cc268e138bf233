# Shared by bench/floor_vs_scan.sh and bench/syscalls.sh (sourced, not run).
# Expects $build (the build directory) to be set.

# bench_workspace SIZE_MB INODES: makes $work, a scratch directory on ext4:
# $BENCH_DIR, else $TMPDIR, else /tmp when that is ext4; otherwise, and always
# with BENCH_LOOP=1, a loop-mounted ext4 image of SIZE_MB MiB with INODES
# inodes (root only: without root it prints why and exits 0, skipping the
# benchmark). Sets $mountpoint (the volume holding $work). The trap set here
# removes everything on exit, the loop mount too.
work=
loop=
bench_cleanup() {
  set +e
  [ -n "$work" ] && rm -rf "$work"
  if [ -n "$loop" ]; then
    umount "$loop/mnt" 2>/dev/null || umount -l "$loop/mnt"
    rm -rf "$loop"
  fi
}
bench_workspace() {
  trap bench_cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  local base=${BENCH_DIR:-${TMPDIR:-/tmp}} fstype
  fstype=$(findmnt -n -o FSTYPE -T "$base" 2>/dev/null || echo unknown)
  if [ "$fstype" != ext4 ] || [ "${BENCH_LOOP:-0}" = 1 ]; then
    if [ "$(id -u)" -ne 0 ]; then
      echo "bench: SKIPPED: $base is $fstype, not ext4, and a loop-mounted ext4 image needs root" >&2
      exit 0
    fi
    loop=$(mktemp -d "$base/tqhsm-bench-loop.XXXXXX")
    truncate -s "${1}M" "$loop/ext4.img"
    mkfs.ext4 -q -F -m 0 -N "$2" "$loop/ext4.img"
    mkdir "$loop/mnt"
    mount -o loop "$loop/ext4.img" "$loop/mnt"
    echo "on a loop-mounted ext4 image of $1 MiB ($2 inodes)"
    base=$loop/mnt
  fi
  work=$(mktemp -d "$base/tqhsm-bench.XXXXXX")
  mountpoint=$(findmnt -n -o TARGET -T "$work")
}

# bench_config NAME DAYS_OLD DAYS_MTIME MIN_KB HONOR STUB_CACHE: $work/NAME.ini,
# subclient 1 (id 42) with those rules and no others (the floor knows no
# block-size rule, so it is off). The watermarks at 100 % give the
# volume a budget of every used byte, more than the candidates take.
bench_config() {
  cat > "$work/$1.ini" <<EOF
[FileSystemAgent]
sSKIP_FS_TO_MONITOR = :proc:sysfs:
sTQHSM_SKIP_FILES_SMALLER_THAN_FSBLOCK = no
[Subclient 1]
SubclientId = 42
GUID = BENCH-SUBCLIENT-1
HighFreeSpace = 100
LowFreeSpace = 100
DaysOld = $2
DaysOldMTime = $3
MinFileSizeKB = $4
HonorArchiverRetention = $5
RulesFlag = 0
[StubCache]
Enabled = $6
Location = $work/cache
[HSM]
StateDirectory = $work/state
[Catalog]
Path = $work/catalog.db
EOF
  mkdir -p "$work/cache"
}

# bench_catalog AFS RECALLED: the catalog of $work/*.ini: archiver retention
# of 30 days for subclient 42 (pruning by AF validity stays on), AFs 2:1:1000
# to 2:1:(999 + AFS), none pruned, and the index entries of the GUIDs
# bench-stubs recall gives the first RECALLED recalled files.
bench_catalog() {
  local cat=("$build/tqhsm-catalog" --catalog "$work/catalog.db")
  "${cat[@]}" init >/dev/null
  "${cat[@]}" retention 42 30 >/dev/null
  "${cat[@]}" parvis 2 200 >/dev/null
  "${cat[@]}" sql "WITH RECURSIVE c(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM c WHERE i < $1 - 1)
    INSERT OR REPLACE INTO archive_files (afile_id, copy_precedence, parvis_id)
    SELECT 1000 + i, 1, 200 FROM c;" >/dev/null
  "${cat[@]}" sql "WITH RECURSIVE c(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM c WHERE i < $2 - 1)
    INSERT OR REPLACE INTO stub_index
    SELECT printf('bench-recall-%06d', i), 2, 1, 1000 + i % $1, 1 FROM c;" >/dev/null
}

# bench_stubs DIR N AFS CONFIG: a tree of N real stubs over AFS AFs.
bench_stubs() {
  "$build/bench/bench-mktree" "$1" "$2"
  TQHSM_CONFIG=$4 TQHSM_LOG=$work/bench-stubs.log "$build/bench/bench-stubs" stub "$1" "$3" >/dev/null
}

# bench_recalled DIR N AFS CONFIG: DIR afresh with N recalled files (16 KiB of
# data, 400 days old) and their current cached stubs in an emptied
# $work/cache.
bench_recalled() {
  rm -rf "$1" "$work/cache" && mkdir "$work/cache"
  "$build/bench/bench-mktree" "$1" "$2"
  TQHSM_CONFIG=$4 TQHSM_LOG=$work/bench-stubs.log "$build/bench/bench-stubs" recall "$1" "$work/cache" "$3" 16384 1 \
    BENCH-SUBCLIENT-1 >/dev/null
}
