#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CaptureLog.h"
#include "FileUtf.h"
#include "HSMStore.h"
#include "HelperSetup.h"
#include "StubFiles.h"
#include "StubFormat.h"
#include "TempDir.h"

using namespace tqhsm::test;

namespace {

const char* kSparseTag = "TQHSMHelper::IsSparseFileStub";

// A low-level object with scripted answers.
class FakeLowLevel : public TQHSMLowLevel {
 public:
  FakeLowLevel() : TQHSMLowLevel("/fake") {}
  int isXattrSupported(const char*) override { return xattr; }
  using TQHSMLowLevel::getFileInfo;
  int getFileInfo(const char*, const struct stat*, bool& isStub, int& state) override {
    ++fileInfoCalls;
    isStub = stub;
    state = 0;
    if (fileInfoRc != 0) setLastError("scripted failure");
    return fileInfoRc;
  }
  int stubTest(const char*, const struct stat*, bool& isStub) override {
    ++fileInfoCalls;
    isStub = stub;
    if (fileInfoRc != 0) setLastError("scripted failure");
    return fileInfoRc;
  }
  int readStubData(const char*, std::vector<char>& data) override {
    data = bytes;
    setLastError("scripted read failure");
    return readRc;
  }
  int readStubDataProxy(const char*, std::vector<char>& data) override {
    data = bytes;
    setLastError("scripted proxy read failure");
    return proxyRc;
  }
  int xattr = 1;
  bool stub = true;
  int fileInfoRc = 0;
  int fileInfoCalls = 0;
  int readRc = 0;
  int proxyRc = 0;
  std::vector<char> bytes;
};

class FakeCtx : public TQHSMLowLevelCtx {
 public:
  explicit FakeCtx(TQHSMLowLevel* l) : TQHSMLowLevelCtx(0), m_pLow(l) {}
  TQHSMLowLevel* getByFileName(const char*) override { return m_pLow; }
  TQHSMLowLevel* m_pLow;
};

class CountingFs : public tqhsm::FileSystemWrapper {
 public:
  int open(const char* path, int flags, mode_t mode) override {
    ++opens;
    return FileSystemWrapper::open(path, flags, mode);
  }
  int opens = 0;
};

// Counts what inspection opens and reads, and fails what it is told to.
class CountingStore : public tqhsm::HSMStoreWrapper {
 public:
  int open(const char* path, int flags, mode_t mode) override {
    ++opens;
    if (failOpen) return errno = failOpen, -1;
    return HSMStoreWrapper::open(path, flags, mode);
  }
  ssize_t pread(int fd, void* b, size_t n, off_t o) override {
    ++preads;
    return HSMStoreWrapper::pread(fd, b, n, o);
  }
  ssize_t fgetxattr(int fd, const char* n, void* v, size_t s) override {
    if (failXattr) return errno = failXattr, -1;
    return HSMStoreWrapper::fgetxattr(fd, n, v, s);
  }
  int opens = 0;
  int preads = 0;
  int failOpen = 0;
  int failXattr = 0;
};

std::unique_ptr<TQHSMHelper> Make(TQHSMHelperInitArgs args) {
  std::unique_ptr<TQHSMHelper> h(new TQHSMHelper(args));
  h->m_pLowLevelCtx = new TQHSMLowLevelCtx(0);
  return h;
}

TQHSMHelperInitArgs Remote() {
  TQHSMHelperInitArgs a;
  a.m_nRemoteClientId = 3;
  return a;
}

}  // namespace

TEST(InspectionTest, ProxyScanSeesNoStubsWithoutTouchingTheFile) {
  CaptureLog log;
  TQHSMHelperInitArgs args;
  args.m_bIsProxy = true;
  std::unique_ptr<TQHSMHelper> h = Make(args);
  CountingFs fs;
  tqhsm::ScopedBackend<tqhsm::FileSystem> scope(&fs);
  bool isStub = true;
  int state = 0;
  EXPECT_TRUE(h->GetFileInfo("/no/such/file", isStub, state));
  EXPECT_FALSE(isStub);
  EXPECT_EQ(state, 2);
  EXPECT_EQ(fs.opens, 0);
  EXPECT_FALSE(h->IsStub("/no/such/file"));
}

