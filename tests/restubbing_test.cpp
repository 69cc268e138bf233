#include <gtest/gtest.h>

#include <functional>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "CaptureLog.h"
#include "FaultyFileSystem.h"
#include "FetchIndexInfo.h"
#include "FileUtf.h"
#include "HSMStore.h"
#include "HelperSetup.h"
#include "MyIndexInfoResp.h"
#include "StubFiles.h"
#include "TempDir.h"

using namespace tqhsm::test;
using tqhsm::test::FaultyFileSystem;

namespace {

const char* kTag = "TQHSMHelper::ProcessFileForReStubbing";

// The index: answers by stub GUID; can fail init or lookup, or drop the last answer.
class FakeIndex : public tqhsm::IndexService {
 public:
  int init(FetchIndexInfo&, const std::string& name, uint32_t arg1, uint32_t appId, uint32_t arg3,
           uint32_t arg4) override {
    initArgs = name + ":" + std::to_string(arg1) + ":" + std::to_string(appId) + ":" +
               std::to_string(arg3) + ":" + std::to_string(arg4);
    return failInit ? -1 : 0;
  }
  int lookup(FetchIndexInfo& client, const std::list<MetaData>& keys,
             FetchIndexInfoSendRes* sink) override {
    ++lookups;
    flags = client.initFlags();
    if (failLookup) return -1;
    FetchIndexInfoResp resp;
    for (const MetaData& k : keys) {
      kinds.push_back(k.m_nKind);
      auto it = answers.find(k.m_sKey);
      FInfoRespItem item;
      if (it != answers.end()) item = it->second;
      resp.m_lstItems.push_back(item);
    }
    if (dropLast && !resp.m_lstItems.empty()) resp.m_lstItems.pop_back();
    if (duringLookup) duringLookup();
    sink->function(&resp);
    return 0;
  }
  std::map<std::string, FInfoRespItem> answers;
  bool failInit = false;
  bool failLookup = false;
  bool dropLast = false;
  std::function<void()> duringLookup;  // between the reading and the re-stubbing
  int lookups = 0;
  uint32_t flags = 0;
  std::vector<uint32_t> kinds;
  std::string initArgs;
};

class FakeArchive : public OBArchive {
 public:
  FakeArchive() : OBArchive("client", nullptr, true) {}
  int getAfileCopy(OBA_GetCopyIdByAfileCopyPrec50Req_t& req,
                   OBA_GetCopyIdByAfileCopyPrec50Resp_t& resp) override {
    ++calls;
    if (failing.count(req.afileId)) return 5;
    resp.copyId = pruned.count(req.afileId) ? 0 : 1;
    return 0;
  }
  std::set<uint64_t> pruned;
  std::set<uint64_t> failing;
  int calls = 0;
};

FInfoRespItem Answer(uint32_t parvis, uint32_t copy, uint32_t afile, uint8_t found) {
  FInfoRespItem i;
  i.parvisNumber = parvis;
  i.copyPrecedence = copy;
  i.afileId = afile;
  i.found = found;
  return i;
}

class ReStubbingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(m_dir.file("cache").c_str(), 0755), 0);
    m_args.m_nAppId = 5;
    m_args.m_sIndexInitName = "idx";
    m_args.m_nIndexInitArg = 3;
    m_h = MakeReadyHelper(m_args, m_dir.path());
    m_h->m_sAppGUID = "app-guid-5";
    m_h->m_rules.m_sStubCacheLocation = m_dir.file("cache");
    m_archive = new FakeArchive();
    m_h->m_rules.m_pArchive = m_archive;
    m_temp = m_h->m_sTempCollectPath;
    m_collect = m_dir.file("StubCollect");
  }

  // A recalled file with its cached stub; returns the temp entry.
  std::string addFile(const std::string& name, const std::string& guid, uint64_t appId = 5,
                      const std::string& appGUID = "app-guid-5", uint32_t afile = 4711) {
    std::string file = m_dir.file(name);
    WritePattern(file, 20000);
    SetTimes(file, 1600000000, 1600000000);  // what made the cached stub current
    ReparseData r = SampleStub();
    r.stubGUID = guid;
    r.appId = appId;
    r.appGUID = appGUID;
    r.afileId = afile;
    r.originalSize = 20000;
    std::vector<char> bytes = StubBytes(r);
    struct stat st = StatOf(file);
    std::string cachedPath = getCacheFname(file.c_str(), &st, m_dir.file("cache"));
    std::string cached = m_dir.write(cachedPath.substr(m_dir.path().size() + 1),
                                     std::string(bytes.begin(), bytes.end()));
    SetTimes(cached, 1600000000, 1600000000);
    m_cached[name] = cached;
    m_index.answers[guid] = Answer(2, 1, afile, 1);
    std::string entry = file + ":" + std::to_string(StatOf(file).st_ino) + "|" + cached;
    return entry;
  }
  void addTemp(const std::string& entry) {
    ASSERT_NE(m_h->m_tempCollect.AddToCollectFile(entry, true, true, 0), 0);
  }
  bool run() {
    bool ok = m_h->ProcessFilesForReStubbing("unused");
    m_h->m_stubCollect.DeInitialize();
    EXPECT_EQ(m_h->m_pIndexResp, nullptr);
    return ok;
  }
  // Nothing the pass writes for itself may outlive it.
  void expectNoLeftovers() {
    EXPECT_FALSE(FileExists(m_temp));
    EXPECT_FALSE(FileExists(m_temp + "_temp"));
    EXPECT_FALSE(FileExists(m_dir.file("IndexingDump.obf")));
  }
  bool isStub(const std::string& name) {
    std::vector<char> v;
    return GetStubXattr(m_dir.file(name), v);
  }

  CaptureLog m_log;
  TempDir m_dir;
  FakeIndex m_index;
  tqhsm::ScopedBackend<tqhsm::IndexService> m_indexScope{&m_index};
  TQHSMHelperInitArgs m_args;
  std::unique_ptr<TQHSMHelper> m_h;
  FakeArchive* m_archive;
  std::string m_temp;
  std::string m_collect;
  std::map<std::string, std::string> m_cached;  // file name -> its cached stub
  std::string cached(const std::string& name) { return m_cached[name]; }
};

}  // namespace

