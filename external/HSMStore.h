#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include "Backend.h"

struct open_how;

namespace tqhsm {

// The system calls through which the HSM low-level library (and the ACL helper)
// reach files, their extended attributes, their blocks and their leases. The
// base class is the real thing on Linux; tests derive from HSMStoreWrapper and
// override the calls they want to fail (an attribute read that reports EIO, a
// punch-hole that is not supported ...). Every call returns what the system
// call returns, with errno set on failure.
class TQHSM_API HSMStore {
  TQHSM_BACKEND_SLOT(HSMStore)

 public:
  virtual ~HSMStore();
  // O_CLOEXEC is always added.
  virtual int open(const char* path, int flags, mode_t mode);
  virtual int openat(int dirfd, const char* path, int flags, mode_t mode);
  // openat2(2) through syscall(2) (glibc has no wrapper); ENOSYS on kernels
  // before 5.6. The caller's how is passed as it is.
  virtual int openat2(int dirfd, const char* path, const struct open_how* how, size_t size);
  virtual int fstatat(int dirfd, const char* path, struct stat* st, int flags);
  virtual int unlinkat(int dirfd, const char* path, int flags);
  virtual int close(int fd);
  virtual int fstat(int fd, struct stat* st);
  virtual ssize_t pread(int fd, void* buf, size_t size, off_t offset);
  virtual ssize_t pwrite(int fd, const void* buf, size_t size, off_t offset);
  // Follows symbolic links, like getxattr(2).
  virtual ssize_t getxattr(const char* path, const char* name, void* value, size_t size);
  // Does not follow symbolic links, like lgetxattr(2).
  virtual ssize_t lgetxattr(const char* path, const char* name, void* value, size_t size);
  virtual ssize_t fgetxattr(int fd, const char* name, void* value, size_t size);
  virtual int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags);
  virtual int fremovexattr(int fd, const char* name);
  virtual int fallocate(int fd, int mode, off_t offset, off_t length);
  virtual int fsync(int fd);
  // Everything written to the file system that holds fd, like syncfs(2).
  virtual int syncfs(int fd);
  virtual int futimens(int fd, const struct timespec times[2]);
  // F_SETSIG, F_SETLEASE, F_GETLK and the like.
  virtual int fcntl(int fd, int cmd, long arg);
  virtual int fcntlLock(int fd, int cmd, struct flock* lock);
};

// Forwards every call to a target (the store current when it was built).
class TQHSM_API HSMStoreWrapper : public HSMStore {
 public:
  HSMStoreWrapper() : m_target(HSMStore::Current()) {}
  explicit HSMStoreWrapper(HSMStore& target) : m_target(target) {}

  int open(const char* path, int flags, mode_t mode) override {
    return m_target.open(path, flags, mode);
  }
  int openat(int dirfd, const char* path, int flags, mode_t mode) override {
    return m_target.openat(dirfd, path, flags, mode);
  }
  int openat2(int dirfd, const char* path, const struct open_how* how, size_t size) override {
    return m_target.openat2(dirfd, path, how, size);
  }
  int fstatat(int dirfd, const char* path, struct stat* st, int flags) override {
    return m_target.fstatat(dirfd, path, st, flags);
  }
  int unlinkat(int dirfd, const char* path, int flags) override {
    return m_target.unlinkat(dirfd, path, flags);
  }
  int close(int fd) override { return m_target.close(fd); }
  int fstat(int fd, struct stat* st) override { return m_target.fstat(fd, st); }
  ssize_t pread(int fd, void* buf, size_t size, off_t offset) override {
    return m_target.pread(fd, buf, size, offset);
  }
  ssize_t pwrite(int fd, const void* buf, size_t size, off_t offset) override {
    return m_target.pwrite(fd, buf, size, offset);
  }
  ssize_t getxattr(const char* path, const char* name, void* value, size_t size) override {
    return m_target.getxattr(path, name, value, size);
  }
  ssize_t lgetxattr(const char* path, const char* name, void* value, size_t size) override {
    return m_target.lgetxattr(path, name, value, size);
  }
  ssize_t fgetxattr(int fd, const char* name, void* value, size_t size) override {
    return m_target.fgetxattr(fd, name, value, size);
  }
  int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) override {
    return m_target.fsetxattr(fd, name, value, size, flags);
  }
  int fremovexattr(int fd, const char* name) override { return m_target.fremovexattr(fd, name); }
  int fallocate(int fd, int mode, off_t offset, off_t length) override {
    return m_target.fallocate(fd, mode, offset, length);
  }
  int fsync(int fd) override { return m_target.fsync(fd); }
  int syncfs(int fd) override { return m_target.syncfs(fd); }
  int futimens(int fd, const struct timespec times[2]) override {
    return m_target.futimens(fd, times);
  }
  int fcntl(int fd, int cmd, long arg) override { return m_target.fcntl(fd, cmd, arg); }
  int fcntlLock(int fd, int cmd, struct flock* lock) override {
    return m_target.fcntlLock(fd, cmd, lock);
  }

 private:
  HSMStore& m_target;
};

// Opens a file of a scanned tree for inspection: read-only, O_NOFOLLOW (a
// symbolic link in its place is not followed: ELOOP), O_NONBLOCK (a FIFO or a
// device never stalls the scan), O_CLOEXEC, and O_NOATIME where the caller may
// use it (owner or CAP_FOWNER; plain otherwise), so that looking at a file does
// not count as an access for the access-time rule.
TQHSM_API int OpenForInspection(const char* path);

}  // namespace tqhsm
