#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CaptureLog.h"
#include "Catalog.h"
#include "FileUtf.h"
#include "HSMStore.h"
#include "HelperSetup.h"
#include "StubFiles.h"
#include "StubFormat.h"
#include "TempDir.h"

using namespace tqhsm::test;

namespace {

const char* kTag = "isAFilePruned";

struct Answer {
  int rc = 0;
  uint64_t copyId = 1;
  uint64_t flag = 0;
};

class FakeArchive : public OBArchive {
 public:
  FakeArchive() : OBArchive("client", nullptr, true) {}
  int getAfileCopy(OBA_GetCopyIdByAfileCopyPrec50Req_t& req,
                   OBA_GetCopyIdByAfileCopyPrec50Resp_t& resp) override {
    requests.push_back(req);
    EXPECT_EQ(resp.copyId, 0u);  // zeroed before the call
    const Answer& a = answers[req.afileId];
    resp.copyId = a.copyId;
    resp.prunedFlag = a.flag;
    return a.rc;
  }
  std::map<uint64_t, Answer> answers;
  std::vector<OBA_GetCopyIdByAfileCopyPrec50Req_t> requests;
};

class FakeMapper : public ParvisMapper {
 public:
  uint64_t numberToId(uint64_t n) override { return ids.count(n) ? ids[n] : 0; }
  std::map<uint64_t, uint64_t> ids;
};

class FakeIndex : public tqhsm::IndexService {
 public:
  int initByAfileId(FetchIndexInfo& client, int afileId, uint64_t parvisId) override {
    inits.push_back({afileId, parvisId});
    flags.push_back(client.initFlags());
    return initRc;
  }
  int lookup(FetchIndexInfo& client, const MetaData& key, FInfoRespItem& answer) override {
    clients.push_back(&client);
    keys.push_back(key);
    answer = item;
    return lookupRc;
  }
  int initRc = 0;
  int lookupRc = 0;
  FInfoRespItem item;
  std::vector<std::pair<int, uint64_t>> inits;
  std::vector<uint32_t> flags;
  std::vector<FetchIndexInfo*> clients;
  std::vector<MetaData> keys;
};

// Rules with a fake archive manager and Parvis mapper (owned by the rules).
struct Rules {
  Rules() {
    archive = new FakeArchive();
    mapper = new FakeMapper();
    rules.m_pArchive = archive;
    rules.m_pParvisMapper = mapper;
  }
  TQHSMRules rules;
  FakeArchive* archive;
  FakeMapper* mapper;
};

std::vector<char> Stub(int kind, const std::string& appGUID, uint64_t appId,
                       uint64_t afile = 4711) {
  ReparseData r = SampleStub();
  r.stubKind = kind;
  r.appGUID = appGUID;
  r.appId = appId;
  r.afileId = afile;
  return StubBytes(r);
}

}  // namespace

TEST(PruneCheckTest, ArchiveManagerIsAskedOncePerAF) {
  CaptureLog log;
  Rules r;
  r.mapper->ids[2] = 20;
  r.archive->answers[4711] = {0, 3, 0};
  EXPECT_EQ(r.rules.isAFilePruned(2, 1, 4711), 0);
  EXPECT_TRUE(log.has(kTag, "AFile [2:1:4711] has not been pruned yet"));
  log.clear();
  EXPECT_EQ(r.rules.isAFilePruned(2, 1, 4711), 0);
  EXPECT_TRUE(log.lines.empty());  // from the cache, silently
  ASSERT_EQ(r.archive->requests.size(), 1u);
  const OBA_GetCopyIdByAfileCopyPrec50Req_t& q = r.archive->requests[0];
  EXPECT_EQ(q.afileId, 4711u);
  EXPECT_EQ(q.copyPrecedence, 1u);
  EXPECT_EQ(q.parvisId, 20u);
  EXPECT_EQ(q.reserved, 0u);
  // Another copy precedence is another AF.
  EXPECT_EQ(r.rules.isAFilePruned(2, 2, 4711), 0);
  EXPECT_EQ(r.archive->requests.size(), 2u);
}

