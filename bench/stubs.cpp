// bench-stubs: turns a tree made by bench-mktree into the trees the pruning and
// re-stubbing benchmarks need, in-process through the library (a tool run per
// file would cost more than what is measured). Signs under the stub key of
// the configuration in $TQHSM_CONFIG, as tqhsm-stub does.
//
//   bench-stubs stub DIR AFS
//     Every file DIR/.../fNNNNNN becomes a real stub (stubFile: attribute,
//     data released, modification time kept) of the archiver (kind 1) with
//     stub GUID "bench-stub-NNNNNN" (the number as it stands in the name) and
//     AF 2:1:(1000 + number % AFS).
//   bench-stubs recall DIR CACHE AFS SIZE APP_ID APP_GUID
//     Every file becomes a recalled file: SIZE bytes of data written, accessed
//     and modified 400 days ago, and beside it in CACHE its current cached
//     stub (named by getCacheFname, the file's modification time, content the
//     signed stub data of subclient APP_ID/APP_GUID, stub GUID
//     "bench-recall-NNNNNN", AF 2:1:(1000 + number % AFS), original size SIZE).
//
// The catalog rows that go with either tree (the AFs, and for recall the
// index entries of the stub GUIDs) are the driver's business: it writes them
// with tqhsm-catalog. Prints the number of files done; exit 1 on any failure.
#include <fts.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "HSMLowLevel.h"
#include "StubFormat.h"

namespace {

int byName(const FTSENT** a, const FTSENT** b) { return std::strcmp((*a)->fts_name, (*b)->fts_name); }

bool fileNumber(const char* name, unsigned long& n) {
  if (name[0] != 'f' || !name[1]) return false;
  char* end = nullptr;
  n = std::strtoul(name + 1, &end, 10);
  return end && *end == '\0';
}

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int usage() {
  std::fprintf(stderr,
               "usage: bench-stubs stub DIR AFS\n"
               "       bench-stubs recall DIR CACHE AFS SIZE APP_ID APP_GUID\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string mode = argv[1];
  bool recall = mode == "recall";
  if (!((mode == "stub" && argc == 4) || (recall && argc == 8))) return usage();
  const char* dir = argv[2];
  std::string cache = recall ? argv[3] : "";
  unsigned long afs = std::strtoul(argv[recall ? 4 : 3], nullptr, 10);
  size_t size = recall ? std::strtoul(argv[5], nullptr, 10) : 0;
  uint64_t appId = recall ? std::strtoull(argv[6], nullptr, 10) : 0;
  std::string appGUID = recall ? argv[7] : "";
  if (afs == 0 || (recall && size == 0)) return usage();

  std::vector<char> content(size, 'r');
  time_t old = time(nullptr) - 400 * 86400L;
  TQHSMLowLevelCtx ctx(0);
  char* roots[2] = {const_cast<char*>(dir), nullptr};
  FTS* fts = fts_open(roots, FTS_PHYSICAL | FTS_NOCHDIR, byName);
  if (!fts) {
    std::perror(dir);
    return 1;
  }
  unsigned long done = 0;
  FTSENT* e;
  while ((e = fts_read(fts)) != nullptr) {
    unsigned long n = 0;
    if (e->fts_info != FTS_F || !fileNumber(e->fts_name, n)) continue;
    char guid[64];
    std::snprintf(guid, sizeof guid, "bench-%s-%06lu", recall ? "recall" : "stub", n);
    ReparseData r;
    r.afParvisNumber = 2;
    r.afCopyPrecedence = 1;
    r.afileId = 1000 + n % afs;
    r.stubGUID = guid;
    const char* path = e->fts_path;
    if (!recall) {
      r.stubKind = 1;
      r.originalSize = static_cast<uint64_t>(e->fts_statp->st_size);
      TQHSMLowLevel* lowLevel = ctx.getByFileName(path);
      if (!lowLevel || lowLevel->stubFile(path, tqhsm::FormatReparseText(r).c_str(), -1, -1) != 0) {
        std::fprintf(stderr, "bench-stubs: cannot make %s a stub: %s\n", path,
                     lowLevel ? lowLevel->getLastError().c_str() : "no file system");
        return 1;
      }
      ++done;
      continue;
    }
    r.stubKind = 2;
    r.appId = appId;
    r.appGUID = appGUID;
    r.originalSize = size;
    int fd = open(path, O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    struct timespec times[2] = {{old, 0}, {old, 0}};
    struct stat st;
    if (fd < 0 || !writeAll(fd, content.data(), content.size()) || futimens(fd, times) != 0 ||
        fstat(fd, &st) != 0) {
      std::fprintf(stderr, "bench-stubs: cannot write %s: %s\n", path, std::strerror(errno));
      return 1;
    }
    close(fd);
    std::vector<char> bytes;
    std::string why;
    if (!tqhsm::EncodeStubData(r, bytes, &why)) {
      std::fprintf(stderr, "bench-stubs: cannot sign stub data: %s\n", why.c_str());
      return 1;
    }
    std::string name = getCacheFname(path, &st, cache);
    fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 || !writeAll(fd, bytes.data(), bytes.size()) || futimens(fd, times) != 0) {
      std::fprintf(stderr, "bench-stubs: cannot write %s: %s\n", name.c_str(), std::strerror(errno));
      return 1;
    }
    close(fd);
    ++done;
  }
  fts_close(fts);
  std::printf("%lu\n", done);
  return 0;
}
