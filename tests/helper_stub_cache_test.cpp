#include <gtest/gtest.h>
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
#include "StubCache.h"
#include "StubFiles.h"
#include "StubFormat.h"
#include "TempDir.h"

using namespace tqhsm::test;

namespace {

const char* kRestubTag = "TQHSMHelper::IsFileShouldBeReStubbed";
const char* kCacheTag = "TQHSMHelper::ProcessStubCache";

class FakeArchive : public OBArchive {
 public:
  FakeArchive() : OBArchive("client", nullptr, true) {}
  int getAfileCopy(OBA_GetCopyIdByAfileCopyPrec50Req_t& req,
                   OBA_GetCopyIdByAfileCopyPrec50Resp_t& resp) override {
    ++calls;
    resp.copyId = pruned ? 0 : 1;
    (void)req;
    return rc;
  }
  int calls = 0;
  bool pruned = false;
  int rc = 0;
};

// Cached stubs cannot be opened, by stream or by descriptor.
class FailingCacheOpen : public tqhsm::FileSystemWrapper {
 public:
  FILE* fopen(const char* path, const char* mode) override {
    if (inCache(path)) return errno = EACCES, nullptr;
    return FileSystemWrapper::fopen(path, mode);
  }
  int open(const char* path, int flags, mode_t mode) override {
    if (inCache(path)) return errno = EACCES, -1;
    return FileSystemWrapper::open(path, flags, mode);
  }

 private:
  static bool inCache(const char* path) { return std::string(path).find("/cache/") != std::string::npos; }
};

class StubCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(m_dir.file("cache").c_str(), 0755), 0);
    m_h.reset(new TQHSMHelper(m_args));
    m_h->m_pLowLevelCtx = new TQHSMLowLevelCtx(0);
    m_h->m_rules.m_bStubCacheEnabled = true;
    m_h->m_rules.m_sStubCacheLocation = m_dir.file("cache");
    m_archive = new FakeArchive();
    m_h->m_rules.m_pArchive = m_archive;
    m_h->m_rules.m_bHonorArchiverRetention = true;
    m_h->m_sAppGUID = "app-guid-5";
    m_h->m_nAppId = 5;
    m_file = m_dir.file("f");
    WritePattern(m_file, 30000);
    SetTimes(m_file, 1000, 1600000000);
    m_st = StatOf(m_file);
    m_cached = getCacheFname(m_file.c_str(), &m_st, m_h->m_rules.m_sStubCacheLocation);
  }
  // Writes the cached stub of m_file with prefix bytes in front and the given mtime.
  void writeCached(size_t prefix, time_t mtime, bool empty = false) {
    ReparseData r = SampleStub();
    r.originalSize = 30000;
    std::vector<char> bytes = StubBytes(r);
    std::string content = empty ? "" : std::string(prefix, 'P') + std::string(bytes.begin(), bytes.end());
    m_dir.write("cache/" + m_cached.substr(m_cached.rfind('/') + 1), content);
    SetTimes(m_cached, mtime, mtime);
  }

  CaptureLog m_log;
  TempDir m_dir;
  TQHSMHelperInitArgs m_args;
  std::unique_ptr<TQHSMHelper> m_h;
  FakeArchive* m_archive;
  std::string m_file;
  struct stat m_st;
  std::string m_cached;
};

}  // namespace

TEST_F(StubCacheTest, CurrentCachedStubSendsTheFileToReStubbing) {
  writeCached(0, m_st.st_mtime);
  std::string out;
  ASSERT_TRUE(m_h->IsFileShouldBeReStubbed("/any/mount", &m_st, out));
  EXPECT_EQ(out, m_cached);
  // The name follows device and inode: the volume's mount point or the file's
  // own path give the same.
  EXPECT_EQ(getCacheFname("/", &m_st, m_h->m_rules.m_sStubCacheLocation), m_cached);
}

TEST_F(StubCacheTest, StaleCachedStubIsDeletedByTheCheckButKeptByProcessStubCache) {
  writeCached(0, m_st.st_mtime + 1);
  std::string out = "unchanged";
  EXPECT_FALSE(m_h->ProcessStubCache(true, m_file.c_str(), nullptr));
  EXPECT_TRUE(FileExists(m_cached));
  EXPECT_FALSE(m_h->IsFileShouldBeReStubbed("/m", &m_st, out));
  EXPECT_FALSE(FileExists(m_cached));
  EXPECT_EQ(out, "unchanged");
}

