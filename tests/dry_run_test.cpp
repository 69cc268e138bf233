// The no-action mode and the action observer, on real files: a dry run makes
// every check a real run makes and answers as it would, but deletes, stubs,
// watches and records nothing, and names its lists with ".dryrun"; the
// observer hears of every act (or would-be act) with its AF.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "CaptureLog.h"
#include "Catalog.h"
#include "FetchIndexInfo.h"
#include "FileUtf.h"
#include "HSMStore.h"
#include "HelperSetup.h"
#include "ScanFakes.h"
#include "StubFiles.h"
#include "StubFormat.h"
#include "TempDir.h"

using namespace tqhsm::test;

namespace {

// Everything the observer was told, copied out of the call.
struct Told {
  TQHSMAction::Kind kind;
  std::string path;
  std::string cachedStub;
  std::string af;
  bool dryRun;
  std::string error;
};

class Recorder : public TQHSMActionObserver {
 public:
  void OnAction(const TQHSMAction& a) override {
    told.push_back({a.m_eKind, a.m_pPath ? a.m_pPath : "",
                    a.m_pCachedStub ? a.m_pCachedStub : "",
                    std::to_string(a.m_ulParvisNumber) + ":" + std::to_string(a.m_ulCopyPrecedence) +
                        ":" + std::to_string(a.m_ulAfileId),
                    a.m_bDryRun, a.m_pError ? a.m_pError : ""});
  }
  std::vector<Told> told;
};

// What a dry run must leave as it found it: content, size, blocks, times
// (access time included), inode and the stub attribute.
struct FileState {
  explicit FileState(const std::string& path) {
    exists = lstat(path.c_str(), &st) == 0;
    if (exists) {
      // Read without marking it read, or the look would change what it checks.
      int fd = ::open(path.c_str(), O_RDONLY | O_NOATIME | O_NOFOLLOW);
      char buf[65536];
      ssize_t n;
      while (fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0)
        content.append(buf, static_cast<size_t>(n));
      if (fd >= 0) ::close(fd);
      GetStubXattr(path, xattr);
    }
  }
  bool operator==(const FileState& o) const {
    return exists == o.exists &&
           (!exists || (st.st_ino == o.st.st_ino && st.st_size == o.st.st_size &&
                        st.st_blocks == o.st.st_blocks &&
                        st.st_mtim.tv_sec == o.st.st_mtim.tv_sec &&
                        st.st_mtim.tv_nsec == o.st.st_mtim.tv_nsec &&
                        st.st_ctim.tv_sec == o.st.st_ctim.tv_sec &&
                        st.st_ctim.tv_nsec == o.st.st_ctim.tv_nsec &&
                        st.st_atim.tv_sec == o.st.st_atim.tv_sec && content == o.content &&
                        xattr == o.xattr));
  }
  bool exists;
  struct stat st {};
  std::string content;
  std::vector<char> xattr;
};

// Every path of the library's own files that was opened, renamed or deleted.
class PathRecorder : public tqhsm::FileSystemWrapper {
 public:
  int open(const char* path, int flags, mode_t mode) override {
    paths.insert(path);
    return FileSystemWrapper::open(path, flags, mode);
  }
  FILE* fopen(const char* path, const char* mode) override {
    paths.insert(path);
    return FileSystemWrapper::fopen(path, mode);
  }
  int rename(const char* from, const char* to) override {
    paths.insert(from);
    paths.insert(to);
    return FileSystemWrapper::rename(from, to);
  }
  int unlink(const char* path) override {
    paths.insert(path);
    return FileSystemWrapper::unlink(path);
  }
  std::set<std::string> paths;
};

bool EndsWith(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

// --------------------------------------------------------------- stubFile

// The check-only call answers what the real call answers, for every way a
// file can fail the checks, and changes nothing; the real call then acts.
TEST(StubFileCheckOnlyTest, AnswersAsTheRealCallAndChangesNothing) {
  TempDir dir;
  if (!PunchHoleWorks(dir.path())) GTEST_SKIP() << "no punch-hole here";
  ReparseData r = SampleStub();
  r.originalSize = 20000;
  const std::string reparse = tqhsm::FormatReparseText(r);
  ASSERT_EQ(mkdir(dir.file("real").c_str(), 0755), 0);
  ASSERT_EQ(symlink(dir.file("real").c_str(), dir.file("link").c_str()), 0);

  struct Case {
    const char* name;
    int want;
    // Prepares the file and what the caller decided on; returns the path to stub.
    std::function<std::string(const std::string& file, TQHSMLowLevel::Expect& e)> setUp;
  };
  const Case cases[] = {
      {"as decided", 0, [](const std::string& f, TQHSMLowLevel::Expect&) { return f; }},
      {"another inode", TQHSMLowLevel::eStubChanged,
       [](const std::string& f, TQHSMLowLevel::Expect& e) {
         e.ino += 1000000;
         return f;
       }},
      {"written since", TQHSMLowLevel::eStubModified,
       [](const std::string& f, TQHSMLowLevel::Expect& e) {
         e.mtime -= 10;
         return f;
       }},
      {"other size", TQHSMLowLevel::eStubModified,
       [](const std::string& f, TQHSMLowLevel::Expect& e) {
         e.size = 19999;
         return f;
       }},
      {"a link on the way", TQHSMLowLevel::eStubChanged,
       [&dir](const std::string& f, TQHSMLowLevel::Expect&) {
         return dir.file("link") + f.substr(f.rfind('/'));
       }},
  };
  TQHSMLowLevelCtx ctx(0);
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = dir.file("real/f" + std::to_string(n++));
    WritePattern(file, 20000);
    SetTimes(file, 1500000000, 1600000000);
    struct stat st = StatOf(file);
    TQHSMLowLevel::Expect expect;
    expect.dev = st.st_dev;
    expect.ino = st.st_ino;
    expect.bSize = true;
    expect.size = st.st_size;
    expect.bMtime = true;
    expect.mtime = st.st_mtime;
    std::string target = c.setUp(file, expect);
    TQHSMLowLevel* low = ctx.getByFileName(file.c_str());
    ASSERT_NE(low, nullptr);
    FileState before(file);
    EXPECT_EQ(low->stubFile(target.c_str(), reparse.c_str(), 1700000000,
                            TQHSMLowLevel::eStubCheckOnly, expect),
              c.want)
        << low->getLastError();
    EXPECT_TRUE(FileState(file) == before) << "the check changed the file";
    EXPECT_EQ(low->stubFile(target.c_str(), reparse.c_str(), 1700000000, -1, expect), c.want)
        << low->getLastError();
    if (c.want == 0) {
      std::vector<char> attr;
      EXPECT_TRUE(GetStubXattr(file, attr));
      EXPECT_EQ(StatOf(file).st_mtime, 1700000000);
    }
  }

  // A file open elsewhere is refused by both, the same way.
  std::string open = dir.file("real/open");
  WritePattern(open, 20000);
  int fd = ::open(open.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  TQHSMLowLevel* low = ctx.getByFileName(open.c_str());
  FileState before(open);
  EXPECT_EQ(low->stubFile(open.c_str(), reparse.c_str(), -1, TQHSMLowLevel::eStubCheckOnly),
            TQHSMLowLevel::eStubOpen);
  EXPECT_EQ(low->stubFile(open.c_str(), reparse.c_str(), -1, -1), TQHSMLowLevel::eStubOpen);
  ::close(fd);
  EXPECT_TRUE(FileState(open) == before);
}

// --------------------------------------------------------------- PruneStub

namespace {

class DryPruneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    std::unique_ptr<tqhsm::Catalog> c = tqhsm::Catalog::Open(m_dir.file("catalog.db"), error);
    ASSERT_NE(c, nullptr) << error;
    ASSERT_TRUE(c->exec("INSERT INTO parvis VALUES (2, 20);"
                        "INSERT INTO archive_files VALUES (4711, 1, 20, 3, 1);",
                        error))
        << error;
    tqhsm::Catalog::SetShared(std::move(c));
    m_h.reset(new TQHSMHelper(m_args));
    m_h->m_pLowLevelCtx = new TQHSMLowLevelCtx(0);
    m_h->m_rules.m_pArchive = new OBArchive("client", nullptr, true);
    m_h->m_rules.m_pParvisMapper = new ParvisMapper();
    m_h->m_rules.m_bHonorArchiverRetention = true;
    m_h->m_sAppGUID = "app-guid-5";
    m_h->m_nAppId = 5;
    m_h->SetActionObserver(&m_told);
  }
  void TearDown() override { tqhsm::Catalog::SetShared(nullptr); }

  // A real stub of the pruned AF 2:1:4711.
  std::string makeStub(const std::string& name) {
    std::string f = m_dir.file(name);
    WritePattern(f, 20000);
    ReparseData r = SampleStub();
    r.appId = 5;
    std::string why;
    EXPECT_TRUE(MakeStub(f, r, 100, false, &why)) << why;
    return f;
  }

  CaptureLog m_log;
  TempDir m_dir;
  TQHSMHelperInitArgs m_args;
  std::unique_ptr<TQHSMHelper> m_h;
  Recorder m_told;
};

}  // namespace

