#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <linux/falloc.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CaptureLog.h"
#include "Config.h"
#include "HSMLowLevel.h"
#include "HSMStore.h"
#include "MountTable.h"
#include "ObACL.h"
#include "ScratchMount.h"
#include "StubFiles.h"
#include "StubFormat.h"
#include "TempDir.h"

using namespace tqhsm::test;
using tqhsm::HSMStore;
using tqhsm::ScopedBackend;
using tqhsm::test::ScratchMount;

namespace {

class FakeMounts : public tqhsm::MountSource {
 public:
  explicit FakeMounts(std::vector<std::string> points) : m_points(std::move(points)) {}
  CZoError readMounts(std::vector<ObMntEnt>& entries) override {
    for (const std::string& p : m_points) entries.push_back({"dev" + p, p, "ext4", "rw"});
    return CZoError::Success();
  }
  std::vector<std::string> m_points;
};

// Fails one kind of call with an errno, and counts what goes through.
class FailingStore : public tqhsm::HSMStoreWrapper {
 public:
  int failGetXattr = 0;
  int failPunch = 0;
  int failSetXattr = 0;
  int failLease = 0;
  int opens = 0;
  int preads = 0;
  int calls = 0;
  std::vector<std::string> openedPaths;
  std::function<void(int)> onFsync;  // runs before a sync goes through

  int open(const char* path, int flags, mode_t mode) override {
    ++calls;
    ++opens;
    openedPaths.push_back(path);
    return HSMStoreWrapper::open(path, flags, mode);
  }
  int openat2(int dirfd, const char* path, const struct open_how* how, size_t size) override {
    ++calls;
    ++opens;
    openedPaths.push_back(path);
    return HSMStoreWrapper::openat2(dirfd, path, how, size);
  }
  int fstat(int fd, struct stat* st) override { return ++calls, HSMStoreWrapper::fstat(fd, st); }
  ssize_t pread(int fd, void* b, size_t n, off_t o) override {
    ++calls;
    ++preads;
    return HSMStoreWrapper::pread(fd, b, n, o);
  }
  ssize_t getxattr(const char* p, const char* n, void* v, size_t s) override {
    ++calls;
    if (failGetXattr) return errno = failGetXattr, -1;
    return HSMStoreWrapper::getxattr(p, n, v, s);
  }
  ssize_t lgetxattr(const char* p, const char* n, void* v, size_t s) override {
    ++calls;
    if (failGetXattr) return errno = failGetXattr, -1;
    return HSMStoreWrapper::lgetxattr(p, n, v, s);
  }
  ssize_t fgetxattr(int fd, const char* n, void* v, size_t s) override {
    ++calls;
    if (failGetXattr) return errno = failGetXattr, -1;
    return HSMStoreWrapper::fgetxattr(fd, n, v, s);
  }
  int fsetxattr(int fd, const char* n, const void* v, size_t s, int f) override {
    ++calls;
    if (failSetXattr) return errno = failSetXattr, -1;
    return HSMStoreWrapper::fsetxattr(fd, n, v, s, f);
  }
  int fallocate(int fd, int mode, off_t o, off_t l) override {
    ++calls;
    if (failPunch) return errno = failPunch, -1;
    return HSMStoreWrapper::fallocate(fd, mode, o, l);
  }
  int fsync(int fd) override {
    ++calls;
    if (onFsync) onFsync(fd);
    return HSMStoreWrapper::fsync(fd);
  }
  int fcntl(int fd, int cmd, long arg) override {
    ++calls;
    if (failLease && cmd == F_SETLEASE && arg != F_UNLCK) return errno = failLease, -1;
    return HSMStoreWrapper::fcntl(fd, cmd, arg);
  }
  int close(int fd) override {
    ++calls;
    return HSMStoreWrapper::close(fd);
  }
};

// Writes size random bytes over path the way a shell redirection does
// ("head -c N /dev/urandom > path": the same inode, truncated, new data).
void Rewrite(const std::string& path, size_t size) {
  std::string data(size, '\0');
  int r = ::open("/dev/urandom", O_RDONLY);
  ASSERT_GE(r, 0);
  ASSERT_EQ(::read(r, &data[0], size), static_cast<ssize_t>(size));
  ::close(r);
  int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, data.data(), size), static_cast<ssize_t>(size));
  ::close(fd);
}

// Punches every block of path, as stubFile does, without any stub data.
void Punch(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  off_t size = ::lseek(fd, 0, SEEK_END);
  ASSERT_EQ(::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, (size + 4095) / 4096 * 4096), 0);
  ::close(fd);
}

class LowLevelTest : public ::testing::Test {
 protected:
  TQHSMLowLevel* lowLevel(const std::string& path) {
    TQHSMLowLevel* l = m_ctx.getByFileName(path.c_str());
    EXPECT_NE(l, nullptr) << path;
    return l;
  }
  std::string reparse(ReparseData r) { return tqhsm::FormatReparseText(r); }

  CaptureLog m_log;
  TempDir m_dir;
  TQHSMLowLevelCtx m_ctx{0};
};

}  // namespace

TEST(HSMMountTableTest, FindsTheMountThatHoldsAPath) {
  FakeMounts mounts({"/", "/data", "/data/sub", "/datax", "/data"});
  ScopedBackend<tqhsm::MountSource> scope(&mounts);
  TQHSMMntTab tab;
  struct Case {
    const char* path;
    const char* mount;
  };
  const Case cases[] = {{"/data/f", "/data"},      {"/data", "/data"},     {"/data/sub/x", "/data/sub"},
                        {"/datax/y", "/datax"},    {"/etc/passwd", "/"},   {"/data/subway", "/data"}};
  for (const Case& c : cases) {
    const TQHSMMntEnt* e = tab.find(c.path);
    ASSERT_NE(e, nullptr) << c.path;
    EXPECT_EQ(e->m_sMountPoint, c.mount) << c.path;
  }
  EXPECT_EQ(tab.find(""), nullptr);
  EXPECT_EQ(tab.find(nullptr), nullptr);

  // The later of two equal mount points hides the earlier.
  EXPECT_EQ(tab.find("/data/f"), &tab.entries()[4]);

  FakeMounts only({"/data"});
  ScopedBackend<tqhsm::MountSource> scope2(&only);
  TQHSMMntTab partial;
  EXPECT_EQ(partial.find("/other/f"), nullptr);
}