TEST_F(ReStubbingTest, DisabledPassTouchesNothing) {
  addTemp(addFile("a", "g-a"));
  m_h->m_bReStubbingEnabled = false;
  EXPECT_FALSE(run());
  EXPECT_TRUE(FileExists(m_temp));
  EXPECT_EQ(m_index.lookups, 0);
}

TEST_F(ReStubbingTest, EmptyTempFileIsDeletedWithoutLookup) {
  EXPECT_TRUE(run());
  expectNoLeftovers();
  EXPECT_EQ(m_index.lookups, 0);
}

TEST_F(ReStubbingTest, CurrentCachedStubWithLiveUnprunedAFIsPutBack) {
  if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "no punch-hole here";
  addTemp(addFile("a", "g-a"));
  addTemp(addFile("b", "g-b"));
  m_h->m_bUseNativeSnap = true;

  EXPECT_TRUE(run());
  EXPECT_TRUE(isStub("a"));
  EXPECT_TRUE(isStub("b"));
  EXPECT_EQ(StatOf(m_dir.file("a")).st_mtime, 1600000001);  // the cached stub's time + 1
  EXPECT_FALSE(FileExists(cached("a")));
  EXPECT_FALSE(FileExists(cached("b")));
  EXPECT_TRUE(ReadEntries(m_collect).empty());
  expectNoLeftovers();
  EXPECT_EQ(m_archive->calls, 1);  // one AF, asked once
  EXPECT_EQ(m_index.lookups, 1);
  EXPECT_EQ(m_index.flags & 0x851u, 0x851u);
  EXPECT_EQ(m_index.initArgs, "idx:3:5:0:0");
  EXPECT_EQ(m_index.kinds, (std::vector<uint32_t>{0x85ED33A1u, 0x85ED33A1u}));
  // Both files lie on one mount: it is listed once.
  ASSERT_EQ(m_h->m_lstRestubMountPoints.size(), 1u);
  EXPECT_EQ(m_log.breaks, std::vector<std::string>{"/tmp/ReStubbing.sleep"});
  EXPECT_TRUE(m_log.has(kTag, "Found cached stub " + cached("a") + " for " +
                                  m_dir.file("a") + " and its AF is not pruned."));
}

TEST_F(ReStubbingTest, ForeignOrUnreadableCachedStubsGoToStubCollect) {
  std::string good = addFile("good", "g-good");
  std::string otherGuid = addFile("guid", "g-1", 5, "app-guid-9");
  std::string otherApp = addFile("app", "g-2", 6, "app-guid-5");
  std::string unreadable = m_dir.file("gone") + ":77|" + m_dir.file("cache/none");
  for (const std::string& e : {otherGuid, otherApp, unreadable, good}) addTemp(e);
  m_archive->pruned.insert(4711);  // the kept one is then collected too

  EXPECT_TRUE(run());
  std::vector<std::string> collected = ReadEntries(m_collect);
  ASSERT_EQ(collected.size(), 4u);
  EXPECT_EQ(collected[3], m_dir.file("good") + ":" +
                              std::to_string(StatOf(m_dir.file("good")).st_ino));
  EXPECT_EQ(collected[2], m_dir.file("gone") + ":77");
  EXPECT_TRUE(m_log.has(kTag, "AppGUID[=app-guid-9] in stub in stub_cache is different than "
                              "current AppGUID[=app-guid-5], adding [" +
                                  m_dir.file("guid") + "] to StubCollect"));
  EXPECT_TRUE(m_log.has(kTag, "AppId[=6] in stub in stub cache is different than current "
                              "AppId[=5], adding [" +
                                  m_dir.file("app") + "] to StubCollect"));
  EXPECT_TRUE(m_log.has(kTag, "Failed to extract GUID and AppId from cached stub [" +
                                  m_dir.file("cache/none") + "], adding [" + m_dir.file("gone") +
                                  "] to StubCollect"));
  EXPECT_TRUE(m_log.has(kTag, "Found cached stub " + cached("good") + " for " +
                                  m_dir.file("good") + " but its AF is pruned."));
  for (const char* c : {"guid", "app", "good"}) EXPECT_FALSE(FileExists(cached(c))) << c;
  EXPECT_FALSE(isStub("good"));
  expectNoLeftovers();
}

