#include "StubFiles.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <zlib.h>

#include <fstream>

#include "StubFormat.h"
#include "StubKey.h"

namespace tqhsm {
namespace test {

namespace {

// Installed at load time: every test program signs and checks under it.
struct TestKeyInstaller {
  TestKeyInstaller() : key(TestStubKey()), scope(&key) {}
  FixedStubKey key;
  ScopedBackend<StubKey> scope;
};
TestKeyInstaller g_testKey;

void putBE(std::vector<char>& out, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

}  // namespace

const std::string& TestStubKey() {
  static const std::string key = "tqhsm test stub key, 32 bytes..";
  return key;
}

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

std::vector<char> StubBytesUnderKey(const ReparseData& record, const std::string& key) {
  FixedStubKey other(key);
  ScopedBackend<StubKey> scope(&other);
  return StubBytes(record);
}

std::vector<char> StubBytesV1(const ReparseData& r) {
  std::vector<char> out(kStubMagic, kStubMagic + sizeof kStubMagic);
  putBE(out, 1, 1);
  putBE(out, static_cast<uint64_t>(r.stubKind), 1);
  putBE(out, 40 + 2 + r.stubGUID.size() + r.appGUID.size(), 2);
  for (uint64_t v : {r.afParvisNumber, r.afCopyPrecedence, r.afileId, r.appId, r.originalSize})
    putBE(out, v, 8);
  putBE(out, r.stubGUID.size(), 1);
  out.insert(out.end(), r.stubGUID.begin(), r.stubGUID.end());
  putBE(out, r.appGUID.size(), 1);
  out.insert(out.end(), r.appGUID.begin(), r.appGUID.end());
  uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(out.data()),
                    static_cast<uInt>(out.size()));
  putBE(out, crc, 4);
  return out;
}

bool MakeStub(const std::string& path, const ReparseData& record, time_t time, bool head,
              std::string* why) {
  TQHSMLowLevelCtx ctx(0);
  TQHSMLowLevel* l = ctx.getByFileName(path.c_str());
  if (!l) {
    if (why) *why = "no low-level object for " + path;
    return false;
  }
  ReparseData r = record;
  r.originalSize = static_cast<uint64_t>(StatOf(path).st_size);
  int rc = l->stubFile(path.c_str(), FormatReparseText(r).c_str(), time,
                       head ? TQHSMLowLevel::eStubWriteHead : -1);
  if (rc != 0 && why) *why = l->getLastError();
  return rc == 0;
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