TEST(HSMMountTableTest, ContextHandsOutOneObjectPerMount) {
  FakeMounts mounts({"/", "/data"});
  ScopedBackend<tqhsm::MountSource> scope(&mounts);
  TQHSMLowLevelCtx ctx(2);
  EXPECT_EQ(ctx.getuseDriver(), 2);
  TQHSMLowLevel* a = ctx.getByFileName("/data/a");
  TQHSMLowLevel* b = ctx.getByFileName("/data/b/c");
  TQHSMLowLevel* root = ctx.getByFileName("/etc/x");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->mountPoint(), "/data");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->mountPoint(), "/");
  EXPECT_EQ(ctx.getByFileName(nullptr), nullptr);
  // A relative path is taken from the working directory, which lies below "/".
  TQHSMLowLevel* rel = ctx.getByFileName("relative/file");
  ASSERT_NE(rel, nullptr);
}

// Objects by device: the mount table is asked for the first file of each
// device only, and each device gets the object of its own file system.
TEST(HSMMountTableTest, ContextFindsObjectsByDevice) {
  FakeMounts mounts({"/", "/data", "/other"});
  ScopedBackend<tqhsm::MountSource> scope(&mounts);
  struct CountingCtx : TQHSMLowLevelCtx {
    CountingCtx() : TQHSMLowLevelCtx(0) {}
    TQHSMLowLevel* getByFileName(const char* path) override {
      ++lookups;
      return TQHSMLowLevelCtx::getByFileName(path);
    }
    int lookups = 0;
  } ctx;
  const dev_t data = makedev(8, 1), other = makedev(8, 2);
  TQHSMLowLevel* a = ctx.getByDevice(data, "/data/a");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->mountPoint(), "/data");
  EXPECT_EQ(ctx.getByDevice(data, "/data/b/c"), a);
  TQHSMLowLevel* o = ctx.getByDevice(other, "/other/x");
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->mountPoint(), "/other");
  // Back and forth between the two: no further look-up.
  EXPECT_EQ(ctx.getByDevice(data, "/data/d"), a);
  EXPECT_EQ(ctx.getByDevice(other, "/other/y"), o);
  EXPECT_EQ(ctx.lookups, 2);
  // The object getByFileName hands out for a path is the one by device.
  EXPECT_EQ(ctx.getByFileName("/data/e"), a);
}

// The same on real mounts: two scratch file systems below the test's own.
TEST(HSMMountTableTest, RealMountsEachGetTheirOwnObject) {
  ScratchMount first(ScratchMount::eTmpfs, 1 << 20);
  if (!first.ok()) GTEST_SKIP() << first.why();
  ScratchMount second(ScratchMount::eExt4, 16 << 20);
  if (!second.ok()) GTEST_SKIP() << second.why();
  std::string f = first.path() + "/f", g = second.path() + "/g";
  WritePattern(f, 100);
  WritePattern(g, 100);
  TempDir elsewhere;
  std::string outside = elsewhere.write("h", "data");
  TQHSMLowLevelCtx ctx(0);
  struct stat fst = StatOf(f), gst = StatOf(g);
  ASSERT_NE(fst.st_dev, gst.st_dev);
  TQHSMLowLevel* a = ctx.getByDevice(fst.st_dev, f.c_str());
  TQHSMLowLevel* b = ctx.getByDevice(gst.st_dev, g.c_str());
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(a->mountPoint(), first.path());
  EXPECT_EQ(b->mountPoint(), second.path());
  EXPECT_EQ(ctx.getByDevice(fst.st_dev, f.c_str()), a);
  EXPECT_EQ(ctx.getByDevice(gst.st_dev, g.c_str()), b);
  TQHSMLowLevel* c = ctx.getByDevice(StatOf(outside).st_dev, outside.c_str());
  ASSERT_NE(c, nullptr);
  EXPECT_NE(c, a);
  EXPECT_NE(c, b);
}

TEST_F(LowLevelTest, StubFileKeepsSizeReleasesBlocksAndCarriesTheMetaData) {
  if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "punch-hole is not supported here";
  std::string f = m_dir.file("big");
  WritePattern(f, (1 << 20) + 100);  // a partial last block goes too
  sync();
  struct stat before = StatOf(f);
  SetTimes(f, 1500000000, before.st_mtime);
  ReparseData r = SampleStub();
  r.originalSize = (1 << 20) + 100;

  TQHSMLowLevel* l = lowLevel(f);
  ASSERT_EQ(l->stubFile(f.c_str(), reparse(r).c_str(), 1234567890, -1), 0) << l->getLastError();

  struct stat after = StatOf(f);
  EXPECT_EQ(after.st_size, (1 << 20) + 100);
  // At most the one block an attribute outside the inode takes.
  EXPECT_LE(after.st_blocks * 512, after.st_blksize) << "blocks were not released";
  EXPECT_EQ(after.st_mtime, 1234567890);
  EXPECT_EQ(after.st_mtim.tv_nsec, 0);
  EXPECT_EQ(after.st_atime, 1500000000);  // stubbing does not count as an access

  std::vector<char> attr;
  ASSERT_TRUE(GetStubXattr(f, attr));
  ReparseData back;
  ASSERT_EQ(ParseStubData(attr, back), 1);
  EXPECT_EQ(back.afileId, 4711u);
  EXPECT_EQ(back.stubGUID, r.stubGUID);
  EXPECT_EQ(back.originalSize, static_cast<uint64_t>((1 << 20) + 100));
  EXPECT_EQ(back.stubInode, static_cast<uint64_t>(after.st_ino));
  EXPECT_EQ(back.stubMtime, 1234567890);
  EXPECT_EQ(back.stubMtimeNsec, 0u);
  EXPECT_FALSE(back.headRecord);

  std::vector<char> data;
  EXPECT_EQ(l->readStubData(f.c_str(), data), 0) << l->getLastError();
  EXPECT_EQ(data, attr);
  EXPECT_EQ(l->isStubbed(f.c_str()), 1);
  bool isStub = false;
  int state = -7;
  EXPECT_EQ(l->getFileInfo(f.c_str(), isStub, state), 0);
  EXPECT_TRUE(isStub);
  EXPECT_EQ(state, TQHSMLowLevel::eFileNotOpen);

  // A negative time keeps the modification time the file had, nanoseconds too.
  struct timespec t[2] = {{0, UTIME_OMIT}, {1234567890, 123456789}};
  ASSERT_EQ(utimensat(AT_FDCWD, f.c_str(), t, 0), 0);
  ASSERT_EQ(l->stubFile(f.c_str(), reparse(r).c_str(), -1, -1), 0) << l->getLastError();
  EXPECT_EQ(StatOf(f).st_mtim.tv_nsec, 123456789);
  ASSERT_TRUE(GetStubXattr(f, attr));
  ASSERT_EQ(ParseStubData(attr, back), 1);
  EXPECT_EQ(back.stubMtimeNsec, 123456789u);
  EXPECT_EQ(l->isStubbed(f.c_str()), 1);
}