TEST_F(ReStubbingTest, EmptyHelperGUIDLeavesTheDecisionToTheAppId) {
  m_h->m_sAppGUID = "";
  addTemp(addFile("a", "g-a", 5, "someone-else"));
  addTemp(addFile("b", "g-b", 6, "app-guid-5"));
  m_index.answers["g-a"].found = 0;  // kept, then skipped as erased
  EXPECT_TRUE(run());
  EXPECT_EQ(ReadEntries(m_collect).size(), 1u);  // only b, for its app id
  EXPECT_TRUE(m_log.has(kTag, "Skipping erased file : " + m_dir.file("a") + "."));
  EXPECT_TRUE(FileExists(cached("a")));
}

TEST_F(ReStubbingTest, AllRecordsRejectedMeansNothingToReStub) {
  addTemp(addFile("a", "g-a", 9));
  addTemp(addFile("b", "g-b", 9));
  EXPECT_FALSE(run());
  EXPECT_TRUE(m_log.has(kTag, "Nothing to re-stub."));
  EXPECT_EQ(ReadEntries(m_collect).size(), 2u);
  EXPECT_EQ(m_index.lookups, 0);
  expectNoLeftovers();
}

TEST_F(ReStubbingTest, MalformedRecordSendsEveryRecordToStubCollect) {
  struct Case {
    std::string entry;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"", "ReStubbing collect file seems empty, adding all to StubCollect"},
      {"/fs/a:12", "ReStubbing collect file seems corrupt, adding all to StubCollect"},
      {"/fs/a:12|", "StubCache file name not found in ReStubbing collect file, adding all to "
                    "StubCollect"},
      {":12|/cache/x", "File name not found in ReStubbing collect file, adding all to StubCollect"},
      {"/fs/a:0|/cache/x", "Inode not found in ReStubbing collect file, adding all to StubCollect"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("cache").c_str(), 0755), 0);
    TQHSMHelperInitArgs args;
    args.m_nAppId = 5;
    auto h = MakeReadyHelper(args, dir.path());
    h->m_sAppGUID = "app-guid-5";
    m_log.clear();
    // A foreign record first (collected in phase 1), the bad one, then a good one.
    std::vector<char> bytes = StubBytes(SampleStub());
    std::string cached = dir.write("cache/f", std::string(bytes.begin(), bytes.end()));
    h->m_tempCollect.AddToCollectFile("/fs/foreign:5|" + dir.file("cache/none"), true, true, 0);
    h->m_tempCollect.AddToCollectFile(c.entry, true, true, 0);
    h->m_tempCollect.AddToCollectFile("/fs/good:6|" + cached, true, true, 0);

    EXPECT_FALSE(h->ProcessFilesForReStubbing(nullptr));
    h->m_stubCollect.DeInitialize();
    EXPECT_TRUE(m_log.has(kTag, c.message));
    std::vector<std::string> collected = ReadEntries(dir.file("StubCollect"));
    // The foreign one twice (phase 1, then the fall-back), and the good one; the
    // bad one only when it still names a file and an inode.
    EXPECT_GE(collected.size(), 3u);
    EXPECT_EQ(collected.front(), "/fs/foreign:5");
    EXPECT_EQ(collected.back(), "/fs/good:6");
    EXPECT_FALSE(FileExists(h->m_sTempCollectPath));
    EXPECT_FALSE(FileExists(h->m_sTempCollectPath + "_temp"));
    EXPECT_TRUE(FileExists(cached));
    EXPECT_EQ(m_index.lookups, 0);
  }
}

struct IndexFailure {
  const char* name;
  void (*arrange)(FakeIndex&);
  const char* message;
};

// Keeps gtest from printing the record's raw bytes into the test names.
void PrintTo(const IndexFailure& f, std::ostream* os) { *os << f.name; }

class IndexFailureTest : public ReStubbingTest,
                         public ::testing::WithParamInterface<IndexFailure> {};

TEST_P(IndexFailureTest, KeptRecordsGoToStubCollect) {
  addTemp(addFile("a", "g-a"));
  addTemp(addFile("b", "g-b"));
  GetParam().arrange(m_index);
  EXPECT_FALSE(run());
  EXPECT_TRUE(m_log.hasText(GetParam().message));
  EXPECT_EQ(ReadEntries(m_collect).size(), 2u);
  EXPECT_TRUE(FileExists(cached("a")));
  expectNoLeftovers();
}

