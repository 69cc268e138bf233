#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>

#include "Backend.h"

namespace tqhsm {

// File access of the agent. The base class is the real thing (plain POSIX);
// tests derive from FileSystemWrapper and override only the calls they want to
// fail, for instance a write that reports ENOSPC. Every write, sync, space
// reservation, rename, unlink, truncation and close of the library's own files
// (collect files, the re-stubbing pass's rewrite and dump files, the state
// lists) goes through here, so that a test can make any one of them fail.
class TQHSM_API FileSystem {
  TQHSM_BACKEND_SLOT(FileSystem)

 public:
  virtual ~FileSystem();
  virtual int stat(const char* path, struct stat* st);
  virtual int lstat(const char* path, struct stat* st);
  virtual int open(const char* path, int flags, mode_t mode);
  virtual FILE* fopen(const char* path, const char* mode);
  virtual int rename(const char* from, const char* to);
  virtual int unlink(const char* path);
  virtual ssize_t write(int fd, const void* data, size_t size);
  virtual ssize_t pwrite(int fd, const void* data, size_t size, off_t offset);
  virtual int fstat(int fd, struct stat* st);
  // fallocate(2): reserves (mode FALLOC_FL_KEEP_SIZE) or releases file space.
  virtual int fallocate(int fd, int mode, off_t offset, off_t length);
  virtual int fsync(int fd);
  virtual int ftruncate(int fd, off_t length);
  virtual int close(int fd);
};

// Forwards every call to a target (the backend current when it was built).
class TQHSM_API FileSystemWrapper : public FileSystem {
 public:
  FileSystemWrapper() : m_target(FileSystem::Current()) {}
  explicit FileSystemWrapper(FileSystem& target) : m_target(target) {}

  int stat(const char* path, struct stat* st) override { return m_target.stat(path, st); }
  int lstat(const char* path, struct stat* st) override { return m_target.lstat(path, st); }
  int open(const char* path, int flags, mode_t mode) override {
    return m_target.open(path, flags, mode);
  }
  FILE* fopen(const char* path, const char* mode) override { return m_target.fopen(path, mode); }
  int rename(const char* from, const char* to) override { return m_target.rename(from, to); }
  int unlink(const char* path) override { return m_target.unlink(path); }
  ssize_t write(int fd, const void* data, size_t size) override {
    return m_target.write(fd, data, size);
  }
  ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) override {
    return m_target.pwrite(fd, data, size, offset);
  }
  int fstat(int fd, struct stat* st) override { return m_target.fstat(fd, st); }
  int fallocate(int fd, int mode, off_t offset, off_t length) override {
    return m_target.fallocate(fd, mode, offset, length);
  }
  int fsync(int fd) override { return m_target.fsync(fd); }
  int ftruncate(int fd, off_t length) override { return m_target.ftruncate(fd, length); }
  int close(int fd) override { return m_target.close(fd); }

 private:
  FileSystem& m_target;
};

}  // namespace tqhsm

// The agent's UTF-8 file wrappers: the POSIX calls of the same stem on a UTF-8
// path (which on Linux is the path itself).
TQHSM_API int stat_utf(const char* path, struct stat* st);
TQHSM_API int lstat_utf(const char* path, struct stat* st);
TQHSM_API int open_utf(const char* path, int flags, mode_t mode);
TQHSM_API FILE* fopen_utf(const char* path, const char* mode);
TQHSM_API int rename_utf(const char* from, const char* to);
TQHSM_API int unlink_utf(const char* path);