TEST(PruneCheckTest, ResponsesAndParvisIds) {
  struct Case {
    Answer answer;
    int expected;
    const char* text;
  };
  const Case cases[] = {
      {{0, 7, 1}, 1, "has been pruned"},
      {{0, 0, 0}, 1, "has been pruned"},
      {{0, 0, 5}, 1, "has been pruned"},
      {{0, 7, 2}, 0, "has not been pruned yet"},
  };
  uint64_t afile = 100;
  for (const Case& c : cases) {
    CaptureLog log;
    Rules r;
    r.archive->answers[afile] = c.answer;
    EXPECT_EQ(r.rules.isAFilePruned(9, 1, afile), c.expected);
    EXPECT_TRUE(log.has(kTag, "AFile [9:1:" + std::to_string(afile) + "] " + c.text));
    ASSERT_EQ(r.archive->requests.size(), 1u);
    EXPECT_EQ(r.archive->requests[0].parvisId, 2u);  // unknown Parvis number
    ++afile;
  }
  // Without a mapper the Parvis id is 2 as well; without an archive client the
  // question cannot be answered.
  TQHSMRules bare;
  FakeArchive* archive = new FakeArchive();
  bare.m_pArchive = archive;
  EXPECT_EQ(bare.isAFilePruned(9, 1, 1), 0);
  EXPECT_EQ(archive->requests[0].parvisId, 2u);
  TQHSMRules none;
  CaptureLog log;
  EXPECT_EQ(none.isAFilePruned(9, 1, 1), -1);
}

TEST(PruneCheckTest, FailedQuestionIsNotCached) {
  CaptureLog log;
  Rules r;
  r.archive->answers[4711] = {5, 0, 0};
  EXPECT_EQ(r.rules.isAFilePruned(2, 1, 4711), -1);
  EXPECT_TRUE(log.has(kTag, "Checking AFile [2:1:4711] failed - 5"));
  r.archive->answers[4711] = {0, 1, 0};
  EXPECT_EQ(r.rules.isAFilePruned(2, 1, 4711), 0);
  EXPECT_EQ(r.archive->requests.size(), 2u);
}

TEST(PruneCheckTest, StubFormFollowsKindAndRetention) {
  struct Case {
    const char* name;
    bool honor;
    std::vector<char> stub;
    std::string appGUID;
    uint64_t appId;
    int expected;
    uint64_t askedAfile;  // 0: the archive manager is not asked
    const char* message;
  };
  const Case cases[] = {
      {"kind 2, same GUID, other app id", true, Stub(2, "g1", 5), "g1", 6, 0, 0,
       "Skipping prune stub check for stub [/s], since it's from different Subclient, "
       "AppGUID=[g1], AppId=[5]"},
      {"kind 2, other GUID", true, Stub(2, "g1", 5), "g2", 5, 0, 0,
       "Skipping prune stub check for stub [/s], since it's from different Subclient, "
       "AppGUID=[g1], AppId=[5]"},
      {"kind 2, no stub GUID, other app id", true, Stub(2, "", 5), "g1", 6, 0, 0,
       "Skipping prune stub check for stub [/s], since it's from different Subclient, "
       "AppGUID=[NA], AppId=[5]"},
      {"kind 2, empty GUID, same app id", true, Stub(2, "", 5), "g1", 5, 1, 4711, nullptr},
      {"kind 2, same GUID and app id", true, Stub(2, "g1", 5), "g1", 5, 1, 4711, nullptr},
      {"kind 1, retention on", true, Stub(1, "g9", 9), "g1", 5, 1, 4711,
       "Pruning archiver stub '/s'"},
      {"kind 1, retention off", false, Stub(1, "g9", 9), "g1", 5, 1, 4711, nullptr},
      {"kind 2, retention off: through the index", false, Stub(2, "g9", 9), "g1", 5, 1, 9999,
       nullptr},
  };
  for (const Case& c : cases) {
    CaptureLog log;
    FakeIndex index;
    index.item.found = 1;
    index.item.afileId = 9999;
    tqhsm::ScopedBackend<tqhsm::IndexService> scope(&index);
    Rules r;
    r.rules.m_bHonorArchiverRetention = c.honor;
    r.archive->answers[4711] = {0, 0, 0};
    r.archive->answers[9999] = {0, 0, 0};
    EXPECT_EQ(r.rules.isAFilePruned(c.stub, "/s", c.appGUID, c.appId), c.expected) << c.name;
    if (c.askedAfile) {
      ASSERT_EQ(r.archive->requests.size(), 1u) << c.name;
      EXPECT_EQ(r.archive->requests[0].afileId, c.askedAfile) << c.name;
      EXPECT_EQ(r.archive->requests[0].copyPrecedence, 1u) << c.name;
    } else {
      EXPECT_TRUE(r.archive->requests.empty()) << c.name;
    }
    if (c.message) {
      const LogLine* line = log.find(c.message);
      ASSERT_NE(line, nullptr) << c.name;
      EXPECT_EQ(line->level, 5);
      EXPECT_EQ(line->tag, kTag);
    }
  }
}