INSTANTIATE_TEST_SUITE_P(
    Index, IndexFailureTest,
    ::testing::Values(
        IndexFailure{"init", [](FakeIndex& i) { i.failInit = true; },
                     "FetchIndexInfo::init() failed."},
        IndexFailure{"lookup", [](FakeIndex& i) { i.failLookup = true; },
                     "FetchIndexInfo::lookup() failed."},
        IndexFailure{"short", [](FakeIndex& i) { i.dropLast = true; },
                     "Index returned [1] results, whereas [2] were queried, adding all to "
                     "StubCollect"}),
    [](const ::testing::TestParamInfo<IndexFailure>& info) { return std::string(info.param.name); });

// Re-stubbing one file: only the file the scan decided on, unchanged since,
// is punched; anything else keeps its data and is archived again (or, when it
// is open, left for the next scan).
struct ReStubCase {
  const char* name;
  // Changes the file (or its cached stub) between the walk and the pass.
  void (*change)(ReStubbingTest& t, const std::string& file, const std::string& cached);
  bool collected;
  int level;            // of the message naming the reason; -1: an Error line
  const char* message;  // its start, after the file name
};
void PrintTo(const ReStubCase& c, std::ostream* os) { *os << c.name; }

class ReStubOneFileTest : public ReStubbingTest, public ::testing::WithParamInterface<ReStubCase> {
 public:
  static void writeCached(const std::string& cached, uint64_t originalSize) {
    ReparseData r = SampleStub();
    r.stubGUID = "g-a";
    r.originalSize = originalSize;
    std::vector<char> bytes = StubBytes(r);
    FILE* f = fopen(cached.c_str(), "w");
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    SetTimes(cached, 1600000000, 1600000000);
  }
};

TEST_P(ReStubOneFileTest, OnlyTheFileDecidedOnIsReStubbed) {
  if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "no punch-hole here";
  const ReStubCase& c = GetParam();
  addTemp(addFile("a", "g-a"));
  std::string file = m_dir.file("a");
  c.change(*this, file, cached("a"));
  std::string before = FileExists(file) ? ReadFile(file) : "";
  int holder = -1;
  if (std::string(c.name) == "open in another process") holder = ::open(file.c_str(), O_RDONLY);

  EXPECT_TRUE(run());
  if (holder >= 0) ::close(holder);
  bool unchanged = std::string(c.name) == "unchanged";
  EXPECT_EQ(ReadEntries(m_collect).size(), c.collected ? 1u : 0u);
  EXPECT_EQ(isStub("a"), unchanged);
  EXPECT_EQ(FileExists(cached("a")), !unchanged);
  const LogLine* line = nullptr;
  for (const LogLine& l : m_log.lines)
    if (l.text.find(c.message) != std::string::npos) line = &l;
  ASSERT_NE(line, nullptr) << c.message;
  EXPECT_EQ(line->tag, kTag);
  if (c.level < 0) {
    EXPECT_EQ(line->kind, tqhsm::LogKind::Error);
  } else {
    EXPECT_EQ(line->kind, tqhsm::LogKind::Debug);
    EXPECT_EQ(line->level, c.level);
  }
  if (!unchanged) {
    EXPECT_EQ(FileExists(file) ? ReadFile(file) : "", before);  // its data are its own
  }
}

// The device and inode of the cached stub's name are what the scan decided
// on; a name that does not name the entry's inode is never used.
TEST_F(ReStubbingTest, CachedStubThatDoesNotNameTheFileIsNotUsed) {
  addFile("a", "g-a");
  std::string file = m_dir.file("a");
  struct stat st = StatOf(file);
  std::string content = ReadFile(cached("a"));
  st.st_ino += 1;
  std::string otherInode = getCacheFname(file.c_str(), &st, m_dir.file("cache"));
  std::string plainName = m_dir.file("cache/plain-name");
  for (const std::string& c : {otherInode, plainName}) {
    m_dir.write(c.substr(m_dir.path().size() + 1), content);
    SetTimes(c, 1600000000, 1600000000);
    addTemp(file + ":" + std::to_string(StatOf(file).st_ino) + "|" + c);
  }
  std::string before = ReadFile(file);
  EXPECT_TRUE(run());
  EXPECT_EQ(ReadEntries(m_collect).size(), 2u);
  EXPECT_FALSE(isStub("a"));
  EXPECT_EQ(ReadFile(file), before);
  for (const std::string& c : {otherInode, plainName}) {
    const LogLine* line = m_log.find("Not re-stubbing " + file + ": the cached stub " + c +
                                     " does not name its inode " +
                                     std::to_string(StatOf(file).st_ino) +
                                     "; adding it to StubCollect");
    ASSERT_NE(line, nullptr) << c;
    EXPECT_EQ(line->level, 2);
    EXPECT_TRUE(FileExists(c));
  }
}

