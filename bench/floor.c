/* bench-floor: the physical floor of a scan, what the scan cannot do without.
 *
 *   bench-floor [--prune] [--days-old D] [--days-mtime D] [--min-kb K] [--max-kb K] DIR OUT
 *
 * The same fts walk as bench-walk (FTS_PHYSICAL | FTS_NOCHDIR, name order),
 * rooted at DIR's real path as tqhsm-scan roots its walk. For every regular
 * file the age and size rules decide as the scan's configuration does (whole
 * days since the start of the run, all three rules must hold, a rule of 0
 * always holds, a maximum of 0 means none). For a candidate, and only for
 * one, it does what inspecting and collecting a file needs and nothing else:
 * open O_RDONLY | O_NOATIME | O_NOFOLLOW | O_NONBLOCK, fgetxattr "user.OSTUB"
 * into a 2 KiB buffer, take a write lease and drop it again (the probe for
 * other openers), close, and one line "|<path>:<inode>|0|" into a 64 KiB
 * buffer written to OUT when full, in the layout of StubCollect (an inode
 * whose low 32 bits are negative as a signed number is written as -1), so
 * that OUT compares equal to the scan's StubCollect of the same tree. As
 * the scan does, it leaves out a file that someone holds open (the lease is
 * refused with EAGAIN) and paths that contain ".tqfs_locks" or
 * ".tqfs_restore"; stub data are not looked into (a tree of candidates holds
 * no stubs).
 *
 * --prune adds the floor of a pruning scan: every file that is not a
 * candidate is asked once whether it carries stub data, with one lgetxattr
 * "user.OSTUB" into the same buffer.
 *
 * Prints "files F candidates C attributes A" (A: files whose attribute was
 * present). Exit 0, 1 on an error of the walk or the output, 2 on bad usage.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <fts.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

enum { kListBuffer = 64 * 1024, kAttrBuffer = 2048 };

static char g_list[kListBuffer];
static size_t g_used;
static int g_out = -1;

static int byName(const FTSENT** a, const FTSENT** b) {
  return strcmp((*a)->fts_name, (*b)->fts_name);
}

static int flushList(void) {
  size_t done = 0;
  while (done < g_used) {
    ssize_t n = write(g_out, g_list + done, g_used - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    done += (size_t)n;
  }
  g_used = 0;
  return 0;
}

static int addLine(const char* path, size_t len, unsigned long long ino) {
  char num[24];
  int n;
  if ((int32_t)(uint32_t)(ino & 0xffffffffULL) < 0)
    n = 2, memcpy(num, "-1", 2);
  else {
    char rev[24];
    int r = 0;
    do rev[r++] = (char)('0' + ino % 10), ino /= 10; while (ino);
    for (n = 0; n < r; ++n) num[n] = rev[r - 1 - n];
  }
  size_t need = len + (size_t)n + 6; /* "|" path ":" num "|0|\n" */
  if (g_used + need > sizeof g_list && flushList() != 0) return -1;
  if (need > sizeof g_list) return -1;
  char* p = g_list + g_used;
  *p++ = '|';
  memcpy(p, path, len), p += len;
  *p++ = ':';
  memcpy(p, num, (size_t)n), p += n;
  memcpy(p, "|0|\n", 4), p += 4;
  g_used = (size_t)(p - g_list);
  return 0;
}

static int usage(void) {
  fprintf(stderr,
          "usage: bench-floor [--prune] [--days-old D] [--days-mtime D] [--min-kb K] "
          "[--max-kb K] DIR OUT\n");
  return 2;
}

static int number(const char* s, long long* v) {
  char* end;
  errno = 0;
  *v = strtoll(s, &end, 10);
  return errno == 0 && end != s && *end == '\0';
}

int main(int argc, char** argv) {
  int prune = 0;
  long long daysOld = 0, daysMTime = 0, minKB = 0, maxKB = 0;
  int i = 1;
  for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
    long long* target = NULL;
    if (strcmp(argv[i], "--prune") == 0) {
      prune = 1;
      continue;
    }
    if (strcmp(argv[i], "--days-old") == 0) target = &daysOld;
    else if (strcmp(argv[i], "--days-mtime") == 0) target = &daysMTime;
    else if (strcmp(argv[i], "--min-kb") == 0) target = &minKB;
    else if (strcmp(argv[i], "--max-kb") == 0) target = &maxKB;
    if (!target || i + 1 >= argc || !number(argv[i + 1], target)) return usage();
    ++i;
  }
  if (argc - i != 2) return usage();
  const uint64_t minSize = (uint64_t)minKB * 1024, maxSize = (uint64_t)maxKB * 1024;

  char root[PATH_MAX];
  if (!realpath(argv[i], root)) {
    perror(argv[i]);
    return 1;
  }
  g_out = open(argv[i + 1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (g_out < 0) {
    perror(argv[i + 1]);
    return 1;
  }
  time_t start = time(NULL);
  char* roots[2] = {root, NULL};
  FTS* fts = fts_open(roots, FTS_PHYSICAL | FTS_NOCHDIR, byName);
  if (!fts) {
    perror(root);
    return 1;
  }
  static char attr[kAttrBuffer];
  unsigned long long files = 0, candidates = 0, attributes = 0;
  int failed = 0;
  FTSENT* e;
  /* errno tells the end of the walk (0) from a failure of fts_read. */
  while ((errno = 0, e = fts_read(fts)) != NULL) {
    if (e->fts_info != FTS_F) continue;
    ++files;
    const struct stat* st = e->fts_statp;
    /* Whole days, truncated toward zero, compared unsigned as the scan does. */
    int accessDays = (int)(difftime(start, st->st_atime) / 86400.0);
    int modifyDays = (int)(difftime(start, st->st_mtime) / 86400.0);
    uint64_t size = (uint64_t)st->st_size;
    int candidate = (uint64_t)daysMTime <= (uint64_t)(int64_t)modifyDays &&
                    (uint64_t)daysOld <= (uint64_t)(int64_t)accessDays &&
                    (maxSize == 0 ? size >= minSize : (minSize <= size && size <= maxSize));
    if (!candidate) {
      if (prune && lgetxattr(e->fts_accpath, "user.OSTUB", attr, sizeof attr) >= 0) ++attributes;
      continue;
    }
    ++candidates;
    int fd = open(e->fts_accpath, O_RDONLY | O_NOATIME | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      perror(e->fts_path);
      failed = 1;
      continue;
    }
    if (fgetxattr(fd, "user.OSTUB", attr, sizeof attr) >= 0) ++attributes;
    /* A lease refused with EAGAIN: someone has the file open, the scan skips it. */
    int held = 0;
    if (fcntl(fd, F_SETLEASE, F_WRLCK) == 0)
      fcntl(fd, F_SETLEASE, F_UNLCK);
    else
      held = errno == EAGAIN;
    close(fd);
    if (held || strstr(e->fts_path, ".tqfs_locks") || strstr(e->fts_path, ".tqfs_restore")) continue;
    if (addLine(e->fts_path, e->fts_pathlen, (unsigned long long)st->st_ino) != 0) {
      perror(argv[i + 1]);
      failed = 1;
      break;
    }
  }
  if (e == NULL && errno != 0) {
    perror("fts_read");
    failed = 1;
  }
  fts_close(fts);
  if (flushList() != 0 || close(g_out) != 0) {
    perror(argv[i + 1]);
    failed = 1;
  }
  printf("files %llu candidates %llu attributes %llu\n", files, candidates, attributes);
  return failed;
}