TEST(PruneCheckTest, StubDataThatDoNotParseCannotBeAnswered) {
  CaptureLog log;
  Rules r;
  EXPECT_EQ(r.rules.isAFilePruned({'x', 'y'}, "/s", "", 0), -1);
  EXPECT_EQ(r.rules.isAFilePruned({}, "/s", "", 0), -1);
  EXPECT_EQ(log.count("Failed to extract metadata from stub /s"), 2u);
  EXPECT_TRUE(r.archive->requests.empty());
}

TEST(PruneCheckTest, IndexClientIsKeptPerAFAndDroppedWhenItFails) {
  CaptureLog log;
  FakeIndex index;
  index.item.found = 1;
  index.item.afileId = 4800;
  tqhsm::ScopedBackend<tqhsm::IndexService> scope(&index);
  Rules r;
  r.mapper->ids[2] = 20;
  r.archive->answers[4800] = {0, 1, 0};

  // The first client fails to initialise: dropped, and the next stub tries anew.
  index.initRc = 3;
  EXPECT_EQ(r.rules.isAFilePruned(Stub(2, "g", 5), "/a", "g", 5), -1);
  EXPECT_TRUE(r.rules.m_mapAFIndexInfo.empty());
  index.initRc = 0;
  EXPECT_EQ(r.rules.isAFilePruned(Stub(2, "g", 5), "/a", "g", 5), 0);
  EXPECT_EQ(r.rules.isAFilePruned(Stub(2, "g", 5), "/b", "g", 5), 0);
  ASSERT_EQ(index.inits.size(), 2u);
  EXPECT_EQ(index.inits[1], (std::pair<int, uint64_t>(4711, 20)));
  EXPECT_EQ(index.flags[1] & 0x40u, 0x40u);
  ASSERT_EQ(index.clients.size(), 2u);
  EXPECT_EQ(index.clients[0], index.clients[1]);  // one client, reused
  EXPECT_EQ(index.keys[0].m_nKind, 0x85ED33A1u);
  EXPECT_EQ(index.keys[0].m_sKey, "stub-guid-0001");
  EXPECT_EQ(r.rules.m_mapAFIndexInfo.size(), 1u);
  EXPECT_EQ(r.archive->requests.size(), 1u);

  // A failing lookup of a kept client fails the question; the client stays.
  index.lookupRc = 4;
  EXPECT_EQ(r.rules.isAFilePruned(Stub(2, "g", 5), "/c", "g", 5), -1);
  EXPECT_EQ(r.rules.m_mapAFIndexInfo.size(), 1u);

  // A stub of another AF gets a client of its own.
  index.lookupRc = 0;
  EXPECT_EQ(r.rules.isAFilePruned(Stub(2, "g", 5, 4712), "/d", "g", 5), 0);
  EXPECT_EQ(r.rules.m_mapAFIndexInfo.size(), 2u);
}

TEST(PruneCheckTest, StubUnknownToTheIndexIsNotCheckedAgainstAnAFItNeverNamed) {
  CaptureLog log;
  FakeIndex index;
  index.item.found = 0;  // no entry: every number of the answer reads 0
  tqhsm::ScopedBackend<tqhsm::IndexService> scope(&index);
  Rules r;
  r.archive->answers[0] = {0, 0, 0};  // "AF 0 has no copy" would mean pruned
  EXPECT_EQ(r.rules.isAFilePruned(Stub(2, "g", 5), "/a", "g", 5), -1);
  EXPECT_TRUE(r.archive->requests.empty());
}

// ---------------------------------------------------------------------------
// PruneStub