// A cached stub is deleted only inside the stub cache, and only a regular
// file: an entry naming a file elsewhere never has it deleted.
TEST_F(ReStubbingTest, OnlyCachedStubsInTheStubCacheAreDeleted) {
  addFile("a", "g-a", 9);  // another app id: collected, its cached stub deleted
  ASSERT_EQ(mkdir(m_dir.file("elsewhere").c_str(), 0755), 0);
  std::string outside = m_dir.write("elsewhere/" + cached("a").substr(cached("a").rfind('/') + 1),
                                    ReadFile(cached("a")));
  std::string file = m_dir.file("a");
  addTemp(file + ":" + std::to_string(StatOf(file).st_ino) + "|" + outside);
  addTemp(file + ":" + std::to_string(StatOf(file).st_ino) + "|" + cached("a"));
  EXPECT_FALSE(run());  // nothing kept: "Nothing to re-stub."
  EXPECT_TRUE(FileExists(outside));
  EXPECT_FALSE(FileExists(cached("a")));
  EXPECT_TRUE(m_log.has(kTag, "Cached stub " + outside + " not deleted: " + outside +
                                  " is not in the stub cache " + m_dir.file("cache") + "."));
}

// A file gets the stub data whose GUID the index was asked about: a cached
// stub replaced while the index answers is neither used nor deleted.
TEST_F(ReStubbingTest, CachedStubReplacedDuringTheLookupIsNeitherUsedNorDeleted) {
  if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "no punch-hole here";
  addTemp(addFile("a", "g-a"));
  std::string replacement;
  m_index.duringLookup = [&] {
    ReparseData r = SampleStub();
    r.stubGUID = "g-replaced";
    r.appId = 5;
    r.appGUID = "app-guid-5";
    r.originalSize = 20000;
    std::vector<char> bytes = StubBytes(r);
    replacement = m_dir.write("new-stub", std::string(bytes.begin(), bytes.end()));
    SetTimes(replacement, 1600000000, 1600000000);
    ASSERT_EQ(rename(replacement.c_str(), cached("a").c_str()), 0);
  };
  EXPECT_TRUE(run());
  ASSERT_TRUE(isStub("a"));
  std::vector<char> value;
  ASSERT_TRUE(GetStubXattr(m_dir.file("a"), value));
  ReparseData onFile;
  ASSERT_NE(ParseStubData(value, onFile), 0);
  EXPECT_EQ(onFile.stubGUID, "g-a");
  ASSERT_TRUE(FileExists(cached("a")));
  EXPECT_NE(ReadFile(cached("a")).find("g-replaced"), std::string::npos);
  bool told = false;
  for (const std::string& t : m_log.texts(kTag))
    told = told || t.rfind("Cached stub " + cached("a") + " not deleted: ", 0) == 0;
  EXPECT_TRUE(told);
  expectNoLeftovers();
}

// A link in the stub cache is not read through: whatever it points to is not
// this file's cached stub. The file is archived again; the target stays.
TEST_F(ReStubbingTest, LinkInTheStubCacheIsNotFollowed) {
  std::string entry = addFile("a", "g-a");
  std::string target = m_dir.write("target", ReadFile(cached("a")));
  SetTimes(target, 1600000000, 1600000000);
  ASSERT_EQ(unlink(cached("a").c_str()), 0);
  ASSERT_EQ(symlink(target.c_str(), cached("a").c_str()), 0);
  addTemp(entry);
  EXPECT_FALSE(run());  // nothing kept
  EXPECT_FALSE(isStub("a"));
  EXPECT_EQ(ReadEntries(m_collect).size(), 1u);
  EXPECT_TRUE(FileExists(target));
  expectNoLeftovers();
}