// Only a regular file in the stub cache is a cached stub, and only such a file
// is ever deleted as stale: a link planted under the cache name is neither
// followed nor taken.
TEST_F(StubCacheTest, ALinkUnderTheCacheNameIsNeitherUsedNorFollowed) {
  std::string target = m_dir.write("precious", "not a cached stub");
  SetTimes(target, m_st.st_mtime + 5, m_st.st_mtime + 5);  // "stale"
  ASSERT_EQ(symlink(target.c_str(), m_cached.c_str()), 0);
  std::string out;
  EXPECT_FALSE(m_h->IsFileShouldBeReStubbed("/m", &m_st, out));
  EXPECT_TRUE(FileExists(target));
  struct stat lst;
  EXPECT_EQ(lstat(m_cached.c_str(), &lst), 0);
  SetTimes(target, m_st.st_mtime, m_st.st_mtime);  // "current"
  EXPECT_FALSE(m_h->IsFileShouldBeReStubbed("/m", &m_st, out));
  EXPECT_TRUE(out.empty());
}

TEST_F(StubCacheTest, ACachedStubOutsideTheCacheIsNeverDeleted) {
  std::string why;
  std::string outside = m_dir.write("elsewhere.stub", "x");
  EXPECT_EQ(DeleteCachedStub(m_h->m_rules.m_sStubCacheLocation, outside, nullptr, why), -2);
  EXPECT_EQ(why, outside + " is not in the stub cache " + m_h->m_rules.m_sStubCacheLocation);
  EXPECT_EQ(DeleteCachedStub(m_h->m_rules.m_sStubCacheLocation,
                             m_h->m_rules.m_sStubCacheLocation + "/../elsewhere.stub", nullptr, why),
            -2);
  EXPECT_EQ(DeleteCachedStub("", outside, nullptr, why), -2);
  EXPECT_TRUE(FileExists(outside));
  writeCached(0, m_st.st_mtime);
  EXPECT_EQ(DeleteCachedStub(m_h->m_rules.m_sStubCacheLocation + "/", m_cached, nullptr, why), 0)
      << why;
  EXPECT_FALSE(FileExists(m_cached));
}

// ProcessStubCache replaces only the file it looked at, unchanged since.
TEST_F(StubCacheTest, AFileChangedAfterTheLookIsNotReplaced) {
  if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "punch-hole is not supported here";
  writeCached(0, m_st.st_mtime);
  class Rewriter : public tqhsm::HSMStoreWrapper {
   public:
    int openat2(int dirfd, const char* path, const struct open_how* how, size_t size) override {
      if (file == path) {
        FILE* f = fopen(path, "r+");
        fputs("changed", f);
        fclose(f);
      }
      return HSMStoreWrapper::openat2(dirfd, path, how, size);
    }
    std::string file;
  } store;
  store.file = m_file;
  tqhsm::ScopedBackend<tqhsm::HSMStore> scope(&store);
  EXPECT_FALSE(m_h->ProcessStubCache(true, m_file.c_str(), nullptr));
  EXPECT_EQ(ReadFile(m_file).substr(0, 7), "changed");
  std::vector<char> attr;
  EXPECT_FALSE(GetStubXattr(m_file, attr));
  bool found = false;
  for (const LogLine& l : m_log.lines)
    found |= l.level == 2 && l.text.rfind("Not replacing " + m_file + " with cached stub " +
                                              m_cached + ": " + m_file +
                                              " changed after the scan decided: its modification time is ",
                                          0) == 0;
  EXPECT_TRUE(found);
}

TEST_F(StubCacheTest, ZeroLengthCachedStubIsNeitherUsedNorDeleted) {
  writeCached(0, m_st.st_mtime, true);
  std::string out;
  EXPECT_FALSE(m_h->IsFileShouldBeReStubbed("/m", &m_st, out));
  EXPECT_FALSE(m_h->ProcessStubCache(true, m_file.c_str(), nullptr));
  EXPECT_TRUE(FileExists(m_cached));
  EXPECT_EQ(m_archive->calls, 0);
}