namespace {

class CountingLowLevel : public TQHSMLowLevel {
 public:
  CountingLowLevel() : TQHSMLowLevel("/") {}
  using TQHSMLowLevel::readStubData;
  int readStubData(int, const struct stat&, const char*, std::vector<char>& data) override {
    ++reads;
    data.clear();
    setLastError("no data here");
    return -1;
  }
  int reads = 0;
};

class OneObjectCtx : public TQHSMLowLevelCtx {
 public:
  explicit OneObjectCtx(TQHSMLowLevel* l) : TQHSMLowLevelCtx(0), m_pLow(l) {}
  TQHSMLowLevel* getByFileName(const char*) override { return m_pLow; }
  TQHSMLowLevel* m_pLow;
};

class CountingArchive : public tqhsm::ArchiveService {
 public:
  int getAfileCopy(const std::string& client, const OBA_GetCopyIdByAfileCopyPrec50Req_t& req,
                   OBA_GetCopyIdByAfileCopyPrec50Resp_t& resp) override {
    ++calls;
    return ArchiveService::getAfileCopy(client, req, resp);
  }
  int calls = 0;
};

class PruneStubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    std::unique_ptr<tqhsm::Catalog> c = tqhsm::Catalog::Open(m_dir.file("catalog.db"), error);
    ASSERT_NE(c, nullptr) << error;
    ASSERT_TRUE(c->exec(
        "INSERT INTO parvis VALUES (2, 20);"
        "INSERT INTO archive_files VALUES (4711, 1, 20, 3, 1), (4712, 1, 20, 3, 0);",
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
  }
  void TearDown() override { tqhsm::Catalog::SetShared(nullptr); }

  // A real stub made through stubFile, pointing into AF 2:1:afile.
  std::string makeStub(const std::string& name, uint64_t afile, uint64_t appId = 5) {
    std::string f = m_dir.file(name);
    WritePattern(f, 20000);
    ReparseData r = SampleStub();
    r.afileId = afile;
    r.appId = appId;
    TQHSMLowLevel* l = m_h->m_pLowLevelCtx->getByFileName(f.c_str());
    if (!l) {
      ADD_FAILURE() << "no low-level object for " << f;
      return f;
    }
    EXPECT_EQ(l->stubFile(f.c_str(), tqhsm::FormatReparseText(r).c_str(), 100, -1), 0)
        << l->getLastError();
    return f;
  }

  CaptureLog m_log;
  TempDir m_dir;
  TQHSMHelperInitArgs m_args;
  std::unique_ptr<TQHSMHelper> m_h;
};

}  // namespace

TEST_F(PruneStubTest, StubOfAPrunedAFIsDeletedAndTheArchiveManagerAskedOnce) {
  CountingArchive archive;
  tqhsm::ScopedBackend<tqhsm::ArchiveService> scope(&archive);
  std::string a = makeStub("a", 4711);
  std::string b = makeStub("b", 4711);
  std::string kept = makeStub("kept", 4712);

  EXPECT_EQ(m_h->PruneStub(a.c_str(), nullptr), 0);
  EXPECT_EQ(m_h->PruneStub(b.c_str(), nullptr), 0);
  EXPECT_EQ(m_h->PruneStub(kept.c_str(), nullptr), -1);
  EXPECT_FALSE(FileExists(a));
  EXPECT_FALSE(FileExists(b));
  EXPECT_TRUE(FileExists(kept));
  EXPECT_EQ(archive.calls, 2);  // one per AF
  const LogLine* line = m_log.find("Deleting stub " + a + ", since its AF has been pruned");
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->level, 0);
  EXPECT_EQ(line->tag, "TQHSMHelper::PruneStub");
}

