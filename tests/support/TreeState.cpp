#include "TreeState.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace tqhsm {
namespace test {

bool FileState::sameAs(const FileState& o) const {
  return exists == o.exists &&
         (!exists || (ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
                      mtime.tv_nsec == o.mtime.tv_nsec && crc == o.crc && hasStub == o.hasStub &&
                      stub == o.stub));
}

std::string FileState::describe() const {
  if (!exists) return "missing";
  char text[200];
  snprintf(text, sizeof text, "inode %llu, %lld bytes, mtime %lld.%09ld, %lld blocks, crc %08x%s",
           static_cast<unsigned long long>(ino), static_cast<long long>(size),
           static_cast<long long>(mtime.tv_sec), mtime.tv_nsec, static_cast<long long>(blocks),
           crc, hasStub ? (", user.OSTUB of " + std::to_string(stub.size()) + " bytes").c_str()
                        : "");
  return text;
}

FileState StateOfFile(const std::string& path) {
  FileState s;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return s;
  s.exists = true;
  s.ino = st.st_ino;
  s.size = st.st_size;
  s.mtime = st.st_mtim;
  s.blocks = st.st_blocks;
  // O_NOATIME: looking must not make an old file young for the next scan.
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NOATIME | O_CLOEXEC);
  if (fd >= 0) {
    uLong crc = crc32(0L, Z_NULL, 0);
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
      crc = crc32(crc, reinterpret_cast<const Bytef*>(buf), static_cast<uInt>(n));
    s.crc = static_cast<uint32_t>(crc);
    char attr[65536];
    ssize_t a = ::fgetxattr(fd, "user.OSTUB", attr, sizeof attr);
    if (a >= 0) {
      s.hasStub = true;
      s.stub.assign(attr, static_cast<size_t>(a));
    }
    ::close(fd);
  }
  return s;
}

namespace {

void walk(const std::string& root, const std::string& rel, std::map<std::string, FileState>& out) {
  std::string dir = rel.empty() ? root : root + "/" + rel;
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    std::string r = rel.empty() ? n : rel + "/" + n;
    struct stat st;
    if (::lstat((root + "/" + r).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode))
      walk(root, r, out);
    else if (S_ISREG(st.st_mode))
      out[r] = StateOfFile(root + "/" + r);
  }
}

}  // namespace

std::map<std::string, FileState> SnapshotTree(const std::string& root) {
  std::map<std::string, FileState> out;
  walk(root, "", out);
  return out;
}

}  // namespace test
}  // namespace tqhsm