TEST_F(DryPruneTest, TheStubStaysTheResultIsTheSameAndTheObserverHearsOfIt) {
  if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "no punch-hole here";
  std::string a = makeStub("a");
  std::string b = makeStub("b");
  struct stat seenA = StatOf(a);
  m_h->SetDryRun(true);
  FileState before(a);
  EXPECT_EQ(m_h->PruneStub(a.c_str(), &seenA), 0);  // pruned, as a real run answers
  EXPECT_TRUE(FileState(a) == before);
  const LogLine* line = m_log.find("Would delete stub " + a + ", since its AF has been pruned");
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->level, 0);
  EXPECT_FALSE(m_log.hasText("Deleting stub"));
  // Not the file the scan saw: refused as a real run refuses it.
  EXPECT_EQ(m_h->PruneStub(b.c_str(), &seenA), -1);
  EXPECT_TRUE(FileExists(b));
  ASSERT_EQ(m_told.told.size(), 1u);
  EXPECT_EQ(m_told.told[0].kind, TQHSMAction::eStubDeleted);
  EXPECT_EQ(m_told.told[0].path, a);
  EXPECT_EQ(m_told.told[0].af, "2:1:4711");
  EXPECT_TRUE(m_told.told[0].dryRun);
  EXPECT_EQ(m_told.told[0].error, "");

  m_h->SetDryRun(false);
  EXPECT_EQ(m_h->PruneStub(a.c_str(), &seenA), 0);
  EXPECT_FALSE(FileExists(a));
  ASSERT_EQ(m_told.told.size(), 2u);
  EXPECT_FALSE(m_told.told[1].dryRun);
  EXPECT_EQ(m_told.told[1].af, "2:1:4711");
}

