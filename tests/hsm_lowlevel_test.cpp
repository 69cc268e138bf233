#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CaptureLog.h"
#include "Config.h"
#include "HSMLowLevel.h"
#include "HSMStore.h"
#include "MountTable.h"
#include "ObACL.h"
#include "StubFiles.h"
#include "StubFormat.h"
#include "TempDir.h"

using namespace tqhsm::test;
using tqhsm::HSMStore;
using tqhsm::ScopedBackend;

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
  int opens = 0;
  int calls = 0;
  std::vector<std::string> openedPaths;

  int open(const char* path, int flags, mode_t mode) override {
    ++calls;
    ++opens;
    openedPaths.push_back(path);
    return HSMStoreWrapper::open(path, flags, mode);
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
  int fcntl(int fd, int cmd, long arg) override {
    ++calls;
    return HSMStoreWrapper::fcntl(fd, cmd, arg);
  }
  int close(int fd) override {
    ++calls;
    return HSMStoreWrapper::close(fd);
  }
};

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

TEST_F(LowLevelTest, StubFileKeepsSizeReleasesBlocksAndCarriesTheMetaData) {
  if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "punch-hole is not supported here";
  std::string f = m_dir.file("big");
  WritePattern(f, 1 << 20);
  sync();
  struct stat before = StatOf(f);
  SetTimes(f, 1500000000, before.st_mtime);
  ReparseData r = SampleStub();
  r.originalSize = 1 << 20;

  TQHSMLowLevel* l = lowLevel(f);
  ASSERT_EQ(l->stubFile(f.c_str(), reparse(r).c_str(), 1234567890, -1), 0) << l->getLastError();

  struct stat after = StatOf(f);
  EXPECT_EQ(after.st_size, 1 << 20);
  EXPECT_LT(after.st_blocks * 512, before.st_blocks * 512 / 8) << "blocks were not released";
  EXPECT_EQ(after.st_mtime, 1234567890);
  EXPECT_EQ(after.st_atime, 1500000000);  // stubbing does not count as an access

  std::vector<char> attr;
  ASSERT_TRUE(GetStubXattr(f, attr));
  ReparseData back;
  ASSERT_EQ(ParseStubData(attr, back), 1);
  EXPECT_EQ(back.afileId, 4711u);
  EXPECT_EQ(back.stubGUID, r.stubGUID);
  EXPECT_EQ(back.originalSize, static_cast<uint64_t>(1 << 20));

  std::vector<char> data;
  EXPECT_EQ(l->readStubData(f.c_str(), data), 0);
  EXPECT_EQ(data, attr);
  EXPECT_EQ(l->isStubbed(f.c_str()), 1);
  bool isStub = false;
  int state = -7;
  EXPECT_EQ(l->getFileInfo(f.c_str(), isStub, state), 0);
  EXPECT_TRUE(isStub);
  EXPECT_EQ(state, TQHSMLowLevel::eFileNotOpen);

  // A negative time keeps the modification time the file had.
  ASSERT_EQ(l->stubFile(f.c_str(), reparse(r).c_str(), -1, -1), 0) << l->getLastError();
  EXPECT_EQ(StatOf(f).st_mtime, 1234567890);
}

TEST_F(LowLevelTest, StubFileRefusesAndLeavesTheFileAsItWas) {
  std::string f = m_dir.file("f");
  WritePattern(f, 5000);
  std::string content = ReadFile(f);
  std::string dir = m_dir.file("d");
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  std::string link = m_dir.file("link");
  ASSERT_EQ(symlink(f.c_str(), link.c_str()), 0);
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
      {link, reparse(r), -1, "Cannot open"},
      {m_dir.file("missing"), reparse(r), -1, "No such file"},
  };
  TQHSMLowLevel* l = lowLevel(f);
  for (const Case& c : cases) {
    EXPECT_NE(l->stubFile(c.path.c_str(), c.text.c_str(), 100, c.flag), 0) << c.path;
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
  std::string f = m_dir.file("f");
  WritePattern(f, 8192);
  TQHSMLowLevel* l = lowLevel(f);
  ReparseData r = SampleStub();
  ASSERT_EQ(l->stubFile(f.c_str(), reparse(r).c_str(), 2000000000, TQHSMLowLevel::eStubWriteHead),
            0)
      << l->getLastError();
  std::vector<char> expected = StubBytes(r);
  std::string head = ReadFile(f).substr(0, expected.size());
  EXPECT_EQ(head, std::string(expected.begin(), expected.end()));

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
  EXPECT_NE(l->getLastError().find("empty"), std::string::npos);

  FailingStore store;
  store.failGetXattr = EIO;
  ScopedBackend<HSMStore> scope(&store);
  EXPECT_EQ(l->readStubData(f.c_str(), data), -1);
  EXPECT_NE(l->getLastError().find(strerror(EIO)), std::string::npos);
  // An attribute that cannot be read is no reason to look at the file's head.
  EXPECT_EQ(l->readStubDataProxy(f.c_str(), data), -1);
  EXPECT_EQ(store.opens, 0);
}

TEST_F(LowLevelTest, FileInfoReportsStubAndOpenStateWithAFewCalls) {
  std::string f = m_dir.file("f");
  WritePattern(f, 100);
  TQHSMLowLevel* l = lowLevel(f);
  bool isStub = true;
  int state = -1;
  {
    FailingStore counting;
    ScopedBackend<HSMStore> scope(&counting);
    ASSERT_EQ(l->getFileInfo(f.c_str(), isStub, state), 0) << l->getLastError();
    EXPECT_FALSE(isStub);
    EXPECT_EQ(state, TQHSMLowLevel::eFileNotOpen);
    // Only the file itself is opened, once; nothing like a walk of /proc.
    EXPECT_EQ(counting.openedPaths, std::vector<std::string>{f});
    EXPECT_LE(counting.calls, 8);
  }
  int other = ::open(f.c_str(), O_RDONLY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(l->getFileInfo(f.c_str(), isStub, state), 0);
  EXPECT_EQ(state, TQHSMLowLevel::eFileOpen);
  ::close(other);
  ASSERT_EQ(l->getFileInfo(f.c_str(), isStub, state), 0);
  EXPECT_EQ(state, TQHSMLowLevel::eFileNotOpen);

  // Invalid stub data: a failure, not a plain file.
  ASSERT_TRUE(SetStubXattr(f, {'j', 'u', 'n', 'k'}));
  EXPECT_EQ(l->getFileInfo(f.c_str(), isStub, state), -1);
  EXPECT_NE(l->getLastError().find("Invalid stub meta-data"), std::string::npos);

  {
    FailingStore failing;
    failing.failGetXattr = EIO;
    ScopedBackend<HSMStore> scope(&failing);
    EXPECT_EQ(l->getFileInfo(f.c_str(), isStub, state), -1);
    EXPECT_NE(l->getLastError().find(strerror(EIO)), std::string::npos);
  }

  EXPECT_EQ(l->getFileInfo(m_dir.file("gone").c_str(), isStub, state), -1);
  EXPECT_EQ(l->getFileInfo(m_dir.path().c_str(), isStub, state), 0);  // a directory
  EXPECT_FALSE(isStub);
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