// Direct inspection (a remote client's view here) judges a file by its
// attribute, or without one by its head, and only an intact stub is a stub.
TEST(InspectionTest, DirectInspectionReadsTheAttributeThenTheHead) {
  TempDir dir;
  if (!PunchHoleWorks(dir.path())) GTEST_SKIP() << "no punch-hole here";
  enum Kind { kPlain, kStub, kHeadStub, kShortHeadStub, kPunched };
  struct Case {
    const char* name;
    Kind kind;
    bool setAttr;  // replace the attribute (removed when not set and hasAttr false)
    bool hasAttr;
    std::vector<char> attr;
    size_t size;
    bool result;
    bool isStub;
    bool headRead;
    const char* error;
  };
  std::vector<char> forged = StubBytesUnderKey(SampleStub(), "a forger's key, 32 bytes long..");
  const Case cases[] = {
      {"attr stub", kStub, false, true, {}, 30000, true, true, false, nullptr},
      {"empty attr, head stub", kHeadStub, true, true, {}, 30000, true, true, true, nullptr},
      {"empty attr, plain head", kPlain, true, true, {}, 3000, true, false, true, nullptr},
      {"no attr, head stub", kHeadStub, false, false, {}, 30000, true, true, true, nullptr},
      {"no attr, short file that is a stub", kShortHeadStub, false, false, {}, 0, true, true, true,
       nullptr},
      {"no attr, short plain file", kPlain, false, false, {}, 3, true, false, true, nullptr},
      {"no attr, empty file", kPlain, false, false, {}, 0, true, false, true, nullptr},
      {"foreign attr on a plain file", kPlain, true, true, {'j', 'u', 'n', 'k'}, 3000, true, false,
       false, nullptr},
      {"forged attr on a plain file", kPlain, true, true, forged, 3000, true, false, false, nullptr},
      {"attr longer than any stub", kPlain, true, true, std::vector<char>(3000, 'z'), 3000, true,
       false, false, nullptr},
      {"forged attr on a punched file", kPunched, true, true, forged, 30000, false, false, false,
       "Couldn't find valid meta-data on "},
      {"long attr on a punched file", kPunched, true, true, std::vector<char>(3000, 'z'), 30000,
       false, false, false, "Couldn't find valid meta-data on "},
      {"stub rewritten with new data", kStub, false, true, {}, 30000, true, false, false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CaptureLog log;
    std::string f = dir.file("f");
    unlink(f.c_str());
    WritePattern(f, c.kind == kShortHeadStub ? tqhsm::kMaxStubRecordSize : c.size);
    std::string why;
    if (c.kind == kStub || c.kind == kHeadStub || c.kind == kShortHeadStub) {
      ASSERT_TRUE(MakeStub(f, SampleStub(), 1600000000, c.kind != kStub, &why)) << why;
    }
    if (c.kind == kPunched) {
      int fd = ::open(f.c_str(), O_RDWR);
      ASSERT_EQ(fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 32768), 0);
      ::close(fd);
    }
    if (std::string(c.name) == "stub rewritten with new data") WritePattern(f, 30000);
    if (c.setAttr) {
      ASSERT_TRUE(SetStubXattr(f, c.attr));
    } else if (!c.hasAttr) {
      RemoveStubXattr(f);
    }
    std::unique_ptr<TQHSMHelper> h = Make(Remote());
    CountingStore store;
    tqhsm::ScopedBackend<tqhsm::HSMStore> scope(&store);
    bool isStub = !c.isStub;
    int state = 0;
    EXPECT_EQ(h->GetFileInfo(f.c_str(), isStub, state), c.result);
    EXPECT_EQ(state, 2);
    EXPECT_EQ(isStub, c.isStub);
    EXPECT_EQ(store.opens, 1);
    EXPECT_EQ(store.preads > 0, c.headRead);
    if (c.error) {
      EXPECT_TRUE(log.has(kSparseTag, c.error + f));
    }
  }
}

