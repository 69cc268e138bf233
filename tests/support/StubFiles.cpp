#include "StubFiles.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fstream>

#include "StubFormat.h"

namespace tqhsm {
namespace test {

ReparseData SampleStub() {
  ReparseData r;
  r.afParvisNumber = 2;
  r.afCopyPrecedence = 1;
  r.afileId = 4711;
  r.stubKind = 2;
  r.stubGUID = "stub-guid-0001";
  r.appId = 5;
  r.appGUID = "app-guid-5";
  r.originalSize = 0;
  return r;
}

std::vector<char> StubBytes(const ReparseData& record) {
  std::vector<char> out;
  if (!EncodeStubData(record, out)) out.clear();
  return out;
}

void WritePattern(const std::string& path, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (size_t i = 0; i < size; ++i) out.put(static_cast<char>('a' + i % 23));
}

bool SetStubXattr(const std::string& path, const std::vector<char>& value) {
  return ::setxattr(path.c_str(), "user.OSTUB", value.data(), value.size(), 0) == 0;
}

bool RemoveStubXattr(const std::string& path) {
  return ::removexattr(path.c_str(), "user.OSTUB") == 0;
}

bool GetStubXattr(const std::string& path, std::vector<char>& value) {
  value.assign(65536, 0);
  ssize_t n = ::getxattr(path.c_str(), "user.OSTUB", value.data(), value.size());
  if (n < 0) {
    value.clear();
    return false;
  }
  value.resize(static_cast<size_t>(n));
  return true;
}

struct stat StatOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st;
}

void SetTimes(const std::string& path, time_t atime, time_t mtime) {
  struct timespec t[2];
  t[0].tv_sec = atime;
  t[0].tv_nsec = 0;
  t[1].tv_sec = mtime;
  t[1].tv_nsec = 0;
  ::utimensat(AT_FDCWD, path.c_str(), t, 0);
}

bool PunchHoleWorks(const std::string& dir) {
  std::string p = dir + "/.punch-probe";
  WritePattern(p, 65536);
  int fd = ::open(p.c_str(), O_RDWR);
  bool ok = false;
  if (fd >= 0) {
    ::fsync(fd);
    ok = ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 65536) == 0;
    ::close(fd);
  }
  ::unlink(p.c_str());
  return ok;
}

}  // namespace test
}  // namespace tqhsm