// The intact test, on real files: only what stubFile left, untouched, is a
// stub; a file written after stubbing is a plain file with a stale attribute,
// and one whose blocks are released while its stub data do not fit cannot be
// judged (neither kept nor archived).
TEST_F(LowLevelTest, OnlyAnUntouchedStubIsAStub) {
  if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "punch-hole is not supported here";
  enum Expect { kStub, kPlain, kDoubtful };
  struct Case {
    const char* name;
    void (*change)(const std::string& stub, const std::string& other);
    Expect expect;
    const char* why;  // in getLastError
  };
  const Case cases[] = {
      {"untouched", [](const std::string&, const std::string&) {}, kStub, nullptr},
      {"rewritten with new data", [](const std::string& f, const std::string&) { Rewrite(f, 8192); },
       kPlain, "size differs (8192 bytes, the stub's original size is 40000)"},
      {"rewritten, same size, time put back",
       [](const std::string& f, const std::string&) {
         struct stat st = StatOf(f);
         Rewrite(f, 40000);
         SetTimes(f, st.st_atime, st.st_mtime);
       },
       kPlain, "data blocks present"},
      {"emptied", [](const std::string& f, const std::string&) { Rewrite(f, 0); }, kPlain,
       "size differs"},
      {"touched", [](const std::string& f, const std::string&) { SetTimes(f, 100, 1900000000); },
       kDoubtful, "modified after stubbing"},
      {"record copied onto a file with data",
       [](const std::string& f, const std::string& other) {
         std::vector<char> attr;
         GetStubXattr(f, attr);
         SetStubXattr(other, attr);
         struct stat st = StatOf(f);
         SetTimes(other, st.st_atime, st.st_mtime);
       },
       kPlain, "another file's stub data"},
      {"record copied onto a punched file",
       [](const std::string& f, const std::string& other) {
         std::vector<char> attr;
         GetStubXattr(f, attr);
         SetStubXattr(other, attr);
         Punch(other);
         struct stat st = StatOf(f);
         SetTimes(other, st.st_atime, st.st_mtime);
       },
       kDoubtful, "another file's stub data"},
      {"another key's record on a file with data",
       [](const std::string&, const std::string& other) {
         SetStubXattr(other, StubBytesUnderKey(SampleStub(), "some other deployment"));
       },
       kPlain, "not authentic"},
      {"version 1 record on a file with data",
       [](const std::string&, const std::string& other) {
         SetStubXattr(other, StubBytesV1(SampleStub()));
       },
       kPlain, "unsupported stub format version 1"},
      {"version 1 record on a punched file",
       [](const std::string&, const std::string& other) {
         SetStubXattr(other, StubBytesV1(SampleStub()));
         Punch(other);
       },
       kDoubtful, "unsupported stub format version 1"},
      {"flipped byte",
       [](const std::string& f, const std::string&) {
         std::vector<char> attr;
         GetStubXattr(f, attr);
         attr[30] ^= 1;
         SetStubXattr(f, attr);
       },
       kDoubtful, "not authentic"},
      {"foreign attribute on a file with data",
       [](const std::string&, const std::string& other) { SetStubXattr(other, {'j', 'u', 'n', 'k'}); },
       kPlain, "no stub data"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string stub = m_dir.file("stub");
    std::string other = m_dir.file("other");
    WritePattern(stub, 40000);
    WritePattern(other, 40000);
    RemoveStubXattr(stub);
    RemoveStubXattr(other);
    std::string why;
    ASSERT_TRUE(MakeStub(stub, SampleStub(), 1600000000, false, &why)) << why;
    c.change(stub, other);
    // The case's file: the stub, or the other file when the case is about it.
    std::vector<char> probe;
    std::string f = GetStubXattr(other, probe) ? other : stub;

    TQHSMLowLevel* l = lowLevel(f);
    bool isStub = !(c.expect == kStub);
    int state = -1;
    std::vector<char> data;
    m_log.clear();
    int info = l->getFileInfo(f.c_str(), isStub, state);
    bool saidPlain = false;
    for (const LogLine& line : m_log.lines)
      saidPlain |= line.level == 2 && line.text == l->getLastError() + "; taken for a plain file.";
    // The stub test alone gives getFileInfo's answer.
    struct stat seen = StatOf(f);
    bool quick = !isStub;
    EXPECT_EQ(l->stubTest(f.c_str(), &seen, quick), info) << l->getLastError();
    EXPECT_EQ(quick, isStub);
    int read = l->readStubData(f.c_str(), data);
    std::string readWhy = l->getLastError();
    EXPECT_EQ(l->isStubbed(f.c_str()), c.expect == kStub ? 1 : 0);
    switch (c.expect) {
      case kStub:
        EXPECT_EQ(info, 0);
        EXPECT_TRUE(isStub);
        EXPECT_EQ(read, 0);
        break;
      case kPlain:
        EXPECT_EQ(info, 0) << l->getLastError();
        EXPECT_FALSE(isStub);
        EXPECT_EQ(state, TQHSMLowLevel::eFileNotOpen);
        EXPECT_TRUE(saidPlain);  // an administrator sees why it is archived again
        EXPECT_EQ(read, -1);
        EXPECT_NE(readWhy.find(f + " is not a stub (" + c.why), std::string::npos) << readWhy;
        break;
      case kDoubtful:
        EXPECT_EQ(info, -1);
        EXPECT_FALSE(isStub);
        EXPECT_EQ(read, -1);
        EXPECT_NE(readWhy.find(c.why), std::string::npos) << readWhy;
        EXPECT_NE(readWhy.find("neither kept as a stub nor archived"), std::string::npos)
            << readWhy;
        break;
    }
    // The next stubFile replaces a stale attribute.
    if (c.expect == kPlain && StatOf(f).st_size > 0) {
      ASSERT_TRUE(MakeStub(f, SampleStub(), 1700000000, false, &why)) << why;
      EXPECT_EQ(l->isStubbed(f.c_str()), 1);
      std::vector<char> attr;
      ASSERT_TRUE(GetStubXattr(f, attr));
      ReparseData back;
      ASSERT_EQ(ParseStubData(attr, back), 1);
      EXPECT_EQ(back.stubInode, static_cast<uint64_t>(StatOf(f).st_ino));
      EXPECT_EQ(back.stubMtime, 1700000000);
    }
  }
}

TEST_F(LowLevelTest, StubFileRefusesAndLeavesTheFileAsItWas) {
  std::string f = m_dir.file("f");
  WritePattern(f, 5000);
  std::string content = ReadFile(f);
  std::string dir = m_dir.file("d");
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  std::string link = m_dir.file("link");
  ASSERT_EQ(symlink(f.c_str(), link.c_str()), 0);
  std::string fifo = m_dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  std::string linkedDir = m_dir.file("linked-dir");
  ASSERT_EQ(symlink(m_dir.path().c_str(), linkedDir.c_str()), 0);
  ReparseData r = SampleStub();
  ReparseData wrongSize = r;
  wrongSize.originalSize = 4999;

  struct Case {
    std::string path;
    std::string text;
    int flag;
    const char* error;
  };
  const Case cases[] = {
      {f, reparse(wrongSize), -1, "differs from the stub's original size"},
      {f, "TQS1:garbage", -1, "Invalid meta-data"},
      {f, "TQS1:2:1:4711:2:5:0:" + std::string(80, 'g') + ":a", -1, "Invalid meta-data"},
      {dir, reparse(r), -1, "Is a directory"},
      {fifo, reparse(r), -1, "is not a regular file"},
      {link, reparse(r), -1, "A symbolic link is in the path"},
      {linkedDir + "/f", reparse(r), -1, "A symbolic link is in the path"},
      {m_dir.file("missing"), reparse(r), -1, "No such file"},
  };
  TQHSMLowLevel* l = lowLevel(f);
  for (const Case& c : cases) {
    EXPECT_EQ(l->stubFile(c.path.c_str(), c.text.c_str(), 100, c.flag), TQHSMLowLevel::eStubFailed)
        << c.path;
    EXPECT_NE(l->getLastError().find(c.error), std::string::npos) << l->getLastError();
  }
  EXPECT_NE(l->stubFile(f.c_str(), nullptr, 100, -1), 0);
  std::vector<char> attr;
  EXPECT_FALSE(GetStubXattr(f, attr));
  EXPECT_EQ(ReadFile(f), content);

  // A file too small to carry the record at its head is refused for a head stub.
  std::string tiny = m_dir.file("tiny");
  WritePattern(tiny, 10);
  EXPECT_NE(l->stubFile(tiny.c_str(), reparse(r).c_str(), 100, TQHSMLowLevel::eStubWriteHead), 0);
  EXPECT_EQ(StatOf(tiny).st_size, 10);
  EXPECT_FALSE(GetStubXattr(tiny, attr));
}

// What the caller decided on: another file in its place, a changed size or
// time, or a file open elsewhere is refused and left as it was.
TEST_F(LowLevelTest, StubFileActsOnlyOnTheFileDecidedOn) {
  std::string f = m_dir.file("f");
  WritePattern(f, 20000);
  SetTimes(f, 1000, 1600000000);
  std::string content = ReadFile(f);
  struct stat st = StatOf(f);
  std::string link = m_dir.file("link");
  ASSERT_EQ(symlink(f.c_str(), link.c_str()), 0);
  std::string text = reparse(SampleStub());
  auto decided = [&st]() {
    TQHSMLowLevel::Expect e;
    e.dev = st.st_dev;
    e.ino = st.st_ino;
    e.bSize = true;
    e.size = st.st_size;
    e.bMtime = true;
    e.mtime = st.st_mtime;
    return e;
  };
  struct Case {
    const char* name;
    std::string path;
    void (*change)(TQHSMLowLevel::Expect&);
    int rc;
    const char* error;
  };
  const Case cases[] = {
      {"another inode", f, [](TQHSMLowLevel::Expect& e) { e.ino += 1; },
       TQHSMLowLevel::eStubChanged, "changed under the scan"},
      {"another device", f, [](TQHSMLowLevel::Expect& e) { e.dev += 1; },
       TQHSMLowLevel::eStubChanged, "changed under the scan"},
      {"a link in its place", link, [](TQHSMLowLevel::Expect&) {}, TQHSMLowLevel::eStubChanged,
       "A symbolic link is in the path"},
      {"another size", f, [](TQHSMLowLevel::Expect& e) { e.size += 1; },
       TQHSMLowLevel::eStubModified, "its size is 20000 bytes, not 20001"},
      {"another time", f, [](TQHSMLowLevel::Expect& e) { e.mtime -= 1; },
       TQHSMLowLevel::eStubModified, "its modification time is 1600000000, not 1599999999"},
  };
  TQHSMLowLevel* l = lowLevel(f);
  for (const Case& c : cases) {
    TQHSMLowLevel::Expect e = decided();
    c.change(e);
    EXPECT_EQ(l->stubFile(c.path.c_str(), text.c_str(), 100, -1, e), c.rc) << c.name;
    EXPECT_NE(l->getLastError().find(c.error), std::string::npos) << l->getLastError();
  }
  int other = ::open(f.c_str(), O_RDONLY);
  ASSERT_GE(other, 0);
  EXPECT_EQ(l->stubFile(f.c_str(), text.c_str(), 100, -1, decided()), TQHSMLowLevel::eStubOpen);
  EXPECT_EQ(l->getLastError(), f + " is open in another process");
  ::close(other);
  std::vector<char> attr;
  EXPECT_FALSE(GetStubXattr(f, attr));
  EXPECT_EQ(ReadFile(f), content);
  EXPECT_EQ(StatOf(f).st_mtime, 1600000000);

  if (!PunchHoleWorks(m_dir.path())) return;
  EXPECT_EQ(l->stubFile(f.c_str(), text.c_str(), 1600000001, -1, decided()), 0)
      << l->getLastError();
  EXPECT_EQ(l->isStubbed(f.c_str()), 1);
}

// From the final checks to the punch nobody can write the data: under the
// lease another open is refused; without one (a file system without leases)
// a write in between is seen and the file left alone.
TEST_F(LowLevelTest, StubFileRefusesAFileWrittenWhileItIsBeingStubbed) {
  if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "punch-hole is not supported here";
  std::string f = m_dir.file("f");
  TQHSMLowLevel* l = lowLevel(f);
  std::string text = reparse(SampleStub());
  {
    WritePattern(f, 20000);
    FailingStore store;
    int writerErrno = 0;
    store.onFsync = [&](int) {
      int w = ::open(f.c_str(), O_WRONLY | O_NONBLOCK);
      writerErrno = w < 0 ? errno : 0;
      if (w >= 0) ::close(w);
    };
    ScopedBackend<HSMStore> scope(&store);
    EXPECT_EQ(l->stubFile(f.c_str(), text.c_str(), 100, -1), 0) << l->getLastError();
    EXPECT_EQ(writerErrno, EWOULDBLOCK);
  }
  {
    WritePattern(f, 20000);
    RemoveStubXattr(f);
    FailingStore store;
    store.failLease = EINVAL;  // as on a file system without leases
    store.onFsync = [&](int) {
      int w = ::open(f.c_str(), O_WRONLY);
      ASSERT_GE(w, 0);
      ASSERT_EQ(::pwrite(w, "new data", 8, 100), 8);
      ::close(w);
    };
    ScopedBackend<HSMStore> scope(&store);
    EXPECT_EQ(l->stubFile(f.c_str(), text.c_str(), 100, -1), TQHSMLowLevel::eStubModified);
    EXPECT_EQ(l->getLastError(), f + " changed while it was being stubbed");
  }
  EXPECT_EQ(ReadFile(f).substr(100, 8), "new data");
  EXPECT_GT(StatOf(f).st_blocks * 512, 16384);
  std::vector<char> attr;
  EXPECT_FALSE(GetStubXattr(f, attr));  // put back as it was: none
  {
    // Without a lease and without a writer it still works.
    FailingStore store;
    store.failLease = EINVAL;
    ScopedBackend<HSMStore> scope(&store);
    EXPECT_EQ(l->stubFile(f.c_str(), text.c_str(), 100, -1), 0) << l->getLastError();
  }
  EXPECT_EQ(l->isStubbed(f.c_str()), 1);
}

TEST_F(LowLevelTest, FailedReleaseRestoresTheAttributeAndKeepsTheData) {
  std::string f = m_dir.file("f");
  WritePattern(f, 70000);
  std::string content = ReadFile(f);
  TQHSMLowLevel* l = lowLevel(f);
  FailingStore store;
  store.failPunch = EOPNOTSUPP;
  ScopedBackend<HSMStore> scope(&store);

  EXPECT_NE(l->stubFile(f.c_str(), reparse(SampleStub()).c_str(), 100, -1), 0);
  EXPECT_NE(l->getLastError().find("Cannot release the data blocks"), std::string::npos);
  std::vector<char> attr;
  EXPECT_FALSE(GetStubXattr(f, attr));
  EXPECT_EQ(ReadFile(f), content);

  // A stub attribute that was there before comes back as it was.
  ReparseData old = SampleStub();
  old.afileId = 99;
  std::vector<char> oldBytes = StubBytes(old);
  ASSERT_TRUE(SetStubXattr(f, oldBytes));
  EXPECT_NE(l->stubFile(f.c_str(), reparse(SampleStub()).c_str(), 100, -1), 0);
  ASSERT_TRUE(GetStubXattr(f, attr));
  EXPECT_EQ(attr, oldBytes);
  EXPECT_EQ(ReadFile(f), content);

  store.failPunch = 0;
  store.failSetXattr = ENOSPC;
  RemoveStubXattr(f);
  EXPECT_NE(l->stubFile(f.c_str(), reparse(SampleStub()).c_str(), 100, -1), 0);
  EXPECT_NE(l->getLastError().find(strerror(ENOSPC)), std::string::npos);
  EXPECT_EQ(ReadFile(f), content);
}

TEST_F(LowLevelTest, HeadStubIsReadThroughTheProxyReaderWithoutTouchingAtime) {
  if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "punch-hole is not supported here";
  std::string f = m_dir.file("f");
  WritePattern(f, 8192);
  TQHSMLowLevel* l = lowLevel(f);
  ReparseData r = SampleStub();
  ASSERT_EQ(l->stubFile(f.c_str(), reparse(r).c_str(), 2000000000, TQHSMLowLevel::eStubWriteHead),
            0)
      << l->getLastError();
  std::vector<char> expected;
  ASSERT_TRUE(GetStubXattr(f, expected));
  std::string head = ReadFile(f).substr(0, expected.size());
  EXPECT_EQ(head, std::string(expected.begin(), expected.end()));
  ReparseData back;
  ASSERT_EQ(ParseStubData(expected, back), 1);
  EXPECT_TRUE(back.headRecord);
  EXPECT_EQ(l->isStubbed(f.c_str()), 1);  // the head's block is what such a stub keeps

  // A snapshot without attributes: only the head is left to tell.
  ASSERT_TRUE(RemoveStubXattr(f));
  SetTimes(f, 1000, 2000000000);  // an atime older than mtime: relatime would update it
  std::vector<char> data;
  ASSERT_EQ(l->readStubDataProxy(f.c_str(), data), 0) << l->getLastError();
  EXPECT_EQ(data, expected);
  EXPECT_EQ(StatOf(f).st_atime, 1000);
  // The local reader knows attributes only.
  EXPECT_NE(l->readStubData(f.c_str(), data), 0);
  EXPECT_EQ(l->isStubbed(f.c_str()), 0);

  std::string plain = m_dir.file("plain");
  WritePattern(plain, 100);
  EXPECT_NE(l->readStubDataProxy(plain.c_str(), data), 0);
  EXPECT_NE(l->getLastError().find("is not a stub"), std::string::npos);
}

TEST_F(LowLevelTest, ReadStubDataFailures) {
  std::string f = m_dir.file("f");
  WritePattern(f, 10);
  TQHSMLowLevel* l = lowLevel(f);
  std::vector<char> data{'x'};
  EXPECT_EQ(l->readStubData(f.c_str(), data), -1);
  EXPECT_TRUE(data.empty());
  EXPECT_NE(l->getLastError().find("is not a stub"), std::string::npos);

  ASSERT_TRUE(SetStubXattr(f, {}));
  EXPECT_EQ(l->readStubData(f.c_str(), data), -1);
  EXPECT_NE(l->getLastError().find("is not a stub"), std::string::npos);

  // An attribute longer than the first buffer is read whole.
  std::vector<char> longer = StubBytes(SampleStub());
  longer.resize(3000, 'z');
  ASSERT_TRUE(SetStubXattr(f, longer));
  EXPECT_EQ(l->readStubData(f.c_str(), data), -1);
  EXPECT_NE(l->getLastError().find("another file's stub data"), std::string::npos)
      << l->getLastError();

  FailingStore store;
  store.failGetXattr = EIO;
  ScopedBackend<HSMStore> scope(&store);
  EXPECT_EQ(l->readStubData(f.c_str(), data), -1);
  EXPECT_NE(l->getLastError().find(strerror(EIO)), std::string::npos);
  // An attribute that cannot be read is no reason to look at the file's head.
  EXPECT_EQ(l->readStubDataProxy(f.c_str(), data), -1);
  EXPECT_EQ(store.preads, 0);
}

TEST_F(LowLevelTest, FileInfoReportsStubAndOpenStateWithAFewCalls) {
  std::string f = m_dir.file("f");
  WritePattern(f, 100);
  TQHSMLowLevel* l = lowLevel(f);
  bool isStub = true;
  int state = -1;
  struct stat st = StatOf(f);
  {
    FailingStore counting;
    ScopedBackend<HSMStore> scope(&counting);
    ASSERT_EQ(l->getFileInfo(f.c_str(), &st, isStub, state), 0) << l->getLastError();
    EXPECT_FALSE(isStub);
    EXPECT_EQ(state, TQHSMLowLevel::eFileNotOpen);
    // Only the file itself is opened, once; nothing like a walk of /proc: open,
    // fstat, the attribute, the lease probe (three calls), close.
    EXPECT_EQ(counting.openedPaths, std::vector<std::string>{f});
    EXPECT_LE(counting.calls, 7);
  }
  int other = ::open(f.c_str(), O_RDONLY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(l->getFileInfo(f.c_str(), isStub, state), 0);
  EXPECT_EQ(state, TQHSMLowLevel::eFileOpen);
  ::close(other);
  ASSERT_EQ(l->getFileInfo(f.c_str(), isStub, state), 0);
  EXPECT_EQ(state, TQHSMLowLevel::eFileNotOpen);

  {
    FailingStore failing;
    failing.failGetXattr = EIO;
    ScopedBackend<HSMStore> scope(&failing);
    EXPECT_EQ(l->getFileInfo(f.c_str(), isStub, state), -1);
    EXPECT_NE(l->getLastError().find(strerror(EIO)), std::string::npos);
  }

  EXPECT_EQ(l->getFileInfo(m_dir.file("gone").c_str(), isStub, state), -1);
}

// What inspection is never made to open, follow or wait on: a link, a FIFO, a
// directory, or another file than the caller stat-ed.
TEST_F(LowLevelTest, FileInfoFailsForAnythingButTheRegularFileTheCallerSaw) {
  std::string f = m_dir.file("f");
  WritePattern(f, 100);
  std::string g = m_dir.file("g");
  WritePattern(g, 100);
  std::string link = m_dir.file("link");
  ASSERT_EQ(symlink(f.c_str(), link.c_str()), 0);
  std::string fifo = m_dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  struct stat fst = StatOf(f);
  struct stat fifoSt {};
  ASSERT_EQ(lstat(fifo.c_str(), &fifoSt), 0);
  TQHSMLowLevel* l = lowLevel(f);
  struct Case {
    std::string path;
    const struct stat* st;
    const char* error;
    int opens;
  };
  const Case cases[] = {
      {link, nullptr, " is a symbolic link", 1},
      {fifo, nullptr, " is not a regular file", 1},  // opened O_NONBLOCK: never waits
      {fifo, &fifoSt, " is not a regular file", 0},   // the caller said so: not even opened
      {fifo, &fst, " is not a regular file", 1},      // a FIFO where the caller saw a file
      {m_dir.path(), nullptr, " is not a regular file", 1},
      {g, &fst, " changed under the scan: it is inode ", 1},
  };
  for (const Case& c : cases) {
    CaptureLog log;
    FailingStore store;
    ScopedBackend<HSMStore> scope(&store);
    bool isStub = true;
    int state = 0;
    EXPECT_EQ(l->getFileInfo(c.path.c_str(), c.st, isStub, state), -1) << c.path;
    EXPECT_FALSE(isStub);
    EXPECT_EQ(l->getLastError().rfind(c.path + c.error, 0), 0u) << l->getLastError();
    EXPECT_EQ(store.opens, c.opens) << c.path;
    if (std::string(c.error).find("changed") != std::string::npos) {
      ASSERT_EQ(log.lines.size(), 1u);
      EXPECT_EQ(log.lines[0].level, 1);
      EXPECT_EQ(log.lines[0].text, l->getLastError());
    }
  }
  bool isStub = true;
  int state = 0;
  EXPECT_EQ(l->getFileInfo(f.c_str(), &fst, isStub, state), 0);
  struct stat noInode = fst;
  noInode.st_ino = 0;  // a record without an inode (data classification): not compared
  EXPECT_EQ(l->getFileInfo(g.c_str(), &noInode, isStub, state), 0);
}

// The stub test of a pruning scan: one call for a file without stub data,
// never through a link, never waiting on a FIFO, and only the file the caller
// saw is judged.
TEST_F(LowLevelTest, StubTestAnswersAPlainFileWithOneCallAndJudgesOnlyTheFileSeen) {
  if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "punch-hole is not supported here";
  std::string plain = m_dir.file("plain");
  WritePattern(plain, 5000);
  std::string stub = m_dir.file("stub");
  WritePattern(stub, 40000);
  std::string why;
  ASSERT_TRUE(MakeStub(stub, SampleStub(), 1600000000, false, &why)) << why;
  std::string link = m_dir.file("link");
  ASSERT_EQ(symlink(stub.c_str(), link.c_str()), 0);
  std::string fifo = m_dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  struct stat plainSt = StatOf(plain), stubSt = StatOf(stub), fifoSt {};
  ASSERT_EQ(lstat(fifo.c_str(), &fifoSt), 0);
  TQHSMLowLevel* l = lowLevel(plain);

  struct Case {
    const char* what;
    std::string path;
    const struct stat* st;
    int rc;
    bool stub;
    int calls, opens;  // system calls through the store; files opened
    const char* error;  // the start of getLastError after the path
  };
  const Case cases[] = {
      {"plain file", plain, &plainSt, 0, false, 1, 0, " is not a stub"},
      {"stub", stub, &stubSt, 0, true, 5, 1, nullptr},
      // lgetxattr reads the link's own attributes: the stub behind it is
      // neither opened nor judged.
      {"link to a stub", link, &stubSt, 0, false, 1, 0, " is not a stub"},
      {"FIFO where a file was seen", fifo, &plainSt, 0, false, 1, 0, " is not a stub"},
      {"FIFO the caller saw", fifo, &fifoSt, -1, false, 0, 0, " is not a regular file"},
      {"stub in place of the file seen", stub, &plainSt, -1, false, 4, 1,
       " changed under the scan: it is inode "},
      {"gone", m_dir.file("gone"), nullptr, -1, false, 3, 1, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FailingStore store;
    ScopedBackend<HSMStore> scope(&store);
    bool isStub = !c.stub;
    EXPECT_EQ(l->stubTest(c.path.c_str(), c.st, isStub), c.rc) << l->getLastError();
    EXPECT_EQ(isStub, c.stub);
    EXPECT_LE(store.calls, c.calls);
    EXPECT_EQ(store.opens, c.opens);
    if (c.error) {
      EXPECT_EQ(l->getLastError().rfind(c.path + c.error, 0), 0u) << l->getLastError();
    }
  }

  // An attribute that cannot be read fails the test, as it fails getFileInfo:
  // a stub must never be taken for a plain file.
  FailingStore failing;
  failing.failGetXattr = EIO;
  ScopedBackend<HSMStore> scope(&failing);
  bool isStub = true;
  EXPECT_EQ(l->stubTest(stub.c_str(), &stubSt, isStub), -1);
  EXPECT_FALSE(isStub);
  EXPECT_NE(l->getLastError().find(strerror(EIO)), std::string::npos) << l->getLastError();
}

// Another process opening the file while the open-file probe holds its lease
// makes the kernel signal the probe: that must never end the scan, whether the
// process ignores SIGIO (tqhsm-scan does; the probe then skips F_SETSIG) or
// leaves it at its default (the probe redirects the signal). The open comes
// right inside the lease window, from a second descriptor, which breaks the
// lease like anyone else's open would.
TEST_F(LowLevelTest, AnOpenDuringTheLeaseProbeNeverEndsTheScan) {
  std::string f = m_dir.file("f");
  WritePattern(f, 100);
  struct OpenInTheWindow : tqhsm::HSMStoreWrapper {
    int fcntl(int fd, int cmd, long arg) override {
      if (cmd == F_SETSIG) ++setsigs;
      int rc = HSMStoreWrapper::fcntl(fd, cmd, arg);
      if (cmd == F_SETLEASE && arg == F_WRLCK && rc == 0) {
        int other = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
        if (other >= 0) ::close(other);
        broke = other < 0 && errno == EWOULDBLOCK;
      }
      return rc;
    }
    std::string path;
    int setsigs = 0;
    bool broke = false;
  };
  for (bool ignoreSigio : {true, false}) {
    SCOPED_TRACE(ignoreSigio ? "SIGIO ignored" : "SIGIO at its default");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      signal(SIGIO, ignoreSigio ? SIG_IGN : SIG_DFL);
      TQHSMLowLevelCtx ctx(0);  // a scan starts: the disposition is asked again
      TQHSMLowLevel* l = ctx.getByFileName(f.c_str());
      OpenInTheWindow store;
      store.path = f;
      tqhsm::HSMStore::Install(&store);
      bool isStub = true;
      int state = -1;
      int rc = l ? l->getFileInfo(f.c_str(), isStub, state) : -1;
      tqhsm::HSMStore::Install(nullptr);
      // 0: answered and alive; 2: no lease here (nothing to break); else a failure.
      int code = rc != 0 ? 1 : !store.broke ? 2 : (store.setsigs > 0) == ignoreSigio ? 3 : 0;
      _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no write leases here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
}

// Attributes longer than the first small read are read again whole.
TEST_F(LowLevelTest, LongAttributesAreReadWhole) {
  std::string f = m_dir.file("f");
  WritePattern(f, 5000);
  struct stat st = StatOf(f);
  TQHSMLowLevel* l = lowLevel(f);
  // Our magic in front of 3000 bytes: judged from all of them, and not ours.
  std::vector<char> longRecord = StubBytes(SampleStub());
  longRecord.resize(3000, 'x');
  const std::vector<char> values[] = {longRecord, std::vector<char>(3000, 'j')};
  for (const std::vector<char>& v : values) {
    if (!SetStubXattr(f, v)) GTEST_SKIP() << "no 3000-byte user attributes here";
    bool isStub = true;
    int state = -1;
    ASSERT_EQ(l->stubTest(f.c_str(), &st, isStub), 0) << l->getLastError();
    EXPECT_FALSE(isStub);
    std::string quick = l->getLastError();
    EXPECT_EQ(quick.rfind(f + " is not a stub (", 0), 0u) << quick;
    ASSERT_EQ(l->getFileInfo(f.c_str(), &st, isStub, state), 0);
    EXPECT_FALSE(isStub);
    EXPECT_EQ(l->getLastError(), quick);
  }
}

TEST_F(LowLevelTest, XattrSupportIsProbedOnceAndFallsBackToTheMountPoint) {
  std::string f = m_dir.file("f");
  WritePattern(f, 1);
  {
    TQHSMLowLevelCtx ctx(0);
    TQHSMLowLevel* l = ctx.getByFileName(f.c_str());
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->isXattrSupported(m_dir.file("missing").c_str()), 1);  // asks the mount point
  }
  TQHSMLowLevelCtx ctx(0);
  TQHSMLowLevel* l = ctx.getByFileName(f.c_str());
  FailingStore store;
  store.failGetXattr = ENOTSUP;
  {
    ScopedBackend<HSMStore> scope(&store);
    EXPECT_EQ(l->isXattrSupported(f.c_str()), 0);
  }
  EXPECT_EQ(l->isXattrSupported(f.c_str()), 0);  // the answer is kept per file system
}

TEST(StubCacheNamingTest, NamesComeFromDeviceAndInode) {
  struct stat st {};
  st.st_dev = makedev(254, 3);
  st.st_ino = 123456789;
  EXPECT_EQ(getCacheFname("/data", &st, "/var/cache/stubs"), "/var/cache/stubs/254.3.123456789.stub");
  EXPECT_EQ(getCacheFname("/data/f", &st, "/var/cache/stubs//"),
            "/var/cache/stubs/254.3.123456789.stub");
  EXPECT_EQ(getCacheFname("/x", &st, "/"), "/254.3.123456789.stub");
  EXPECT_EQ(getCacheFname("/data", nullptr, "/var/cache/stubs"), "");
  EXPECT_EQ(getCacheFname("/data", &st, ""), "");
}

TEST(StubCacheNamingTest, LocationAndFlagComeFromTheConfiguration) {
  struct Case {
    const char* ini;
    bool enabled;
    const char* location;
    int rc;
  };
  const Case cases[] = {
      {"", false, "", 0},
      {"[StubCache]\nEnabled=yes\nLocation=/sc\n", true, "/sc", 0},
      {"[StubCache]\nEnabled=Y\nLocation=/sc\n", true, "/sc", 0},
      {"[StubCache]\nEnabled=1\nLocation=/sc\n", true, "/sc", 0},
      {"[StubCache]\nEnabled=no\nLocation=/sc\n", false, "", 0},
      {"[StubCache]\nEnabled=\nLocation=/sc\n", false, "", 0},
      {"[StubCache]\nEnabled=yes\n", false, "", -1},
      {"[StubCache]\nLocation=/sc\n", false, "", 0},
  };
  CaptureLog log;
  for (const Case& c : cases) {
    std::unique_ptr<tqhsm::IniConfig> config = tqhsm::IniConfig::FromString(c.ini);
    ScopedBackend<tqhsm::ConfigSource> scope(config.get());
    bool enabled = !c.enabled;
    std::string location = "stale";
    EXPECT_EQ(getStubCacheInfo("client", enabled, location), c.rc) << c.ini;
    EXPECT_EQ(enabled, c.enabled) << c.ini;
    EXPECT_EQ(location, c.location) << c.ini;
  }
}

TEST(MandatoryLockTest, OnlyAMarkedAndLockedFileCounts) {
  TempDir dir;
  std::string f = dir.file("f");
  WritePattern(f, 100);
  ASSERT_EQ(chmod(f.c_str(), 02644), 0);  // set-group-id without group execute
  EXPECT_EQ(tqhsmIsMandLocked(f.c_str(), nullptr), 0);

  int holder = ::open(f.c_str(), O_RDWR);
  ASSERT_GE(holder, 0);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  ASSERT_EQ(::fcntl(holder, F_OFD_SETLK, &lock), 0);
  EXPECT_EQ(tqhsmIsMandLocked(f.c_str(), nullptr), 1);
  struct stat st = StatOf(f);
  EXPECT_EQ(tqhsmIsMandLocked(f.c_str(), &st), 1);

  ASSERT_EQ(chmod(f.c_str(), 02654), 0);  // group execute: an ordinary set-group-id file
  EXPECT_EQ(tqhsmIsMandLocked(f.c_str(), nullptr), 0);
  ::close(holder);
  EXPECT_EQ(tqhsmIsMandLocked(dir.file("missing").c_str(), nullptr), -1);
}

TEST(MandatoryLockTest, NeverFollowsWaitsOrTestsAnotherFile) {
  CaptureLog log;
  TempDir dir;
  std::string f = dir.file("f");
  WritePattern(f, 100);
  ASSERT_EQ(chmod(f.c_str(), 02644), 0);
  struct stat marked = StatOf(f);
  std::string link = dir.file("link");
  ASSERT_EQ(symlink(f.c_str(), link.c_str()), 0);
  std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  std::string g = dir.file("g");
  WritePattern(g, 100);
  ASSERT_EQ(chmod(g.c_str(), 02644), 0);
  // Each with the caller's record of a marked regular file.
  EXPECT_EQ(tqhsmIsMandLocked(link.c_str(), &marked), -1);
  EXPECT_EQ(tqhsmIsMandLocked(fifo.c_str(), &marked), -1);
  EXPECT_EQ(tqhsmIsMandLocked(g.c_str(), &marked), -1);
  EXPECT_TRUE(log.hasText(g + " changed under the scan: it is inode " +
                          std::to_string(StatOf(g).st_ino) + " on device " +
                          std::to_string(major(marked.st_dev)) + ":" +
                          std::to_string(minor(marked.st_dev)) + " now, the scan saw inode " +
                          std::to_string(marked.st_ino) + " on device " +
                          std::to_string(major(marked.st_dev)) + ":" +
                          std::to_string(minor(marked.st_dev))));
  EXPECT_EQ(tqhsmIsMandLocked(f.c_str(), &marked), 0);
}

TEST(StubCacheNamingTest, NamesParseBackToDeviceAndInode) {
  struct stat st {};
  st.st_dev = makedev(259, 17);
  st.st_ino = 987654321;
  dev_t dev = 0;
  ino_t ino = 0;
  ASSERT_TRUE(ParseCacheFname(getCacheFname("/", &st, "/var/cache/stubs"), dev, ino));
  EXPECT_EQ(dev, st.st_dev);
  EXPECT_EQ(ino, st.st_ino);
  for (const char* bad : {"/c/a", "/c/1.2.3", "/c/1.2.stub", "/c/1.2.3.4.stub", "/c/1.x.3.stub",
                          "/c/1.2.0.stub", "/c/.2.3.stub", "/c/1.2.-3.stub", "/c/9999999.2.3.stub"})
    EXPECT_FALSE(ParseCacheFname(bad, dev, ino)) << bad;
}

TEST(AclHelperTest, ExtendedAttributeHelper) {
  EXPECT_EQ(ObACL::Helper::getInstance(7), nullptr);
  std::unique_ptr<ObACL::Helper> acl(ObACL::Helper::getInstance(19));
  ASSERT_NE(acl, nullptr);
  TempDir dir;
  std::string f = dir.file("f");
  WritePattern(f, 1);
  EXPECT_NE(acl->supportsXattr(f.c_str()), 0);
  char buf[16];
  EXPECT_EQ(acl->getXattr(f.c_str(), "user.OSTUB", buf, sizeof buf), 0);
  ASSERT_TRUE(SetStubXattr(f, {'a', 'b', 'c'}));
  EXPECT_EQ(acl->getXattr(f.c_str(), "user.OSTUB", buf, sizeof buf), 3);
  EXPECT_EQ(std::string(buf, 3), "abc");
  ASSERT_TRUE(SetStubXattr(f, std::vector<char>(40, 'x')));
  errno = 0;
  EXPECT_EQ(acl->getXattr(f.c_str(), "user.OSTUB", buf, sizeof buf), -1);
  EXPECT_EQ(errno, ERANGE);

  FailingStore store;
  store.failGetXattr = ENOTSUP;
  ScopedBackend<HSMStore> scope(&store);
  EXPECT_EQ(acl->supportsXattr(f.c_str()), 0);
  EXPECT_EQ(acl->getXattr(f.c_str(), "user.OSTUB", buf, sizeof buf), 0);
}