TEST_F(StubCacheTest, UnopenableCachedStubIsReported) {
  writeCached(0, m_st.st_mtime);
  FailingCacheOpen fs;
  tqhsm::ScopedBackend<tqhsm::FileSystem> scope(&fs);
  std::string out;
  std::string msg = "Failed to open " + m_cached + " for reading: " + strerror(EACCES);
  EXPECT_FALSE(m_h->IsFileShouldBeReStubbed("/m", &m_st, out));
  EXPECT_TRUE(m_log.has(kRestubTag, msg));
  EXPECT_FALSE(m_h->ProcessStubCache(true, m_file.c_str(), nullptr));
  EXPECT_TRUE(m_log.has(kCacheTag, msg));
  std::string guid = "kept";
  EXPECT_FALSE(m_h->GetGUIDFromStubInCache(m_cached.c_str(), guid));
  EXPECT_EQ(guid, "kept");
}

TEST_F(StubCacheTest, SettingsAndScanModesThatKeepTheCacheOut) {
  writeCached(0, m_st.st_mtime);
  std::string out;
  EXPECT_FALSE(m_h->IsFileShouldBeReStubbed("/m", nullptr, out));
  m_h->m_rules.m_bDoNotCreateStub = true;
  EXPECT_FALSE(m_h->IsFileShouldBeReStubbed("/m", &m_st, out));
  EXPECT_FALSE(m_h->ProcessStubCache(true, m_file.c_str(), nullptr));
  m_h->m_rules.m_bDoNotCreateStub = false;
  EXPECT_FALSE(m_h->ProcessStubCache(false, m_file.c_str(), nullptr));
  m_h->m_rules.m_bStubCacheEnabled = false;
  EXPECT_FALSE(m_h->IsFileShouldBeReStubbed("/m", &m_st, out));
  EXPECT_FALSE(m_h->ProcessStubCache(true, m_file.c_str(), nullptr));
  m_h->m_rules.m_bStubCacheEnabled = true;

  m_h->m_nRemoteClientId = 3;
  EXPECT_FALSE(m_h->IsFileShouldBeReStubbed("/m", &m_st, out));
  m_h->m_nRemoteClientId = 0;
  m_h->m_bIsProxy = true;
  EXPECT_FALSE(m_h->IsFileShouldBeReStubbed("/m", &m_st, out));
  m_h->m_bUseNativeSnap = true;  // proxy with a native snapshot: no stub cache at all
  EXPECT_FALSE(m_h->ProcessStubCache(true, m_file.c_str(), nullptr));
  EXPECT_EQ(m_archive->calls, 0);
  EXPECT_TRUE(FileExists(m_cached));
  EXPECT_TRUE(out.empty());

  // A remote or proxy scan without a snapshot still restores from the cache.
  m_h->m_bUseNativeSnap = false;
  EXPECT_TRUE(m_h->ProcessStubCache(true, m_file.c_str(), nullptr));
}

TEST_F(StubCacheTest, CachedStubBehindAPrefixReplacesTheFile) {
  if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "punch-hole is not supported here";
  writeCached(1000, m_st.st_mtime);
  ASSERT_TRUE(m_h->ProcessStubCache(true, m_file.c_str(), nullptr));
  const LogLine* done = m_log.find("Successfully replaced " + m_file + " with cached stub " + m_cached);
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(done->kind, tqhsm::LogKind::Error);
  EXPECT_TRUE(m_log.has(kCacheTag, "Found cached stub " + m_cached + " for " + m_file +
                                       ", and its AF has not been pruned yet"));
  EXPECT_TRUE(FileExists(m_cached));

  std::vector<char> attr;
  ASSERT_TRUE(GetStubXattr(m_file, attr));
  ReparseData back;
  ASSERT_EQ(ParseStubData(attr, back), 1);
  EXPECT_EQ(back.stubGUID, "stub-guid-0001");
  struct stat after = StatOf(m_file);
  EXPECT_EQ(after.st_size, 30000);
  EXPECT_EQ(after.st_mtime, m_st.st_mtime);
  EXPECT_LT(after.st_blocks, m_st.st_blocks);

  std::string guid;
  ASSERT_TRUE(m_h->GetGUIDFromStubInCache(m_cached.c_str(), guid));
  EXPECT_EQ(guid, "stub-guid-0001");
}