TEST_F(DryPruneTest, ADeleteThatFailsIsToldWithItsReason) {
  if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "no punch-hole here";
  std::string a = makeStub("a");
  class ReadOnlyFs : public tqhsm::HSMStoreWrapper {
   public:
    int unlinkat(int, const char*, int) override {
      errno = EROFS;
      return -1;
    }
  } store;
  tqhsm::ScopedBackend<tqhsm::HSMStore> scope(&store);
  EXPECT_EQ(m_h->PruneStub(a.c_str(), nullptr), 0);
  ASSERT_EQ(m_told.told.size(), 1u);
  EXPECT_EQ(m_told.told[0].error, "Cannot delete " + m_dir.path() + "/a: " + strerror(EROFS));
}

// --------------------------------------------------------------- the re-stubbing pass

namespace {

class FakeIndex : public tqhsm::IndexService {
 public:
  int init(FetchIndexInfo&, const std::string&, uint32_t, uint32_t, uint32_t, uint32_t) override {
    return 0;
  }
  int lookup(FetchIndexInfo&, const std::list<MetaData>& keys,
             FetchIndexInfoSendRes* sink) override {
    FetchIndexInfoResp resp;
    for (size_t i = 0; i < keys.size(); ++i) {
      FInfoRespItem item;
      item.parvisNumber = 2;
      item.copyPrecedence = 1;
      item.afileId = 4711;
      item.found = 1;
      resp.m_lstItems.push_back(item);
    }
    sink->function(&resp);
    return 0;
  }
};

class LiveArchive : public OBArchive {
 public:
  LiveArchive() : OBArchive("client", nullptr, true) {}
  int getAfileCopy(OBA_GetCopyIdByAfileCopyPrec50Req_t&,
                   OBA_GetCopyIdByAfileCopyPrec50Resp_t& resp) override {
    resp.copyId = 1;  // not pruned
    return 0;
  }
};

class DryPassTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(m_dir.file("cache").c_str(), 0755), 0);
    m_args.m_nAppId = 5;
    m_args.m_sCollectFileName = "SC";
  }
  // A helper as Initialize leaves it, its lists named as a run of this mode
  // names them.
  void makeHelper(bool dryRun) {
    m_h = MakeReadyHelper(m_args, m_dir.path());
    if (dryRun) {
      // Initialize names the lists; here they are named the same way.
      m_h->m_stubCollect.DeInitialize();
      m_h->m_tempCollect.DeInitialize();
      unlink(m_dir.file("SC").c_str());
      unlink(m_dir.file("SC_temp").c_str());
      m_h->m_stubCollect.Initialize(m_dir.file("SC.dryrun"));
      m_h->m_stubCollect.SetSeperator('|');
      m_h->m_sTempCollectPath = m_dir.file("SC_temp.dryrun");
      m_h->m_tempCollect.Initialize(m_h->m_sTempCollectPath);
      m_h->m_tempCollect.SetSeperator('|');
    }
    m_h->SetDryRun(dryRun);
    m_h->SetActionObserver(&m_told);
    m_h->m_sAppGUID = "app-guid-5";
    m_h->m_rules.m_sStubCacheLocation = m_dir.file("cache");
    m_h->m_rules.m_pArchive = new LiveArchive();
  }
  // A recalled file with a current cached stub, handed to StubCollectTemp.
  void addFile(const std::string& name) {
    std::string file = m_dir.file(name);
    WritePattern(file, 20000);
    SetTimes(file, 1600000000, 1600000000);
    ReparseData r = SampleStub();
    r.stubGUID = "g-" + name;
    r.appId = 5;
    r.appGUID = "app-guid-5";
    r.originalSize = 20000;
    std::vector<char> bytes = StubBytes(r);
    struct stat st = StatOf(file);
    m_cached = getCacheFname(file.c_str(), &st, m_dir.file("cache"));
    m_dir.write(m_cached.substr(m_dir.path().size() + 1), std::string(bytes.begin(), bytes.end()));
    SetTimes(m_cached, 1600000000, 1600000000);
    ASSERT_TRUE(m_h->AddToTempCollect(file.c_str(), true, st.st_ino, m_cached));
  }

  CaptureLog m_log;
  TempDir m_dir;
  FakeIndex m_index;
  tqhsm::ScopedBackend<tqhsm::IndexService> m_indexScope{&m_index};
  TQHSMHelperInitArgs m_args;
  std::unique_ptr<TQHSMHelper> m_h;
  Recorder m_told;
  std::string m_cached;
};

}  // namespace

