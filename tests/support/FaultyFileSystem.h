#pragma once

#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>

#include "FileUtf.h"

namespace tqhsm {
namespace test {

// Makes chosen calls of the FileSystem seam fail: the k-th call (from 1) of an
// operation on a file whose path contains `match` (every file when empty)
// fails with err, and so does every later one when sticky. A pwrite fault
// with `partial` bytes writes that much first (a short write) and fails the
// call after it.
class FaultyFileSystem : public FileSystemWrapper {
 public:
  enum Op { ePwrite, eWrite, eFallocate, eFsync, eFtruncate, eClose, eRename, eUnlink, eOps };
  struct Fault {
    int at = 0;  // 0: never
    int err = 0;
    bool sticky = false;
    size_t partial = 0;
  };

  void failAt(Op op, int k, int err, bool sticky = false, size_t partial = 0,
              const std::string& match = std::string()) {
    Fault& f = m_faults[op];
    f.at = k;
    f.err = err;
    f.sticky = sticky;
    f.partial = partial;
    m_match[op] = match;
  }
  int calls(Op op) const { return m_calls[op]; }
  int fired(Op op) const { return m_fired[op]; }

  int open(const char* path, int flags, mode_t mode) override {
    int fd = FileSystemWrapper::open(path, flags, mode);
    if (fd >= 0) m_paths[fd] = path;
    return fd;
  }
  ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) override {
    if (matches(ePwrite, pathOf(fd))) {
      int n = ++m_calls[ePwrite];
      Fault& f = m_faults[ePwrite];
      if (f.at && (n == f.at || (f.sticky && n > f.at))) {
        ++m_fired[ePwrite];
        if (f.partial > 0 && size > f.partial) {
          size_t part = f.partial;
          f.partial = 0;
          f.at = n + 1;  // the next call fails
          return FileSystemWrapper::pwrite(fd, data, part, offset);
        }
        errno = f.err;
        return -1;
      }
    }
    return FileSystemWrapper::pwrite(fd, data, size, offset);
  }
  ssize_t write(int fd, const void* data, size_t size) override {
    if (hit(eWrite, pathOf(fd))) return -1;
    return FileSystemWrapper::write(fd, data, size);
  }
  int fallocate(int fd, int mode, off_t offset, off_t length) override {
    if (hit(eFallocate, pathOf(fd))) return -1;
    return FileSystemWrapper::fallocate(fd, mode, offset, length);
  }
  int fsync(int fd) override {
    if (hit(eFsync, pathOf(fd))) return -1;
    return FileSystemWrapper::fsync(fd);
  }
  int ftruncate(int fd, off_t length) override {
    if (hit(eFtruncate, pathOf(fd))) return -1;
    return FileSystemWrapper::ftruncate(fd, length);
  }
  int close(int fd) override {
    std::string path = pathOf(fd);
    m_paths.erase(fd);
    if (hit(eClose, path)) {
      FileSystemWrapper::close(fd);  // the descriptor is gone all the same
      return -1;
    }
    return FileSystemWrapper::close(fd);
  }
  int rename(const char* from, const char* to) override {
    if (hit(eRename, from)) return -1;
    return FileSystemWrapper::rename(from, to);
  }
  int unlink(const char* path) override {
    if (hit(eUnlink, path)) return -1;
    return FileSystemWrapper::unlink(path);
  }

 private:
  // Files opened before the object was installed are named by the kernel.
  std::string pathOf(int fd) const {
    auto it = m_paths.find(fd);
    if (it != m_paths.end()) return it->second;
    char link[4096];
    std::string proc = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = ::readlink(proc.c_str(), link, sizeof link - 1);
    return n > 0 ? std::string(link, static_cast<size_t>(n)) : std::string();
  }
  bool matches(Op op, const std::string& path) const {
    return m_match[op].empty() || path.find(m_match[op]) != std::string::npos;
  }
  bool hit(Op op, const std::string& path) {
    if (!matches(op, path)) return false;
    int n = ++m_calls[op];
    const Fault& f = m_faults[op];
    if (f.at && (n == f.at || (f.sticky && n > f.at))) {
      ++m_fired[op];
      errno = f.err;
      return true;
    }
    return false;
  }

  Fault m_faults[eOps];
  std::string m_match[eOps];
  int m_calls[eOps] = {};
  int m_fired[eOps] = {};
  std::map<int, std::string> m_paths;
};

}  // namespace test
}  // namespace tqhsm