TEST(InspectionTest, DirectInspectionFailures) {
  TempDir dir;
  std::string f = dir.write("f", "content");
  std::unique_ptr<TQHSMHelper> h = Make(Remote());
  bool isStub = true;
  {
    CaptureLog log;
    std::string missing = dir.file("missing");
    EXPECT_FALSE(h->IsSparseFileStub(missing.c_str(), isStub));
    EXPECT_FALSE(isStub);
    EXPECT_TRUE(log.has(kSparseTag, "Failed to open " + missing + ": " + strerror(ENOENT) + "."));
  }
  {
    CaptureLog log;
    CountingStore store;
    store.failOpen = EACCES;
    tqhsm::ScopedBackend<tqhsm::HSMStore> scope(&store);
    isStub = true;
    EXPECT_FALSE(h->IsSparseFileStub(f.c_str(), isStub));
    EXPECT_FALSE(isStub);
    EXPECT_TRUE(log.has(kSparseTag, "Failed to open " + f + ": " + strerror(EACCES) + "."));
  }
  {
    // An attribute that cannot be read is not taken for "no stub".
    CaptureLog log;
    CountingStore store;
    store.failXattr = EIO;
    tqhsm::ScopedBackend<tqhsm::HSMStore> scope(&store);
    isStub = true;
    EXPECT_FALSE(h->IsSparseFileStub(f.c_str(), isStub));
    EXPECT_FALSE(isStub);
    EXPECT_EQ(store.preads, 0);
    EXPECT_TRUE(log.has(kSparseTag, "Failed to read extended attribute user.OSTUB of " + f + ": " +
                                        strerror(EIO) + "."));
  }
  {
    // Neither a link in the file's place nor a FIFO: the first is not
    // followed, the second never waited on, and neither is a file to judge.
    CaptureLog log;
    std::string link = dir.file("link");
    ASSERT_EQ(symlink(f.c_str(), link.c_str()), 0);
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    EXPECT_FALSE(h->IsSparseFileStub(link.c_str(), isStub));
    EXPECT_TRUE(log.has(kSparseTag, "Failed to open " + link + ": " + strerror(ELOOP) + "."));
    EXPECT_FALSE(h->IsSparseFileStub(fifo.c_str(), isStub));
    EXPECT_TRUE(log.has(kSparseTag, "Failed to open " + fifo + ": not a regular file."));
  }
}

TEST(InspectionTest, HeadIsReadWithoutChangingTheAccessTime) {
  TempDir dir;
  std::string f = dir.write("f", std::string(4096, 'x'));
  SetTimes(f, 1000, 2000000000);  // atime before mtime: relatime would update it on a read
  std::unique_ptr<TQHSMHelper> h = Make(Remote());
  bool isStub = true;
  EXPECT_TRUE(h->IsSparseFileStub(f.c_str(), isStub));
  EXPECT_EQ(StatOf(f).st_atime, 1000);
}

TEST(InspectionTest, SnapshotPathsAreExaminedOnTheHost) {
  CaptureLog log;
  TempDir dir;
  if (!PunchHoleWorks(dir.path())) GTEST_SKIP() << "no punch-hole here";
  std::string f = dir.write("f", std::string(20000, 'x'));
  std::string why;
  ASSERT_TRUE(MakeStub(f, SampleStub(), 1600000000, false, &why)) << why;
  PrefixPathMapper mapper("/snapX", dir.path());
  TQHSMHelperInitArgs args;
  args.m_bUseNativeSnap = true;
  args.m_pPathMapper = &mapper;
  std::unique_ptr<TQHSMHelper> h = Make(args);
  h->SetSnapHostMapped(true);
  bool isStub = false;
  EXPECT_TRUE(h->IsSparseFileStub("/snapX/f", isStub));
  EXPECT_TRUE(isStub);
  EXPECT_TRUE(log.has(kSparseTag, "Proxy path '/snapX/f' converted to host path '" + f + "'."));

  h->SetSnapHostMapped(false);  // then the snapshot path itself is examined
  EXPECT_FALSE(h->IsSparseFileStub("/snapX/f", isStub));
}

TEST(InspectionTest, LocalInspectionAsksTheLowLevelObject) {
  TempDir dir;
  if (!PunchHoleWorks(dir.path())) GTEST_SKIP() << "no punch-hole here";
  std::string f = dir.write("f", std::string(20000, 'd'));
  std::string why;
  ASSERT_TRUE(MakeStub(f, SampleStub(), 1600000000, false, &why)) << why;
  std::string plain = dir.write("plain", "data");
  TQHSMHelperInitArgs args;
  std::unique_ptr<TQHSMHelper> h = Make(args);
  bool isStub = false;
  int state = -1;
  EXPECT_TRUE(h->GetFileInfo(f.c_str(), isStub, state));
  EXPECT_TRUE(isStub);
  EXPECT_EQ(state, 0);
  EXPECT_TRUE(h->IsStub(f.c_str()));
  EXPECT_FALSE(h->IsStub(plain.c_str()));

  CaptureLog log;
  std::string missing = dir.file("missing");
  EXPECT_FALSE(h->GetFileInfo(missing.c_str(), isStub, state));
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0].tag, "TQHSMHelper::GetFileInfo");
  EXPECT_EQ(log.lines[0].text,
            "Cannot open " + missing + ": " + strerror(ENOENT) + ".");

  // No context or no object: false without a message.
  log.clear();
  delete h->m_pLowLevelCtx;
  h->m_pLowLevelCtx = nullptr;
  EXPECT_FALSE(h->GetFileInfo(f.c_str(), isStub, state));
  std::string guid;
  EXPECT_FALSE(h->GetGUIDFromStub(f.c_str(), guid));
  EXPECT_TRUE(log.lines.empty());
}