TEST_F(DryPassTest, NothingIsReStubbedTheListsAreDryRunListsAndTheObserverHearsOfIt) {
  if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "no punch-hole here";
  makeHelper(true);
  addFile("a");
  std::string file = m_dir.file("a");
  FileState before(file);
  const std::string cachedContent = ReadFile(m_cached);
  PathRecorder fs;
  {
    tqhsm::ScopedBackend<tqhsm::FileSystem> scope(&fs);
    EXPECT_TRUE(m_h->ProcessFilesForReStubbing(nullptr));
    m_h->DeInitialize(0);
  }
  EXPECT_TRUE(FileState(file) == before);
  // The cached stub stays (read, as a real run reads it).
  EXPECT_EQ(ReadFile(m_cached), cachedContent);
  EXPECT_EQ(StatOf(m_cached).st_mtime, 1600000000);
  EXPECT_TRUE(ReadEntries(m_dir.file("SC.dryrun")).empty());  // it would be re-stubbed
  EXPECT_TRUE(m_log.hasText("Would replace '" + file + "' with its stub from StubCache " +
                            m_cached + "."));
  // Every file of the job-results directory it touched is a dry run's.
  for (const std::string& p : fs.paths) {
    bool ours = p.compare(0, m_dir.path().size() + 1, m_dir.path() + "/") == 0 &&
                p.find("/cache/") == std::string::npos;
    if (ours) {
      EXPECT_TRUE(EndsWith(p, ".dryrun")) << p;
    }
  }
  EXPECT_TRUE(fs.paths.count(m_dir.file("SC_temp_temp.dryrun")));
  EXPECT_TRUE(fs.paths.count(m_dir.file("IndexingDump.obf.dryrun")));
  for (const char* left : {"SC_temp.dryrun", "SC_temp_temp.dryrun", "IndexingDump.obf.dryrun"})
    EXPECT_FALSE(FileExists(m_dir.file(left))) << left;
  ASSERT_EQ(m_told.told.size(), 1u);
  EXPECT_EQ(m_told.told[0].kind, TQHSMAction::eFileReStubbed);
  EXPECT_EQ(m_told.told[0].path, file);
  EXPECT_EQ(m_told.told[0].cachedStub, m_cached);
  EXPECT_EQ(m_told.told[0].af, "2:1:4711");
  EXPECT_TRUE(m_told.told[0].dryRun);
}

