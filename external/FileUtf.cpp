#include "FileUtf.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

namespace tqhsm {

FileSystem::~FileSystem() = default;

TQHSM_DEFINE_BACKEND_SLOT(FileSystem)

FileSystem& FileSystem::Default() {
  static FileSystem fs;
  return fs;
}

int FileSystem::stat(const char* path, struct stat* st) { return ::stat(path, st); }
int FileSystem::lstat(const char* path, struct stat* st) { return ::lstat(path, st); }
int FileSystem::open(const char* path, int flags, mode_t mode) {
  return ::open(path, flags | O_CLOEXEC, mode);
}
FILE* FileSystem::fopen(const char* path, const char* mode) {
  // "e" keeps the stream's descriptor out of programs the agent may start.
  std::string m = std::string(mode) + "e";
  return ::fopen(path, m.c_str());
}
int FileSystem::rename(const char* from, const char* to) { return ::rename(from, to); }
int FileSystem::unlink(const char* path) { return ::unlink(path); }
ssize_t FileSystem::write(int fd, const void* data, size_t size) { return ::write(fd, data, size); }
ssize_t FileSystem::pwrite(int fd, const void* data, size_t size, off_t offset) {
  return ::pwrite(fd, data, size, offset);
}
int FileSystem::fstat(int fd, struct stat* st) { return ::fstat(fd, st); }
int FileSystem::fallocate(int fd, int mode, off_t offset, off_t length) {
  return ::fallocate(fd, mode, offset, length);
}
int FileSystem::fsync(int fd) { return ::fsync(fd); }
int FileSystem::ftruncate(int fd, off_t length) { return ::ftruncate(fd, length); }
int FileSystem::close(int fd) { return ::close(fd); }

}  // namespace tqhsm

using tqhsm::FileSystem;

int stat_utf(const char* path, struct stat* st) { return FileSystem::Current().stat(path, st); }
int lstat_utf(const char* path, struct stat* st) { return FileSystem::Current().lstat(path, st); }
int open_utf(const char* path, int flags, mode_t mode) {
  return FileSystem::Current().open(path, flags, mode);
}
FILE* fopen_utf(const char* path, const char* mode) {
  return FileSystem::Current().fopen(path, mode);
}
int rename_utf(const char* from, const char* to) { return FileSystem::Current().rename(from, to); }
int unlink_utf(const char* path) { return FileSystem::Current().unlink(path); }
