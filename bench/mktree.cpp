// bench-mktree DIR N: makes N files under DIR, 1000 per directory, in
// directories of 20 each (DIR/dNN/dNNNN/fNNNNNN, NNNNNN the file's number i).
// Sizes and times vary in a fixed pattern: a fifth each of 100 B, 2000 B,
// 5000 B, 6000 B and 10000 B (sparse: the size is what the rules see, and a
// candidate takes little of a volume's budget, so that even a tree of a
// million files is collected whole); every second file (i even) was last
// accessed and modified 400 days ago, the others 2 days ago. Under the rules
// of the benchmarks (30 days since access and modification, at least 4 KiB)
// exactly the files with i % 2 == 0 and i % 5 >= 2 are candidates: 30 %. The
// same N gives the same tree.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench-mktree DIR N\n");
    return 2;
  }
  std::string root = argv[1];
  long n = std::strtol(argv[2], nullptr, 10);
  if (n <= 0) {
    std::fprintf(stderr, "bench-mktree: N must be a positive number\n");
    return 2;
  }
  const off_t sizes[5] = {100, 2000, 5000, 6000, 10000};
  time_t now = time(nullptr);
  if (mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) {
    std::perror(root.c_str());
    return 1;
  }
  char name[64];
  std::string dir;
  for (long i = 0; i < n; ++i) {
    if (i % 1000 == 0) {
      long d = i / 1000;
      std::snprintf(name, sizeof name, "/d%02ld", d / 20);
      std::string outer = root + name;
      if (d % 20 == 0 && mkdir(outer.c_str(), 0755) != 0 && errno != EEXIST) {
        std::perror(outer.c_str());
        return 1;
      }
      std::snprintf(name, sizeof name, "/d%04ld", d);
      dir = outer + name;
      if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        std::perror(dir.c_str());
        return 1;
      }
    }
    std::snprintf(name, sizeof name, "/f%06ld", i);
    std::string path = dir + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, sizes[i % 5]) != 0) {
      std::perror(path.c_str());
      return 1;
    }
    time_t t = now - ((i % 2) ? 2 : 400) * 86400L;
    struct timespec times[2] = {{t, 0}, {t, 0}};
    if (futimens(fd, times) != 0) {
      std::perror(path.c_str());
      return 1;
    }
    close(fd);
  }
  return 0;
}