TEST_F(PruneStubTest, NothingHappensWithoutRetentionOrForARemoteClient) {
  CountingLowLevel low;
  delete m_h->m_pLowLevelCtx;
  m_h->m_pLowLevelCtx = new OneObjectCtx(&low);
  m_h->m_rules.m_bHonorArchiverRetention = false;
  EXPECT_EQ(m_h->PruneStub("/x", nullptr), -1);
  m_h->m_rules.m_bHonorArchiverRetention = true;
  m_h->m_nRemoteClientId = 4;
  EXPECT_EQ(m_h->PruneStub("/x", nullptr), -1);
  EXPECT_EQ(low.reads, 0);
  EXPECT_TRUE(m_log.lines.empty());

  m_h->m_nRemoteClientId = 0;
  std::string x = m_dir.write("x", "plain");
  EXPECT_EQ(m_h->PruneStub(x.c_str(), nullptr), -1);
  EXPECT_EQ(low.reads, 1);
  EXPECT_TRUE(m_log.has("TQHSMHelper::PruneStub", "Failed to read metadata from stub " + x +
                                                      ": no data here"));
  // A file that cannot be opened is not read either.
  EXPECT_EQ(m_h->PruneStub("/no/such/x", nullptr), -1);
  EXPECT_EQ(low.reads, 1);
  EXPECT_TRUE(m_log.has("TQHSMHelper::PruneStub",
                        "Failed to read metadata from stub /no/such/x: Cannot open the directory of /no/such/x: " +
                            std::string(strerror(ENOENT))));

  delete m_h->m_pLowLevelCtx;
  m_h->m_pLowLevelCtx = new OneObjectCtx(nullptr);
  EXPECT_EQ(m_h->PruneStub("/y", nullptr), -1);
  EXPECT_TRUE(m_log.has("TQHSMHelper::PruneStub", "Failed to get TQHSMLowLevel object for file /y."));
}

TEST_F(PruneStubTest, SnapshotPathDeletesTheHostPath) {
  std::string host = makeStub("f", 4711);
  PrefixPathMapper mapper("/snapY", m_dir.path());
  m_h->m_pPathMapper = &mapper;
  m_h->m_bUseNativeSnap = true;
  EXPECT_EQ(m_h->PruneStub("/snapY/f", nullptr), 0);
  EXPECT_FALSE(FileExists(host));
}

TEST_F(PruneStubTest, AnotherSubclientsStubStays) {
  std::string f = makeStub("f", 4711, 6);
  EXPECT_EQ(m_h->PruneStub(f.c_str(), nullptr), -1);
  EXPECT_TRUE(FileExists(f));
}

TEST_F(PruneStubTest, FailedDeletionStillCountsAsPruned) {
  std::string f = makeStub("f", 4711);
  class ReadOnlyFs : public tqhsm::HSMStoreWrapper {
   public:
    int unlinkat(int, const char*, int) override {
      errno = EROFS;
      return -1;
    }
  } store;
  tqhsm::ScopedBackend<tqhsm::HSMStore> scope(&store);
  EXPECT_EQ(m_h->PruneStub(f.c_str(), nullptr), 0);
  EXPECT_TRUE(FileExists(f));
  EXPECT_TRUE(m_log.has("TQHSMHelper::PruneStub", "Deleting stub " + f + ", since its AF has been pruned"));
  const LogLine* failed =
      m_log.find("Cannot delete " + m_dir.path() + "/f: " + strerror(EROFS) + ".");
  ASSERT_NE(failed, nullptr);
  EXPECT_EQ(failed->kind, tqhsm::LogKind::Error);  // the stub is still there
}

// Only an intact stub is deleted, and only the file the scan stat-ed: a stub
// written after stubbing keeps its new data whatever its AF.
TEST_F(PruneStubTest, OnlyTheIntactStubTheScanSawIsDeleted) {
  std::string rewritten = makeStub("rewritten", 4711);
  WritePattern(rewritten, 8192);  // the owner writes new data into it
  EXPECT_EQ(m_h->PruneStub(rewritten.c_str(), nullptr), -1);
  EXPECT_TRUE(FileExists(rewritten));
  EXPECT_TRUE(m_log.has("TQHSMHelper::PruneStub",
                        "Failed to read metadata from stub " + rewritten + ": " + rewritten +
                            " is not a stub (size differs (8192 bytes, the stub's original size "
                            "is 20000))"));

  std::string a = makeStub("a", 4711);
  std::string b = makeStub("b", 4711);
  struct stat seenA = StatOf(a);
  m_log.clear();
  EXPECT_EQ(m_h->PruneStub(b.c_str(), &seenA), -1);  // b is not the file the scan saw
  EXPECT_TRUE(FileExists(b));
  const LogLine* line = m_log.find("Not pruning " + b + ": it changed under the scan (" + b +
                                   " is inode " + std::to_string(StatOf(b).st_ino) +
                                   " now, the scan saw " + std::to_string(seenA.st_ino) + ").");
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->level, 1);
  EXPECT_EQ(m_h->PruneStub(a.c_str(), &seenA), 0);
  EXPECT_FALSE(FileExists(a));
}