TEST(InspectionTest, GuidFromStubAcceptsWhatEachModeAllows) {
  CaptureLog log;
  FakeLowLevel low;
  low.bytes = StubBytes(SampleStub());
  struct Case {
    bool local;
    int readRc;
    int proxyRc;
    bool ok;
  };
  const Case cases[] = {
      {true, 0, -1, true},  {true, 1, -1, true},   // local: any non-negative result
      {true, -1, 0, false}, {false, 0, 0, true},   // direct: only 0
      {false, 0, 1, false}, {false, 0, -1, false},
  };
  for (const Case& c : cases) {
    TQHSMHelperInitArgs args = c.local ? TQHSMHelperInitArgs() : Remote();
    std::unique_ptr<TQHSMHelper> h(new TQHSMHelper(args));
    h->m_pLowLevelCtx = new FakeCtx(&low);
    low.readRc = c.readRc;
    low.proxyRc = c.proxyRc;
    std::string guid = "unset";
    EXPECT_EQ(h->GetGUIDFromStub("/x", guid), c.ok) << c.local << c.readRc << c.proxyRc;
    if (c.ok) {
      EXPECT_EQ(guid, "stub-guid-0001");
    }
  }
  EXPECT_TRUE(log.has("TQHSMHelper::GetGUIDFromStub", "scripted read failure."));
  EXPECT_TRUE(log.has("TQHSMHelper::GetGUIDFromStub", "scripted proxy read failure."));

  // Stub data that do not parse give false.
  TQHSMHelperInitArgs local;
  std::unique_ptr<TQHSMHelper> h(new TQHSMHelper(local));
  h->m_pLowLevelCtx = new FakeCtx(&low);
  low.readRc = 0;
  low.bytes = {'x'};
  std::string guid;
  EXPECT_FALSE(h->GetGUIDFromStub("/x", guid));
}

TEST(InspectionTest, GuidIfStub) {
  CaptureLog log;
  FakeLowLevel low;
  low.bytes = StubBytes(SampleStub());
  TQHSMHelperInitArgs args;
  std::unique_ptr<TQHSMHelper> h(new TQHSMHelper(args));
  h->m_pLowLevelCtx = new FakeCtx(&low);
  std::string guid;

  low.xattr = 0;  // no extended attributes: no stubs, and no question about the file
  EXPECT_FALSE(h->GetGUIDIfStub("/x", guid));
  EXPECT_EQ(low.fileInfoCalls, 0);

  low.xattr = 1;
  low.stub = false;
  EXPECT_FALSE(h->GetGUIDIfStub("/x", guid));
  low.stub = true;
  low.fileInfoRc = -1;
  EXPECT_FALSE(h->GetGUIDIfStub("/x", guid));
  low.fileInfoRc = 0;
  ASSERT_TRUE(h->GetGUIDIfStub("/x", guid));
  EXPECT_EQ(guid, "stub-guid-0001");

  // On real files.
  TempDir dir;
  if (!PunchHoleWorks(dir.path())) GTEST_SKIP() << "no punch-hole here";
  std::string f = dir.write("f", std::string(20000, 'd'));
  std::string why;
  ASSERT_TRUE(MakeStub(f, SampleStub(), 1600000000, false, &why)) << why;
  std::unique_ptr<TQHSMHelper> real = Make(TQHSMHelperInitArgs());
  guid.clear();
  ASSERT_TRUE(real->GetGUIDIfStub(f.c_str(), guid));
  EXPECT_EQ(guid, "stub-guid-0001");
  std::string plain = dir.write("plain", "data");
  EXPECT_FALSE(real->GetGUIDIfStub(plain.c_str(), guid));
}