// What phase 1 holds for phase 3 is bounded; the records beyond it are read
// again, and every file is re-stubbed all the same.
TEST_F(ReStubbingTest, ReadsBeyondWhatIsHeldAreMadeAgain) {
  if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "no punch-hole here";
  const int files = 80;  // cached stubs of 64 KiB: more than 4 MiB in all
  for (int i = 0; i < files; ++i) {
    std::string name = "f" + std::to_string(i);
    addTemp(addFile(name, "g-" + name));
    std::string padded = ReadFile(cached(name));
    padded.resize(65536, '\0');
    int fd = open(cached(name).c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    std::string pad = padded.substr(ReadFile(cached(name)).size());
    ASSERT_EQ(write(fd, pad.data(), pad.size()), static_cast<ssize_t>(pad.size()));
    close(fd);
    SetTimes(cached(name), 1600000000, 1600000000);
  }
  class CountingCacheOpens : public tqhsm::FileSystemWrapper {
   public:
    int open(const char* path, int flags, mode_t mode) override {
      if (std::string(path).find("/cache/") != std::string::npos) ++opens;
      return FileSystemWrapper::open(path, flags, mode);
    }
    int opens = 0;
  } fs;
  {
    tqhsm::ScopedBackend<tqhsm::FileSystem> scope(&fs);
    EXPECT_TRUE(run());
  }
  // Some were read once, some twice.
  EXPECT_GT(fs.opens, files);
  EXPECT_LT(fs.opens, 2 * files);
  for (int i = 0; i < files; ++i) {
    std::string name = "f" + std::to_string(i);
    EXPECT_TRUE(isStub(name)) << name;
    EXPECT_FALSE(FileExists(cached(name))) << name;
  }
  EXPECT_TRUE(ReadEntries(m_collect).empty());
  expectNoLeftovers();
}

INSTANTIATE_TEST_SUITE_P(
    ReStub, ReStubOneFileTest,
    ::testing::Values(
        ReStubCase{"unchanged", [](ReStubbingTest&, const std::string&, const std::string&) {},
                   false, 3, "with corresponsding stub from StubCache."},
        ReStubCase{"rewritten, same size",
                   [](ReStubbingTest&, const std::string& f, const std::string&) {
                     WritePattern(f + ".new", 20000);
                     std::string data = ReadFile(f + ".new");
                     std::reverse(data.begin(), data.end());
                     FILE* out = fopen(f.c_str(), "r+");
                     fwrite(data.data(), 1, data.size(), out);
                     fclose(out);
                   },
                   true, 2, " changed after the scan decided: its modification time is "},
        ReStubCase{"cached stub of another size",
                   [](ReStubbingTest&, const std::string&, const std::string& cached) {
                     ReStubOneFileTest::writeCached(cached, 12345);
                   },
                   true, 2, " changed after the scan decided: its size is 20000 bytes, not 12345"},
        ReStubCase{"another file in its place",
                   [](ReStubbingTest&, const std::string& f, const std::string&) {
                     WritePattern(f + ".other", 20000);
                     SetTimes(f + ".other", 1600000000, 1600000000);
                     rename((f + ".other").c_str(), f.c_str());
                   },
                   true, 1, " changed under the scan: it is inode "},
        ReStubCase{"a link in its place",
                   [](ReStubbingTest&, const std::string& f, const std::string&) {
                     rename(f.c_str(), (f + ".moved").c_str());
                     symlink((f + ".moved").c_str(), f.c_str());
                   },
                   true, 1, " changed under the scan: A symbolic link is in the path of "},
        ReStubCase{"open in another process",
                   [](ReStubbingTest&, const std::string&, const std::string&) {}, false, -1,
                   " is open in another process."}),
    [](const ::testing::TestParamInfo<ReStubCase>& info) {
      std::string n;
      for (const char* p = info.param.name; *p; ++p) n += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      return n;
    });

TEST(IndexDumpTest, OneLinePerAnswerAppended) {
  TempDir dir;
  std::string dump = dir.write("IndexingDump.obf", "9:9:9:1\n");
  {
    MyIndexInfoResp sink(dump.c_str());
    FetchIndexInfoResp resp;
    resp.m_lstItems = {Answer(2, 1, 4711, 1), Answer(0, 0, 0, 0), Answer(4294967295u, 1, 2, 255)};
    EXPECT_EQ(sink.function(&resp), 0);
  }
  EXPECT_EQ(ReadFile(dump), "9:9:9:1\n2:1:4711:1\n0:0:0:0\n4294967295:1:2:255\n");
  MyIndexInfoResp nowhere(dir.file("no/such/dir/dump").c_str());
  FetchIndexInfoResp resp;
  resp.m_lstItems = {Answer(1, 1, 1, 1)};
  EXPECT_EQ(nowhere.function(&resp), 0);
}

TEST_F(ReStubbingTest, RewriteFileThatCannotBeWrittenLosesNoRecord) {
  addTemp(addFile("a", "g-a"));
  addTemp(addFile("b", "g-b"));
  FaultyFileSystem fs;
  fs.failAt(FaultyFileSystem::eFallocate, 1, ENOSPC, true, 0, "_temp_temp");
  tqhsm::ScopedBackend<tqhsm::FileSystem> scope(&fs);
  EXPECT_FALSE(run());
  EXPECT_TRUE(m_log.has(kTag, "Could not write the re-stubbing rewrite file, adding all to "
                              "StubCollect"));
  EXPECT_EQ(ReadEntries(m_collect).size(), 2u);
  expectNoLeftovers();
  EXPECT_EQ(m_index.lookups, 0);
  EXPECT_EQ(m_h->TempCandidatesLost(), 0u);
}

// Failures of the pass's own files: every record still ends in StubCollect,
// the pass answers false, and it leaves nothing of its own behind.
struct PassFault {
  const char* name;
  FaultyFileSystem::Op op;
  const char* match;
  int err;
  const char* message;
};

void PrintTo(const PassFault& f, std::ostream* os) { *os << f.name; }

class PassFaultTest : public ReStubbingTest, public ::testing::WithParamInterface<PassFault> {};

TEST_P(PassFaultTest, EveryRecordEndsInStubCollect) {
  const PassFault& f = GetParam();
  addTemp(addFile("a", "g-a"));
  addTemp(addFile("b", "g-b"));
  FaultyFileSystem fs;
  fs.failAt(f.op, 1, f.err, true, 0, f.match);
  tqhsm::ScopedBackend<tqhsm::FileSystem> scope(&fs);
  EXPECT_FALSE(run());
  EXPECT_GT(fs.fired(f.op), 0);
  bool logged = false;
  for (const LogLine& l : m_log.lines) logged |= l.text.find(f.message) != std::string::npos;
  EXPECT_TRUE(logged) << f.message;
  std::vector<std::string> collected = ReadEntries(m_collect);
  EXPECT_EQ(collected.size(), 2u);
  EXPECT_EQ(m_h->m_ulFilesCollected, collected.size());
  EXPECT_FALSE(isStub("a"));
  EXPECT_EQ(m_h->TempCandidatesLost(), 0u);
  fs.failAt(f.op, 0, 0);
  expectNoLeftovers();
}

INSTANTIATE_TEST_SUITE_P(
    Files, PassFaultTest,
    ::testing::Values(
        // StubCollectTemp cannot be closed whole at the start of the pass.
        PassFault{"TempSyncFails", FaultyFileSystem::eFsync, "StubCollect_temp", EIO,
                  "ReStubbing collect file"},
        PassFault{"TempCloseFails", FaultyFileSystem::eClose, "StubCollect_temp", EIO,
                  "ReStubbing collect file"},
        // The kept records cannot take StubCollectTemp's place.
        PassFault{"RenameFails", FaultyFileSystem::eRename, "_temp_temp", EXDEV,
                  "adding all to StubCollect"},
        // The index answers cannot be stored.
        // (The fake index goes on after a sink refused a batch; the sink
        // still says the answers are not whole.)
        PassFault{"DumpWriteFails", FaultyFileSystem::eWrite, "IndexingDump.obf", ENOSPC,
                  "The index answers could not be written to"},
        PassFault{"DumpCloseFails", FaultyFileSystem::eClose, "IndexingDump.obf", EIO,
                  "The index answers could not be written to"}),
    [](const ::testing::TestParamInfo<PassFault>& info) { return std::string(info.param.name); });

namespace {
// A log whose pause hook, just before phase 3, cuts the index answers short.
class CuttingLog : public CaptureLog {
 public:
  explicit CuttingLog(std::string dump) : m_dump(std::move(dump)) {}
  void debugBreak(const char* marker, const char* a, int c, int l, bool f) override {
    CaptureLog::debugBreak(marker, a, c, l, f);
    if (truncate(m_dump.c_str(), 0) != 0) ADD_FAILURE() << "cannot cut " << m_dump;
  }
  std::string m_dump;
};
}  // namespace

TEST_F(ReStubbingTest, RecordsWithoutAnAnswerAreCollectedNotDropped) {
  addTemp(addFile("a", "g-a"));
  addTemp(addFile("b", "g-b"));
  CuttingLog log(m_dir.file("IndexingDump.obf"));
  EXPECT_FALSE(run());
  EXPECT_EQ(ReadEntries(m_collect).size(), 2u);
  EXPECT_TRUE(log.hasText("The re-stubbing pass could settle only 0 of 2 files (index answers "
                          "unreadable), adding the rest to StubCollect"));
  EXPECT_EQ(m_h->TempCandidatesLost(), 0u);
  expectNoLeftovers();
}

namespace {
struct PlantedAt {
  const char* name;
  const char* file;  // in the job-results directory
  bool fifo;
};
void PrintTo(const PlantedAt& p, std::ostream* os) { *os << p.name; }
class PlantedPassFileTest : public ReStubbingTest,
                            public ::testing::WithParamInterface<PlantedAt> {};
}  // namespace

// A link to a root file or a FIFO planted at the rewrite or the dump file's
// name: the pass neither writes through it nor waits on it, and falls back.
TEST_P(PlantedPassFileTest, IsNeitherFollowedNorWaitedOn) {
  const PlantedAt& p = GetParam();
  addTemp(addFile("a", "g-a"));
  TempDir elsewhere;
  std::string target = elsewhere.write("root-only", "precious\n");
  ASSERT_EQ(chmod(target.c_str(), 0600), 0);
  std::string planted = m_dir.file(p.file);
  if (p.fifo)
    ASSERT_EQ(mkfifo(planted.c_str(), 0666), 0);
  else
    ASSERT_EQ(symlink(target.c_str(), planted.c_str()), 0);
  alarm(20);  // a FIFO that blocked would hang here
  EXPECT_FALSE(run());
  alarm(0);
  EXPECT_EQ(ReadFile(target), "precious\n");
  EXPECT_EQ(ReadEntries(m_collect).size(), 1u);
  EXPECT_FALSE(isStub("a"));
  bool refused = false;
  for (const LogLine& l : m_log.lines)
    refused |= l.text.rfind("Refusing to use " + planted + ": ", 0) == 0;
  EXPECT_TRUE(refused);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PlantedPassFileTest,
    ::testing::Values(PlantedAt{"RewriteLink", "StubCollect_temp_temp", false},
                      PlantedAt{"RewriteFifo", "StubCollect_temp_temp", true},
                      PlantedAt{"DumpLink", "IndexingDump.obf", false},
                      PlantedAt{"DumpFifo", "IndexingDump.obf", true}),
    [](const ::testing::TestParamInfo<PlantedAt>& info) { return std::string(info.param.name); });

namespace {

// Watches the pass's calls on the files of the tree: how many are open at
// once, and the order of the syncs and punches.
class BatchWatch : public tqhsm::HSMStoreWrapper {
 public:
  explicit BatchWatch(std::string prefix) : m_prefix(std::move(prefix)) {}
  int openat2(int dirfd, const char* path, const struct open_how* how, size_t size) override {
    int fd = HSMStoreWrapper::openat2(dirfd, path, how, size);
    if (fd >= 0 && std::string(path).compare(0, m_prefix.size(), m_prefix) == 0) {
      m_open.insert(fd);
      maxOpen = std::max(maxOpen, m_open.size());
    }
    return fd;
  }
  int close(int fd) override {
    m_open.erase(fd);
    return HSMStoreWrapper::close(fd);
  }
  int fsync(int fd) override {
    ops.push_back('f');
    return HSMStoreWrapper::fsync(fd);
  }
  int syncfs(int fd) override {
    ops.push_back('s');
    return HSMStoreWrapper::syncfs(fd);
  }
  int fallocate(int fd, int mode, off_t o, off_t l) override {
    ops.push_back('p');
    return HSMStoreWrapper::fallocate(fd, mode, o, l);
  }
  size_t maxOpen = 0;
  std::string ops;  // 'f' an fsync, 's' a syncfs, 'p' a punch

 private:
  std::string m_prefix;
  std::set<int> m_open;
};

// Lowers the soft descriptor limit for a scope.
class FileLimit {
 public:
  explicit FileLimit(rlim_t soft) {
    getrlimit(RLIMIT_NOFILE, &m_saved);
    struct rlimit low = m_saved;
    low.rlim_cur = soft;
    m_ok = setrlimit(RLIMIT_NOFILE, &low) == 0;
  }
  ~FileLimit() { setrlimit(RLIMIT_NOFILE, &m_saved); }
  bool ok() const { return m_ok; }

 private:
  struct rlimit m_saved;
  bool m_ok = false;
};

}  // namespace

// Many files go in batches no larger than the descriptor limit allows: in
// each, every sync comes before any punch; each file comes to its own
// outcome, with its own messages, in the order of the records.
TEST_F(ReStubbingTest, ManyFilesAreReStubbedInBoundedBatchesEachToItsOwnOutcome) {
  if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "no punch-hole here";
  const int kFiles = 40;
  std::vector<std::string> names;
  for (int i = 0; i < kFiles; ++i) {
    char name[16];
    snprintf(name, sizeof name, "f%02d", i);
    names.push_back(name);
    addTemp(addFile(name, std::string("g-") + name));
  }
  // One written after the scan decided, one open elsewhere.
  std::string changed = m_dir.file("f07"), open = m_dir.file("f20");
  SetTimes(changed, 1600000000, 1600000100);
  int holder = ::open(open.c_str(), O_RDONLY);
  ASSERT_GE(holder, 0);

  BatchWatch watch(m_dir.file("f"));
  bool ok = false;
  {
    FileLimit limit(64);  // batches of 16
    ASSERT_TRUE(limit.ok());
    tqhsm::ScopedBackend<tqhsm::HSMStore> scope(&watch);
    ok = run();
  }
  ::close(holder);
  EXPECT_TRUE(ok);
  EXPECT_LE(watch.maxOpen, 16u);
  // Three batches (16 records each at most, refused ones included): 15, 15
  // and 8 files held; one sync of the file system before each batch's punches.
  EXPECT_EQ(watch.ops, "s" + std::string(15, 'p') + "s" + std::string(15, 'p') + "s" +
                           std::string(8, 'p'));

  std::vector<size_t> replacedAt;
  for (int i = 0; i < kFiles; ++i) {
    SCOPED_TRACE(names[i]);
    std::string f = m_dir.file(names[i]);
    if (f == changed || f == open) {
      EXPECT_FALSE(isStub(names[i]));
      EXPECT_TRUE(FileExists(cached(names[i])));
      continue;
    }
    EXPECT_TRUE(isStub(names[i]));
    EXPECT_FALSE(FileExists(cached(names[i])));
    size_t at = m_log.lines.size();
    for (size_t j = 0; j < m_log.lines.size(); ++j)
      if (m_log.lines[j].text ==
          "Successfully replaced '" + f + "' with corresponsding stub from StubCache.")
        at = j;
    ASSERT_LT(at, m_log.lines.size());
    EXPECT_EQ(m_log.lines[at].level, 3);
    replacedAt.push_back(at);
  }
  EXPECT_TRUE(std::is_sorted(replacedAt.begin(), replacedAt.end()));
  const LogLine* notReStubbed = nullptr;
  for (const LogLine& l : m_log.lines)
    if (l.text.compare(0, 17 + changed.size(), "Not re-stubbing " + changed + ":") == 0)
      notReStubbed = &l;
  ASSERT_NE(notReStubbed, nullptr);
  EXPECT_EQ(notReStubbed->level, 2);
  EXPECT_TRUE(m_log.has(kTag, "Failed to stub " + open + ": " + open +
                                  " is open in another process."));
  EXPECT_TRUE(m_log.has(kTag, "Skipping open file: " + open));
  std::vector<std::string> collected = ReadEntries(m_collect);
  ASSERT_EQ(collected.size(), 1u);
  EXPECT_EQ(collected[0], changed + ":" + std::to_string(StatOf(changed).st_ino));
  expectNoLeftovers();
}
