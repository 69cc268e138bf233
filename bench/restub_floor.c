/* bench-restub-floor: the physical floor of the re-stubbing pass.
 *
 *   bench-restub-floor DIR CACHE
 *
 * For every regular file under DIR (an fts walk, not timed) whose cached stub
 * CACHE/<major>.<minor>.<inode>.stub exists, it does what putting a recalled
 * file back into its stub cannot do without, in batches of 256 files as the
 * pass does: open the file O_RDWR | O_NOATIME | O_NOFOLLOW | O_NONBLOCK, take
 * a write lease (SIGURG for its break), read the cached stub (open, read,
 * close), write its bytes to "user.OSTUB"; then one syncfs for the batch, and
 * for each file of it: release its data blocks (punch to the end of its last
 * block), set its modification time, drop the lease, close it, delete the
 * cached stub. Only that part is timed (a monotonic clock).
 *
 * Prints "files N seconds S us_per_file U". Exit 0; 1 when a file cannot be
 * done (the tree is not what bench-stubs recall makes); 2 on bad usage.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <fts.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>
#include <linux/falloc.h>

enum { kBatch = 256, kStubMax = 4096 };

struct Item {
  char* path;
  char* cached;
  int fd;
  off_t length;
};

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static int fail(const char* what, const char* path) {
  fprintf(stderr, "bench-restub-floor: %s %s: %s\n", what, path, strerror(errno));
  return 1;
}

/* The first half for one file: held open and leased, its stub data written. */
static int begin(struct Item* it) {
  it->fd = open(it->path, O_RDWR | O_NOATIME | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (it->fd < 0) return fail("open", it->path);
  if (fcntl(it->fd, F_SETSIG, SIGURG) != 0 || fcntl(it->fd, F_SETLEASE, F_WRLCK) != 0)
    return fail("lease", it->path);
  char stub[kStubMax];
  int c = open(it->cached, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (c < 0) return fail("open", it->cached);
  ssize_t n = read(c, stub, sizeof stub);
  close(c);
  if (n <= 0) return fail("read", it->cached);
  if (fsetxattr(it->fd, "user.OSTUB", stub, (size_t)n, 0) != 0) return fail("fsetxattr", it->path);
  return 0;
}

/* The second half, once the batch's stub data are durable. */
static int finish(struct Item* it) {
  if (fallocate(it->fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, it->length) != 0)
    return fail("punch", it->path);
  struct timespec times[2] = {{0, UTIME_OMIT}, {1600000001, 0}};
  if (futimens(it->fd, times) != 0) return fail("futimens", it->path);
  fcntl(it->fd, F_SETLEASE, F_UNLCK);
  close(it->fd);
  if (unlink(it->cached) != 0) return fail("unlink", it->cached);
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: bench-restub-floor DIR CACHE\n");
    return 2;
  }
  char root[PATH_MAX];
  if (!realpath(argv[1], root)) return fail("realpath", argv[1]);
  char* roots[] = {root, NULL};
  FTS* fts = fts_open(roots, FTS_PHYSICAL | FTS_NOCHDIR, NULL);
  if (!fts) return fail("fts_open", root);
  struct Item* items = NULL;
  size_t count = 0, cap = 0;
  FTSENT* e;
  while ((e = fts_read(fts)) != NULL) {
    if (e->fts_info != FTS_F) continue;
    char cached[PATH_MAX];
    snprintf(cached, sizeof cached, "%s/%u.%u.%llu.stub", argv[2], major(e->fts_statp->st_dev),
             minor(e->fts_statp->st_dev), (unsigned long long)e->fts_statp->st_ino);
    if (access(cached, F_OK) != 0) continue;
    if (count == cap) {
      cap = cap ? cap * 2 : 1024;
      items = realloc(items, cap * sizeof *items);
      if (!items) return fail("realloc", "");
    }
    off_t block = e->fts_statp->st_blksize >= 512 ? e->fts_statp->st_blksize : 4096;
    items[count].path = strdup(e->fts_path);
    items[count].cached = strdup(cached);
    items[count].fd = -1;
    items[count].length = (e->fts_statp->st_size + block - 1) / block * block;
    ++count;
  }
  fts_close(fts);

  double start = now();
  for (size_t first = 0; first < count; first += kBatch) {
    size_t end = first + kBatch < count ? first + kBatch : count;
    for (size_t i = first; i < end; ++i)
      if (begin(&items[i]) != 0) return 1;
    if (syncfs(items[first].fd) != 0) return fail("syncfs", items[first].path);
    for (size_t i = first; i < end; ++i)
      if (finish(&items[i]) != 0) return 1;
  }
  double seconds = now() - start;
  printf("files %zu seconds %.6f us_per_file %.1f\n", count, seconds,
         count ? seconds * 1e6 / (double)count : 0.0);
  for (size_t i = 0; i < count; ++i) {
    free(items[i].path);
    free(items[i].cached);
  }
  free(items);
  return 0;
}