TEST_F(DryPassTest, AFileThatChangedWouldBeArchivedAsInARealRun) {
  if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "no punch-hole here";
  makeHelper(true);
  addFile("a");
  std::string file = m_dir.file("a");
  WritePattern(file, 20000);  // written after the decision: a real run refuses it
  EXPECT_TRUE(m_h->ProcessFilesForReStubbing(nullptr));
  m_h->DeInitialize(0);
  EXPECT_EQ(ReadEntries(m_dir.file("SC.dryrun")),
            std::vector<std::string>{file + ":" + std::to_string(StatOf(file).st_ino)});
  EXPECT_TRUE(m_told.told.empty());
}

TEST_F(DryPassTest, ARealPassReStubsAndTellsTheObserver) {
  if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "no punch-hole here";
  makeHelper(false);
  addFile("a");
  EXPECT_TRUE(m_h->ProcessFilesForReStubbing(nullptr));
  std::vector<char> attr;
  EXPECT_TRUE(GetStubXattr(m_dir.file("a"), attr));
  EXPECT_FALSE(FileExists(m_cached));
  ASSERT_EQ(m_told.told.size(), 1u);
  EXPECT_FALSE(m_told.told[0].dryRun);
  EXPECT_EQ(m_told.told[0].af, "2:1:4711");
}

// --------------------------------------------------------------- Initialize

TEST(DryInitializeTest, TheListsGetTheSuffixAndTheUsualNamesAreLeftAlone) {
  TempDir dir;
  ScopedConfig config("[Subclient 5]\nHighFreeSpace = 30\nLowFreeSpace = 10\nRulesFlag = 0\n"
                      "[Catalog]\nPath = " + dir.file("catalog.db") + "\n");
  CaptureLog log;
  // A real run's lists from before: a dry run must not empty them.
  dir.write("StubCollect", "|/data/a:1|0|\n");
  dir.write("StubCollect_temp", "|/data/b:2|/cache/x|0|\n");
  TQHSMHelperInitArgs args;
  args.m_sJobResultsDir = dir.path();
  args.m_sCollectFileName = "StubCollect";
  TQHSMHelper h(args);
  h.SetDryRun(true);
  ASSERT_EQ(h.Initialize(1, 5, 0), 1);
  EXPECT_EQ(h.m_sTempCollectPath, dir.file("StubCollect_temp.dryrun"));
  EXPECT_EQ(h.AddToCollect("/data/c", true, 3), 1);
  EXPECT_TRUE(h.ProcessFilesForReStubbing(nullptr));
  h.DeInitialize(0);
  EXPECT_EQ(ReadFile(dir.file("StubCollect.dryrun")), "|/data/c:3|0|\n");
  EXPECT_EQ(ReadFile(dir.file("StubCollect")), "|/data/a:1|0|\n");
  EXPECT_EQ(ReadFile(dir.file("StubCollect_temp")), "|/data/b:2|/cache/x|0|\n");
  EXPECT_FALSE(FileExists(dir.file("StubCollect_temp.dryrun")));
}