// A pruning scan tells most kept stubs from their record read by path and the
// AF verdict the run already holds, without opening them; anything that may
// lead to a delete, or whose record is not that of the file the walk saw,
// is left to the checked way (-1).
TEST_F(PruneStubTest, KeptStubAtGlanceAnswersOnlyWhatKeepingCannotGetWrong) {
  class CountingOpens : public tqhsm::HSMStoreWrapper {
   public:
    int open(const char* p, int f, mode_t m) override { return ++opens, HSMStoreWrapper::open(p, f, m); }
    int openat(int d, const char* p, int f, mode_t m) override {
      return ++opens, HSMStoreWrapper::openat(d, p, f, m);
    }
    int openat2(int d, const char* p, const struct open_how* h, size_t s) override {
      return ++opens, HSMStoreWrapper::openat2(d, p, h, s);
    }
    int opens = 0;
  };
  CountingArchive archive;
  tqhsm::ScopedBackend<tqhsm::ArchiveService> scope(&archive);
  std::string first = makeStub("first", 4712);
  std::string second = makeStub("second", 4712);
  std::string doomed = makeStub("doomed", 4711);
  std::string alsoDoomed = makeStub("also-doomed", 4711);
  std::string foreign = makeStub("foreign", 4711, 6);
  std::string rewritten = makeStub("rewritten", 4712);
  WritePattern(rewritten, 8192);
  std::string plain = m_dir.write("plain", "no stub here");

  CountingOpens store;
  {
    tqhsm::ScopedBackend<tqhsm::HSMStore> counting(&store);
    // Nothing known of AF 4712 yet: the glance does not ask.
    EXPECT_EQ(m_h->KeptStubAtGlance(first.c_str(), StatOf(first)), -1);
    EXPECT_EQ(archive.calls, 0);
    EXPECT_EQ(m_h->KeptStubAtGlance(plain.c_str(), StatOf(plain)), 0);
    // Another subclient's stub stays whatever its AF.
    EXPECT_EQ(m_h->KeptStubAtGlance(foreign.c_str(), StatOf(foreign)), 1);
    EXPECT_EQ(store.opens, 0);
  }
  EXPECT_EQ(m_h->PruneStub(first.c_str(), nullptr), -1);  // asks, caches "kept"
  EXPECT_EQ(m_h->PruneStub(doomed.c_str(), nullptr), 0);  // asks, caches "pruned"
  EXPECT_EQ(archive.calls, 2);
  {
    tqhsm::ScopedBackend<tqhsm::HSMStore> counting(&store);
    EXPECT_EQ(m_h->KeptStubAtGlance(second.c_str(), StatOf(second)), 1);
    EXPECT_EQ(store.opens, 0);
    // A stub of a pruned AF goes the checked way to its delete.
    EXPECT_EQ(m_h->KeptStubAtGlance(alsoDoomed.c_str(), StatOf(alsoDoomed)), -1);
    // A record that is not the stat-ed file's: another inode (a swapped
    // directory), or data written since stubbing.
    EXPECT_EQ(m_h->KeptStubAtGlance(second.c_str(), StatOf(first)), -1);
    EXPECT_EQ(m_h->KeptStubAtGlance(rewritten.c_str(), StatOf(rewritten)), -1);
    EXPECT_EQ(m_h->KeptStubAtGlance((m_dir.path() + "/gone").c_str(), StatOf(second)), -1);
  }
  EXPECT_EQ(archive.calls, 2);
  EXPECT_TRUE(FileExists(alsoDoomed));
  EXPECT_EQ(m_h->PruneStub(alsoDoomed.c_str(), nullptr), 0);
  EXPECT_FALSE(FileExists(alsoDoomed));

  // Without retention every stub stays; a remote scan is not told this way.
  m_h->m_rules.m_bHonorArchiverRetention = false;
  EXPECT_EQ(m_h->KeptStubAtGlance(foreign.c_str(), StatOf(foreign)), 1);
  m_h->m_nRemoteClientId = 4;
  EXPECT_EQ(m_h->KeptStubAtGlance(foreign.c_str(), StatOf(foreign)), -1);
}
