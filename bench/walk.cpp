// bench-walk DIR: the bare walk the scan is measured against. fts with the
// options tqhsm-scan uses (physical, so every entry is lstat'ed; no chdir; name
// order) and nothing else; prints the number of regular files.
#include <fts.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

namespace {
int byName(const FTSENT** a, const FTSENT** b) { return strcmp((*a)->fts_name, (*b)->fts_name); }
}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench-walk DIR\n");
    return 2;
  }
  char* roots[2] = {argv[1], nullptr};
  FTS* fts = fts_open(roots, FTS_PHYSICAL | FTS_NOCHDIR, byName);
  if (!fts) {
    std::perror(argv[1]);
    return 1;
  }
  unsigned long long files = 0, bytes = 0;
  FTSENT* e;
  while ((e = fts_read(fts)) != nullptr) {
    if (e->fts_info == FTS_F) {
      ++files;
      bytes += static_cast<unsigned long long>(e->fts_statp->st_size);
    }
  }
  fts_close(fts);
  std::printf("%llu files, %llu bytes\n", files, bytes);
  return 0;
}