// --------------------------------------------------------------- watching

namespace {

class CountingSession : public CObNetwork {
 public:
  CZoError SendXDRMessage(int, obsDatabuf_v2&, int, int, bool&) override {
    ++sends;
    return CZoError::Success();
  }
  int sends = 0;
};

}  // namespace

TEST(DryWatchTest, TheListsAreReadNotWrittenAndTheAnswersAreARealRunsOnes) {
  TempDir tmp;
  ScopedConfig config("[HSM]\nStateDirectory = " + tmp.path() + "/state\n[Client]\nName = host1\n");
  CaptureLog log;
  std::string vol = tmp.file("vol");
  std::string old = tmp.file("old");
  ASSERT_EQ(mkdir(vol.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(old.c_str(), 0755), 0);
  TQHSMHelperInitArgs args;
  {
    // What earlier runs left: old is watched and recorded.
    TQHSMHelper real(args);
    real.m_pLowLevelCtx = new TQHSMLowLevelCtx(0);
    std::string error;
    ASSERT_TRUE(real.startWatchingVolume(old.c_str(), error)) << error;
  }
  const std::string watched = ReadFile(tmp.file("state/watched_dirs"));
  const std::string trees = ReadFile(tmp.file("state/migrated_trees"));
  ASSERT_NE(watched, "");

  TQHSMHelper h(args);
  h.m_pLowLevelCtx = new TQHSMLowLevelCtx(0);
  h.SetDryRun(true);
  std::string error;
  EXPECT_TRUE(h.startWatchingVolume(vol.c_str(), error)) << error;
  EXPECT_TRUE(h.startWatchingVolume(old.c_str(), error)) << error;
  // vol would be newly watched, old is watched already: as a real run lists them.
  EXPECT_EQ(h.m_lstNewHSMMountPoints, std::list<std::string>{vol});
  EXPECT_TRUE(log.hasText("Would start watching dir tree " + vol + " and record " + vol +
                          " as migrated"));
  EXPECT_TRUE(log.hasText("Would record " + old + " as migrated"));
  EXPECT_EQ(h.CleanupNewHSMMountPoints(), 1);
  EXPECT_TRUE(log.hasText("Would take '" + vol + "' off the watch list again"));
  EXPECT_EQ(ReadFile(tmp.file("state/watched_dirs")), watched);
  EXPECT_EQ(ReadFile(tmp.file("state/migrated_trees")), trees);

  // A remote client's service is not asked.
  TQHSMHelperInitArgs remoteArgs;
  remoteArgs.m_nRemoteClientId = 9;
  TQHSMHelper remote(remoteArgs);
  CountingSession* session = new CountingSession();
  remote.m_pSession = session;  // owned by the helper
  remote.m_sRemoteClientName = "nas9";
  remote.SetDryRun(true);
  EXPECT_TRUE(remote.startWatchingVolume("/export/data", error));
  EXPECT_EQ(session->sends, 0);
  EXPECT_TRUE(log.hasText("Would ask the HSM service of client nas9 to watch /export/data"));
}

// --------------------------------------------------------------- an ended run

// A run that ends before the re-stubbing pass (interrupted) leaves no
// StubCollectTemp, even an empty one.
TEST(EndedRunTest, AnEmptyStubCollectTempOfAPassThatNeverRanIsRemoved) {
  TempDir dir;
  CaptureLog log;
  TQHSMHelperInitArgs args;
  std::unique_ptr<TQHSMHelper> h = MakeReadyHelper(args, dir.path());
  ASSERT_TRUE(FileExists(dir.file("StubCollect_temp")));
  EXPECT_EQ(h->DeInitialize(1), 1);
  EXPECT_FALSE(FileExists(dir.file("StubCollect_temp")));
  EXPECT_FALSE(log.hasText("The re-stubbing pass did not run"));
}