TEST_F(StubCacheTest, PrunedOrUncheckableAFKeepsTheFile) {
  writeCached(0, m_st.st_mtime);
  std::string content = ReadFile(m_file);
  m_archive->pruned = true;
  EXPECT_FALSE(m_h->ProcessStubCache(true, m_file.c_str(), nullptr));
  EXPECT_TRUE(m_log.has(kCacheTag, "Found cached stub " + m_cached + " for " + m_file +
                                       ", but its AF has been pruned"));
  TQHSMHelperInitArgs args;
  std::unique_ptr<TQHSMHelper> h(new TQHSMHelper(args));
  h->m_rules.m_bStubCacheEnabled = true;
  h->m_rules.m_sStubCacheLocation = m_dir.file("cache");
  h->m_rules.m_bHonorArchiverRetention = true;
  h->m_sAppGUID = "app-guid-5";
  h->m_nAppId = 5;
  FakeArchive* failing = new FakeArchive();
  failing->rc = 7;
  h->m_rules.m_pArchive = failing;
  m_log.clear();
  EXPECT_FALSE(h->ProcessStubCache(true, m_file.c_str(), nullptr));
  EXPECT_TRUE(m_log.texts(kCacheTag).empty());
  // Not pruned, but no low-level context to stub with.
  failing->rc = 0;
  EXPECT_FALSE(h->ProcessStubCache(true, m_file.c_str(), nullptr));
  EXPECT_TRUE(m_log.has(kCacheTag, "Failed to instantiate TQHSMLowLevel object for [" + m_file + "]."));
  EXPECT_EQ(ReadFile(m_file), content);
  std::vector<char> attr;
  EXPECT_FALSE(GetStubXattr(m_file, attr));
}

TEST_F(StubCacheTest, FailedStubbingIsReported) {
  // The cached stub was made for a file of another size: stubbing is refused.
  ReparseData r = SampleStub();
  r.originalSize = 12;
  std::vector<char> bytes = StubBytes(r);
  m_dir.write("cache/" + m_cached.substr(m_cached.rfind('/') + 1), std::string(bytes.begin(), bytes.end()));
  SetTimes(m_cached, m_st.st_mtime, m_st.st_mtime);
  EXPECT_FALSE(m_h->ProcessStubCache(true, m_file.c_str(), nullptr));
  bool found = false;
  for (const std::string& t : m_log.texts(kCacheTag))
    found |= t.rfind("Failed to stub " + m_file + ": Size of", 0) == 0;
  EXPECT_TRUE(found);
}

TEST(ReadCachedStubTest, ReadsFromTheStartOrBehindThePrefix) {
  TempDir dir;
  std::vector<char> bytes = StubBytes(SampleStub());
  std::string stub(bytes.begin(), bytes.end());
  struct Case {
    std::string content;
    uint64_t size;
    bool valid;
  };
  const Case cases[] = {
      {stub, stub.size(), true},
      {stub + std::string(5000, 'z'), 2048, true},
      {std::string(1000, 'P') + stub, 1000 + stub.size(), true},
      {std::string(1000, 'P') + stub, 2048, true},
      {std::string(1000, 'P') + stub.substr(0, 20), 1020, false},  // cut short
      {std::string(500, 'P') + stub, 2048, false},
  };
  for (const Case& c : cases) {
    std::string f = dir.write("c", c.content);
    std::vector<char> buf;
    ASSERT_TRUE(ReadCachedStub(f.c_str(), c.size, buf));
    EXPECT_EQ(buf.size(), c.size);
    std::string app, guid;
    EXPECT_EQ(GetAppGUIDAndStubGUIDFromStubData(buf, app, guid), c.valid) << c.content.size();
  }
  std::vector<char> buf{'x'};
  EXPECT_TRUE(ReadCachedStub(dir.write("empty", "").c_str(), 0, buf));
  EXPECT_TRUE(buf.empty());
  EXPECT_FALSE(ReadCachedStub(dir.file("missing").c_str(), 2048, buf));
  EXPECT_EQ(errno, ENOENT);
  // A huge size never becomes a buffer of that size.
  std::string f = dir.write("c", stub);
  ASSERT_TRUE(ReadCachedStub(f.c_str(), 5ULL << 32, buf));
  EXPECT_EQ(buf.size(), kMaxCachedStubRead);
  std::string app, guid;
  EXPECT_TRUE(GetAppGUIDAndStubGUIDFromStubData(buf, app, guid));
}
