#include "CountdownFaults.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tqhsm {
namespace test {

class CountdownFaults::Files : public FileSystemWrapper {
 public:
  Files(FileSystem& target, CountdownFaults& owner) : FileSystemWrapper(target), m_owner(owner) {}

  ssize_t write(int fd, const void* data, size_t size) override {
    if (m_owner.failFd("write", fd)) return -1;
    return FileSystemWrapper::write(fd, data, size);
  }
  ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) override {
    if (m_owner.failFd("pwrite", fd)) return -1;
    return FileSystemWrapper::pwrite(fd, data, size, offset);
  }
  int fallocate(int fd, int mode, off_t offset, off_t length) override {
    if (m_owner.failFd("fallocate", fd)) return -1;
    return FileSystemWrapper::fallocate(fd, mode, offset, length);
  }
  int fsync(int fd) override {
    if (m_owner.failFd("fsync", fd)) return -1;
    return FileSystemWrapper::fsync(fd);
  }
  int ftruncate(int fd, off_t length) override {
    if (m_owner.failFd("ftruncate", fd)) return -1;
    return FileSystemWrapper::ftruncate(fd, length);
  }
  int close(int fd) override {
    if (writable(fd) && m_owner.failFd("close", fd)) {
      int err = errno;
      FileSystemWrapper::close(fd);
      errno = err;
      return -1;
    }
    return FileSystemWrapper::close(fd);
  }
  int rename(const char* from, const char* to) override {
    if (m_owner.fail("rename", from ? from : "")) return -1;
    return FileSystemWrapper::rename(from, to);
  }
  int unlink(const char* path) override {
    if (m_owner.fail("unlink", path ? path : "")) return -1;
    return FileSystemWrapper::unlink(path);
  }

 private:
  CountdownFaults& m_owner;
};

class CountdownFaults::Store : public HSMStoreWrapper {
 public:
  Store(HSMStore& target, CountdownFaults& owner) : HSMStoreWrapper(target), m_owner(owner) {}

  ssize_t pwrite(int fd, const void* buf, size_t size, off_t offset) override {
    if (m_owner.failFd("pwrite", fd)) return -1;
    return HSMStoreWrapper::pwrite(fd, buf, size, offset);
  }
  int fsync(int fd) override {
    if (m_owner.failFd("fsync", fd)) return -1;
    return HSMStoreWrapper::fsync(fd);
  }
  int syncfs(int fd) override {
    if (m_owner.failFd("syncfs", fd)) return -1;
    return HSMStoreWrapper::syncfs(fd);
  }
  int fallocate(int fd, int mode, off_t offset, off_t length) override {
    if (m_owner.failFd("fallocate", fd)) return -1;
    return HSMStoreWrapper::fallocate(fd, mode, offset, length);
  }
  int unlinkat(int dirfd, const char* path, int flags) override {
    std::string where = pathOfFd(dirfd) + "/" + (path ? path : "");
    if (m_owner.fail("unlinkat", where)) return -1;
    return HSMStoreWrapper::unlinkat(dirfd, path, flags);
  }
  int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) override {
    if (m_owner.failFd("fsetxattr", fd)) return -1;
    return HSMStoreWrapper::fsetxattr(fd, name, value, size, flags);
  }
  int fremovexattr(int fd, const char* name) override {
    if (m_owner.failFd("fremovexattr", fd)) return -1;
    return HSMStoreWrapper::fremovexattr(fd, name);
  }
  int close(int fd) override {
    if (writable(fd) && m_owner.failFd("close", fd)) {
      int err = errno;
      HSMStoreWrapper::close(fd);
      errno = err;
      return -1;
    }
    return HSMStoreWrapper::close(fd);
  }

 private:
  CountdownFaults& m_owner;
};

CountdownFaults::CountdownFaults()
    : m_pFiles(new Files(FileSystem::Current(), *this)),
      m_pStore(new Store(HSMStore::Current(), *this)) {
  m_pPrevFiles = FileSystem::Install(m_pFiles.get());
  m_pPrevStore = HSMStore::Install(m_pStore.get());
}

CountdownFaults::~CountdownFaults() {
  FileSystem::Install(m_pPrevFiles);
  HSMStore::Install(m_pPrevStore);
}

void CountdownFaults::arm(long k, int err, Mode mode) {
  m_nAt = k;
  m_nErr = err;
  m_mode = mode;
  m_nCalls = 0;
  m_fired.clear();
  m_trace.clear();
}

bool CountdownFaults::fail(const char* op, const std::string& path) {
  long n = ++m_nCalls;
  m_trace.push_back(std::string(op) + " " + path);
  if (m_nAt <= 0 || n < m_nAt || (n > m_nAt && m_mode == eOnce)) return false;
  m_fired.push_back({op, path, m_nErr, n});
  m_trace.back() += " <- fails";
  errno = m_nErr;
  return true;
}

bool CountdownFaults::failFd(const char* op, int fd) { return fail(op, pathOfFd(fd)); }

bool CountdownFaults::writable(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_PATH)) return false;
  return (flags & O_ACCMODE) != O_RDONLY;
}

std::string CountdownFaults::pathOfFd(int fd) {
  char link[4096];
  std::string proc = "/proc/self/fd/" + std::to_string(fd);
  ssize_t n = ::readlink(proc.c_str(), link, sizeof link - 1);
  return n > 0 ? std::string(link, static_cast<size_t>(n)) : "fd " + std::to_string(fd);
}

}  // namespace test
}  // namespace tqhsm
