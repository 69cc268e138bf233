#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <set>
#include <string>
#include <vector>

#include "CaptureLog.h"
#include "FileUtf.h"
#include "HSMStore.h"
#include "HelperSetup.h"
#include "ScanFakes.h"
#include "StubFiles.h"
#include "TQHSMHelper.h"
#include "TempDir.h"

using namespace tqhsm::test;

namespace {

const char* kTag = "TQHSMHelper::IsDMCandidate";
const time_t kInit = 1700000000;  // when Initialize ran
const int64_t kDay = 86400;

// Counts every file-system and HSM-store call that goes through.
class CountingFs : public tqhsm::FileSystemWrapper {
 public:
  int stat(const char* p, struct stat* st) override {
    ++calls;
    stats.push_back(p);
    return FileSystemWrapper::stat(p, st);
  }
  int lstat(const char* p, struct stat* st) override { return ++calls, FileSystemWrapper::lstat(p, st); }
  int open(const char* p, int f, mode_t m) override { return ++calls, FileSystemWrapper::open(p, f, m); }
  FILE* fopen(const char* p, const char* m) override { return ++calls, FileSystemWrapper::fopen(p, m); }
  int unlink(const char* p) override { return ++calls, FileSystemWrapper::unlink(p); }
  int calls = 0;
  std::vector<std::string> stats;
};

class CountingStore : public tqhsm::HSMStoreWrapper {
 public:
  int open(const char* p, int f, mode_t m) override { return ++calls, HSMStoreWrapper::open(p, f, m); }
  ssize_t getxattr(const char* p, const char* n, void* v, size_t s) override {
    return ++calls, HSMStoreWrapper::getxattr(p, n, v, s);
  }
  ssize_t lgetxattr(const char* p, const char* n, void* v, size_t s) override {
    return ++calls, HSMStoreWrapper::lgetxattr(p, n, v, s);
  }
  int fcntlLock(int fd, int cmd, struct flock* lock) override {
    ++calls;
    if (locked) {
      lock->l_type = F_WRLCK;  // someone else holds a lock on it
      return 0;
    }
    return HSMStoreWrapper::fcntlLock(fd, cmd, lock);
  }
  int calls = 0;
  bool locked = false;
};

class FakeArchive : public OBArchive {
 public:
  FakeArchive() : OBArchive("client", nullptr, true) {}
  int getAfileCopy(OBA_GetCopyIdByAfileCopyPrec50Req_t&, OBA_GetCopyIdByAfileCopyPrec50Resp_t& r) override {
    ++asked;
    r.copyId = pruned ? 0 : 1;
    return 0;
  }
  bool pruned = false;
  int asked = 0;
};

class CandidateTest : public ::testing::Test {
 protected:
  CandidateTest() {
    m_file = m_tmp.write("f", "0123456789");
    makeHelper(TQHSMHelperInitArgs());
  }

  void makeHelper(TQHSMHelperInitArgs args) {
    m_h.reset();
    m_args = args;
    m_h = MakeReadyHelper(m_args, m_tmp.path());
    m_h->m_rules.m_ulRulesFlag = 0;
    m_h->m_tInitTime = kInit;
    m_h->m_mapAmountToArchive[m_vol] = 1000000000;
    m_h->m_mapFsBlockSize[m_vol] = 4096;
  }
  // The caller's stat record: the real file's, with times and size as given.
  struct stat record(int64_t size, int64_t atimeAgo = 400 * kDay, int64_t mtimeAgo = 400 * kDay) {
    struct stat st = StatOf(m_file);
    st.st_size = size;
    st.st_atime = kInit - atimeAgo;
    st.st_mtime = kInit - mtimeAgo;
    return st;
  }
  int decide(struct stat st, bool isFile = true, bool restubCheck = false, bool pruneCheck = false) {
    return m_h->IsDMCandidate(m_file.c_str(), &st, m_vol, isFile, restubCheck, pruneCheck);
  }
  std::vector<std::string> collected() {
    m_h->m_stubCollect.DeInitialize();
    return ReadEntries(m_tmp.file("StubCollect"));
  }
  std::string line(const std::string& path, unsigned long long ino) {
    return path + ":" + std::to_string(ino);
  }
  FakeLowLevel* fakeLowLevel() {
    FakeCtx* ctx = new FakeCtx();
    delete m_h->m_pLowLevelCtx;
    m_h->m_pLowLevelCtx = ctx;
    FakeLowLevel* ll = ctx->add("/");
    ll->scriptInfo = true;
    return ll;
  }
  int64_t budget() { return m_h->m_mapAmountToArchive[m_vol]; }

  TempDir m_tmp;
  CaptureLog m_log;
  TQHSMHelperInitArgs m_args;
  std::unique_ptr<TQHSMHelper> m_h;
  std::string m_file;
  std::string m_vol = "/vol";
};

}  // namespace

// The rules, their boundaries and the block-size rule. Ages count whole days
// back from when Initialize ran; comparisons are unsigned.
TEST_F(CandidateTest, RuleTable) {
  struct Case {
    const char* what;
    int64_t daysOld, daysOldM, minSize, maxSize;
    bool useAll, skipSmaller;
    int64_t atimeAgo, mtimeAgo, size;
    mode_t mode;
    bool isFile;
    int expected;
  };
  const int64_t d = kDay;
  const mode_t reg = S_IFREG | 0644, dir = S_IFDIR | 0755;
  // The rules alone: the inspection answers "a plain file, not open" whatever
  // the record says (a real one fails for a record of no regular file).
  FakeLowLevel* ll = fakeLowLevel();
  ll->infoState = 0;
  const Case cases[] = {
      {"defaults: every file above a block", 0, 0, 0, 0, true, true, 0, 0, 4097, reg, true, 1},
      {"size equal to the block size", 0, 0, 0, 0, true, true, 0, 0, 4096, reg, true, 0},
      {"no block rule: an empty file", 0, 0, 0, 0, true, false, 0, 0, 0, reg, true, 1},
      {"block rule needs a regular file", 0, 0, 0, 0, true, true, 0, 0, 100, dir, false, 1},
      {"or the caller's word for it", 0, 0, 0, 0, true, true, 0, 0, 100, 0, true, 0},
      {"size one under the minimum", 0, 0, 10240, 0, true, false, 0, 0, 10239, reg, true, 0},
      {"size exactly the minimum", 0, 0, 10240, 0, true, false, 0, 0, 10240, reg, true, 1},
      {"size exactly the maximum", 0, 0, 10240, 20480, true, false, 0, 0, 20480, reg, true, 1},
      {"size one over the maximum", 0, 0, 10240, 20480, true, false, 0, 0, 20481, reg, true, 0},
      {"accessed 29.9 days ago", 30, 0, 0, 0, true, false, 30 * d - 8640, 0, 5000, reg, true, 0},
      {"accessed 30 days ago", 30, 0, 0, 0, true, false, 30 * d, 0, 5000, reg, true, 1},
      {"modified a second short of 30 days", 0, 30, 0, 0, true, false, 0, 30 * d - 1, 5000, reg, true, 0},
      {"modified 30 days ago", 0, 30, 0, 0, true, false, 0, 30 * d, 5000, reg, true, 1},
      {"accessed two days in the future", 1000, 0, 0, 0, true, false, -2 * d, 0, 5000, reg, true, 1},
      {"accessed an hour in the future", 1, 0, 0, 0, true, false, -3600, 0, 5000, reg, true, 0},
      {"an hour in the future is 0 days", 0, 0, 0, 0, true, false, -3600, 0, 5000, reg, true, 1},
      {"modified far in the future", 0, 5, 0, 0, true, false, 0, -(INT64_MAX / 2), 5000, reg, true, 1},
      {"any rule: size alone", 30, 30, 0, 0, false, false, 0, 0, 5000, reg, true, 1},
      {"any rule: none met", 30, 30, 10240, 0, false, false, 0, 0, 5000, reg, true, 0},
      {"all rules: two of three", 30, 30, 0, 0, true, false, 31 * d, 0, 5000, reg, true, 0},
      {"any rule, but the block rule", 0, 0, 0, 0, false, true, 0, 0, 4096, reg, true, 0},
  };
  for (const Case& c : cases) {
    TQHSMRules& r = m_h->m_rules;
    r.m_lDaysOld = c.daysOld;
    r.m_lDaysOldMTime = c.daysOldM;
    r.m_lMinFileSize = c.minSize;
    r.m_lMaxFileSize = c.maxSize;
    r.m_bUseAllRules = c.useAll;
    r.m_bSkipSmallerThanFsBlock = c.skipSmaller;
    struct stat st = record(c.size, c.atimeAgo, c.mtimeAgo);
    st.st_mode = c.mode;
    m_log.clear();
    EXPECT_EQ(decide(st, c.isFile), c.expected) << c.what;
    EXPECT_EQ(m_log.has(kTag, "To be skipped..." + m_file), c.expected == 0) << c.what;
  }
}

// The reason names one rule, by a fixed precedence: the block-size veto, then
// access age, modification age, size. CheckRules gives what IsDMCandidate
// decides of the rules, without looking at the file or changing anything.
TEST_F(CandidateTest, ReasonsNameTheRuleByPrecedence) {
  struct Case {
    const char* what;
    bool useAll;
    int64_t atimeAgo, mtimeAgo, size;
    TQHSMReason why;
  };
  const int64_t d = kDay;
  using R = TQHSMReason;
  const Case cases[] = {
      {"all met", true, 40 * d, 40 * d, 20000, R::kNone},
      {"too small, all else met", true, 40 * d, 40 * d, 5000, R::kTooSmall},
      {"too large, all else met", true, 40 * d, 40 * d, 70000, R::kTooLarge},
      {"modification fails", true, 40 * d, 2 * d, 20000, R::kTooRecentlyModified},
      {"modification and size fail", true, 40 * d, 2 * d, 5000, R::kTooRecentlyModified},
      {"all three fail: access first", true, 2 * d, 2 * d, 5000, R::kTooRecentlyAccessed},
      {"access fails alone", true, 2 * d, 40 * d, 20000, R::kTooRecentlyAccessed},
      {"block veto over all", true, 2 * d, 2 * d, 4096, R::kNotAboveOneBlock},
      {"any rule: one met suffices", false, 2 * d, 2 * d, 20000, R::kNone},
      {"any rule: none met names access", false, 2 * d, 2 * d, 70000, R::kTooRecentlyAccessed},
      {"any rule: block veto", false, 40 * d, 40 * d, 100, R::kNotAboveOneBlock},
  };
  FakeLowLevel* ll = fakeLowLevel();
  ll->infoState = 0;
  TQHSMRules& r = m_h->m_rules;
  r.m_lDaysOld = 30;
  r.m_lDaysOldMTime = 30;
  r.m_lMinFileSize = 10240;
  r.m_lMaxFileSize = 65536;
  r.m_bSkipSmallerThanFsBlock = true;
  for (const Case& c : cases) {
    r.m_bUseAllRules = c.useAll;
    struct stat st = record(c.size, c.atimeAgo, c.mtimeAgo);
    CountingFs fs;
    size_t entries = m_h->m_mapAmountToArchive.size() + m_h->m_mapFsBlockSize.size();
    {
      tqhsm::ScopedBackend<tqhsm::FileSystem> fsScope(&fs);
      EXPECT_EQ(m_h->CheckRules(&st, m_vol, true), c.why) << c.what;
      std::string unknown = "/not-set-up";  // block size 0, and no entry made for it
      m_h->CheckRules(&st, unknown, true);
    }
    EXPECT_EQ(fs.calls, 0) << c.what;
    EXPECT_EQ(m_h->m_mapAmountToArchive.size() + m_h->m_mapFsBlockSize.size(), entries);
    EXPECT_EQ(decide(st), c.why == R::kNone ? 1 : 0) << c.what;
    EXPECT_EQ(m_h->LastReason(), c.why == R::kNone ? R::kCollected : c.why) << c.what;
  }
}

// Names are stable identifiers (files and JSON keys carry them), one per
// reason; texts are for people.
TEST(ReasonNames, AreUniqueAndStable) {
  std::set<std::string> names;
  for (size_t i = 0; i < static_cast<size_t>(TQHSMReason::kCount); ++i) {
    std::string name = TQHSMReasonName(static_cast<TQHSMReason>(i));
    EXPECT_TRUE(names.insert(name).second) << name;
    EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz_"), std::string::npos) << name;
    EXPECT_STRNE(TQHSMReasonText(static_cast<TQHSMReason>(i)), "unknown");
  }
  EXPECT_STREQ(TQHSMReasonName(TQHSMReason::kTooRecentlyAccessed), "too_recently_accessed");
  EXPECT_STREQ(TQHSMReasonName(TQHSMReason::kVolumeWithoutBudget), "volume_without_budget");
  EXPECT_STREQ(TQHSMReasonName(TQHSMReason::kCount), "unknown");
  EXPECT_STREQ(TQHSMReasonText(static_cast<TQHSMReason>(200)), "unknown");
}

TEST_F(CandidateTest, BlockSizeRuleAndSkipMessages) {
  EXPECT_EQ(decide(record(4096)), 0);
  EXPECT_EQ(m_log.texts(kTag),
            (std::vector<std::string>{"amountOfDataToArchive: 1000000000 fsBlockSize: 4096 volume: /vol",
                                      "Skipping files smaller than FS Block Size.",
                                      "To be skipped..." + m_file}));
  // A volume never set up has block size 0: only empty files fall under it.
  std::string other = "/never-reset";
  struct stat st = record(0);
  EXPECT_EQ(m_h->IsDMCandidate(m_file.c_str(), &st, other, true, false, false), 0);
  st = record(1);
  EXPECT_EQ(m_h->IsDMCandidate(m_file.c_str(), &st, other, true, false, false), 1);
  EXPECT_EQ(m_h->m_mapAmountToArchive[other], -1);  // spent at once
  EXPECT_FALSE(m_h->MoreFilesToArchive(other));
}

TEST_F(CandidateTest, GatesDecideNothing) {
  struct stat st = record(5000);
  m_h->m_rules.m_ulRulesFlag = 0x2000;
  EXPECT_EQ(decide(st), 0);
  EXPECT_EQ(m_h->LastReason(), TQHSMReason::kRulesOff);
  EXPECT_EQ(m_h->CheckRules(&st, m_vol, true), TQHSMReason::kRulesOff);
  m_h->m_rules.m_ulRulesFlag = 0;
  EXPECT_EQ(m_h->IsDMCandidate(nullptr, &st, m_vol, true, false, false), 0);
  EXPECT_EQ(m_h->LastReason(), TQHSMReason::kBadArguments);
  EXPECT_EQ(m_h->CheckRules(nullptr, m_vol, true), TQHSMReason::kBadArguments);
  m_h->m_bRulesInitialized = false;
  EXPECT_EQ(decide(st), 0);
  EXPECT_EQ(m_h->LastReason(), TQHSMReason::kNotInitialized);
  EXPECT_EQ(m_h->CheckRules(&st, m_vol, true), TQHSMReason::kNotInitialized);
  EXPECT_TRUE(m_log.lines.empty());
  EXPECT_TRUE(collected().empty());
}

// Until the rules have decided, a file costs map look-ups and arithmetic: not a
// single system call, unless the prune check asks for one.
TEST_F(CandidateTest, ANonCandidateMakesNoSystemCall) {
  CountingFs fs;
  CountingStore store;
  tqhsm::ScopedBackend<tqhsm::FileSystem> fsScope(&fs);
  tqhsm::ScopedBackend<tqhsm::HSMStore> storeScope(&store);
  EXPECT_EQ(decide(record(100)), 0);
  m_h->m_rules.m_lDaysOld = 30;
  EXPECT_EQ(decide(record(5000, 2 * kDay)), 0);
  EXPECT_EQ(fs.calls + store.calls, 0);
  // The prune check inspects the file.
  EXPECT_EQ(decide(record(5000, 2 * kDay), true, false, true), 0);
  EXPECT_GT(fs.calls + store.calls, 0);
  // A candidate is inspected too.
  fs.calls = store.calls = 0;
  EXPECT_EQ(decide(record(5000)), 1);
  EXPECT_GT(fs.calls + store.calls, 0);
}

TEST_F(CandidateTest, MandatoryLocks) {
  CountingStore store;
  store.locked = true;
  tqhsm::ScopedBackend<tqhsm::HSMStore> scope(&store);
  struct stat st = record(5000);
  st.st_mode = S_IFREG | S_ISGID | 0644;  // set-group-id without group execute
  struct Case {
    int remote;
    bool proxy, snap, skipLockf;
    int expected;
  };
  const Case cases[] = {
      {0, false, false, false, 0}, {0, false, false, true, 1}, {7, false, false, false, 0},
      {0, false, true, false, 0},  {7, false, true, false, 1}, {0, true, true, false, 1},
  };
  for (const Case& c : cases) {
    TQHSMHelperInitArgs args;
    args.m_nRemoteClientId = c.remote;
    args.m_bIsProxy = c.proxy;
    args.m_bUseNativeSnap = c.snap;
    makeHelper(args);
    m_h->m_rules.m_bSkipLockf = c.skipLockf;
    m_log.clear();
    EXPECT_EQ(decide(st), c.expected) << c.remote << c.proxy << c.snap << c.skipLockf;
    EXPECT_EQ(m_h->LastReason(), c.expected == 0 ? TQHSMReason::kLocked : TQHSMReason::kCollected);
    EXPECT_EQ(m_log.has(kTag, "Locked file: " + m_file + ". Not migrating"), c.expected == 0);
  }
}

TEST_F(CandidateTest, BudgetIsSpentAndWrittenBack) {
  m_h->m_mapAmountToArchive[m_vol] = 10000;
  EXPECT_EQ(decide(record(5096)), 1);
  EXPECT_EQ(budget(), 9000);
  EXPECT_TRUE(m_log.has(kTag, "amountOfDataToArchive:10000 FileSize:5096 FileSystemBlockSize:4096"));
  EXPECT_TRUE(m_log.has(kTag, "To be migrated..." + m_file + " AmountOfDAtaToArchiveMore : 9000."));
  EXPECT_TRUE(m_log.has(kTag, "amountOfDataToArchive: 9000 fsBlockSize: 4096 volume: /vol"));

  // A file of exactly one block frees nothing: no write-back.
  m_h->m_rules.m_bSkipSmallerThanFsBlock = false;
  m_log.clear();
  EXPECT_EQ(decide(record(4096)), 1);
  EXPECT_EQ(budget(), 9000);
  EXPECT_EQ(m_log.count("amountOfDataToArchive: 9000 fsBlockSize: 4096 volume: /vol"), 1u);

  // Smaller than a block: the stub is larger than the file, the budget grows.
  EXPECT_EQ(decide(record(96)), 1);
  EXPECT_EQ(budget(), 13000);
}

TEST_F(CandidateTest, TheFileThatCrossesZeroIsStillCollected) {
  fakeLowLevel();  // the record below names inode 77, which the real inspection would refuse
  m_h->m_mapAmountToArchive[m_vol] = 100;
  struct stat st = record(4196);
  st.st_ino = 77;
  EXPECT_EQ(decide(st), 1);
  EXPECT_EQ(budget(), 0);
  const LogLine* l =
      m_log.find("Required space freed on  /vol.Remaining files will not be archived");
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(l->kind, tqhsm::LogKind::Error);
  EXPECT_FALSE(m_h->MoreFilesToArchive(m_vol));
  // Below zero as well.
  EXPECT_EQ(decide(record(8192)), 1);
  EXPECT_EQ(budget(), -4096);
  EXPECT_EQ(collected(), (std::vector<std::string>{line(m_file, 77),
                                                   line(m_file, StatOf(m_file).st_ino)}));
  EXPECT_EQ(m_h->m_ulFilesCollected, 2u);
}

TEST_F(CandidateTest, InspectedCandidatesThatAreNotCollectedKeepTheBudget) {
  FakeLowLevel* ll = fakeLowLevel();
  struct Case {
    int rc;
    bool stub;
    int state;
    int expected;
    const char* message;
    TQHSMReason why;
  };
  const Case cases[] = {
      {-1, false, 0, 0, "GetFileInfo failed. Skipping file:", TQHSMReason::kInspectionFailed},
      {0, false, 1, 0, "Skipping open file: ", TQHSMReason::kOpen},
      // archiver retention off: the stub stays
      {0, true, 0, 2, "Skipping Orrery Stub ", TQHSMReason::kStubKept},
      {0, false, 3, 1, nullptr, TQHSMReason::kCollected},  // open state unknown: collected
  };
  for (const Case& c : cases) {
    ll->infoRc = c.rc;
    ll->infoStub = c.stub;
    ll->infoState = c.state;
    m_h->m_mapAmountToArchive[m_vol] = 100000;
    m_log.clear();
    EXPECT_EQ(decide(record(5096)), c.expected);
    EXPECT_EQ(budget(), c.expected == 1 ? 99000 : 100000);
    EXPECT_EQ(m_h->LastReason(), c.why) << c.message;
    if (c.message) {
      EXPECT_TRUE(m_log.has(kTag, c.message + m_file)) << c.message;
    }
  }
  EXPECT_EQ(collected().size(), 1u);
}

TEST_F(CandidateTest, StubsArePrunedWhenTheirArchiveFileIsGone) {
  FakeArchive* archive = new FakeArchive();
  m_h->m_rules.m_pArchive = archive;
  m_h->m_nAppId = 5;
  m_h->m_sAppGUID = "app-guid-5";
  if (!PunchHoleWorks(m_tmp.path())) GTEST_SKIP() << "no punch-hole here";
  std::string why;
  ASSERT_TRUE(MakeStub(m_file, SampleStub(), 1600000000, false, &why)) << why;
  struct Case {
    bool honor;
    bool pruneCheck;
    int64_t size;  // 5000: a candidate; 100: not (block rule)
    bool pruned;
    int expected;
  };
  const Case cases[] = {
      {false, false, 100, true, 0},   // no prune check asked: not even looked at
      {false, true, 100, true, 2},    // asked, but pruning is off: the stub stays
      {true, false, 100, false, 2},   // retention forces the check; AF still there
      {false, false, 5000, true, 2},  // a candidate stub is always checked
      {true, false, 5000, true, 3},
  };
  for (const Case& c : cases) {
    m_h->m_rules.m_bHonorArchiverRetention = c.honor;
    m_h->m_rules.m_mapPrunedAF.clear();
    archive->pruned = c.pruned;
    m_log.clear();
    EXPECT_EQ(decide(record(c.size), true, false, c.pruneCheck), c.expected)
        << c.honor << c.pruneCheck << c.size;
    EXPECT_EQ(m_log.has(kTag, "Skipping Orrery Stub " + m_file), c.expected == 2);
    EXPECT_EQ(FileExists(m_file), c.expected != 3);
    EXPECT_EQ(budget(), 1000000000);
    const TQHSMReason why[] = {TQHSMReason::kNotAboveOneBlock, TQHSMReason::kNone,
                               TQHSMReason::kStubKept, TQHSMReason::kStubPruned};
    EXPECT_EQ(m_h->LastReason(), why[c.expected]) << c.honor << c.pruneCheck << c.size;
  }
  // A non-candidate that is not a stub: 0 after the look, for the rule's reason.
  m_file = m_tmp.write("plain", "x");
  m_h->m_rules.m_bHonorArchiverRetention = true;
  EXPECT_EQ(decide(record(100), true, false, true), 0);
  EXPECT_EQ(m_h->LastReason(), TQHSMReason::kNotAboveOneBlock);
  EXPECT_TRUE(collected().empty());
}

// A stub whose owner wrote new data into it is a plain file with a stale
// attribute: judged by the rules like any file, never deleted, its AF pruned
// or not; the next stubbing replaces the attribute.
TEST_F(CandidateTest, AStubRewrittenWithNewDataIsJudgedByTheRules) {
  if (!PunchHoleWorks(m_tmp.path())) GTEST_SKIP() << "no punch-hole here";
  FakeArchive* archive = new FakeArchive();
  archive->pruned = true;
  m_h->m_rules.m_pArchive = archive;
  m_h->m_rules.m_bHonorArchiverRetention = true;
  m_h->m_nAppId = 5;
  m_h->m_sAppGUID = "app-guid-5";
  m_file = m_tmp.write("stub", std::string(40000, 's'));
  std::string why;
  ASSERT_TRUE(MakeStub(m_file, SampleStub(), 1600000000, false, &why)) << why;
  // "head -c 8192 /dev/urandom > stub": the same inode, new data.
  {
    std::string data(8192, '\0');
    FILE* r = fopen("/dev/urandom", "r");
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(fread(&data[0], 1, data.size(), r), data.size());
    fclose(r);
    FILE* w = fopen(m_file.c_str(), "w");
    ASSERT_NE(w, nullptr);
    fwrite(data.data(), 1, data.size(), w);
    fclose(w);
  }
  std::string content = ReadFile(m_file);
  std::vector<char> stale;
  ASSERT_TRUE(GetStubXattr(m_file, stale));

  struct stat st = StatOf(m_file);
  st.st_atime = kInit - 400 * kDay;
  st.st_mtime = kInit - 400 * kDay;
  EXPECT_EQ(decide(st), 1);  // a candidate: collected
  m_h->m_rules.m_lDaysOld = 1000;  // now the rules turn it down; the prune check still looks
  EXPECT_EQ(decide(st, true, false, true), 0);
  EXPECT_EQ(m_h->PruneStub(m_file.c_str(), &st), -1);
  EXPECT_EQ(ReadFile(m_file), content);
  EXPECT_EQ(archive->asked, 0);  // its stale record is never even looked up
  EXPECT_EQ(collected(), std::vector<std::string>{line(m_file, st.st_ino)});
  EXPECT_FALSE(m_log.hasText("Skipping Orrery Stub " + m_file));

  // The archiving phase makes it a stub again: the stale attribute is replaced.
  ASSERT_TRUE(MakeStub(m_file, SampleStub(), 1700000000, false, &why)) << why;
  std::vector<char> fresh;
  ASSERT_TRUE(GetStubXattr(m_file, fresh));
  EXPECT_NE(fresh, stale);
  m_h->m_rules.m_lDaysOld = 0;
  EXPECT_EQ(decide(StatOf(m_file)), 3);  // an intact stub of a pruned AF
  EXPECT_FALSE(FileExists(m_file));
}

TEST_F(CandidateTest, DirectInspectionOffTheLocalScan) {
  TQHSMHelperInitArgs args;
  args.m_bIsProxy = true;  // a proxy alone sees no stubs
  makeHelper(args);
  m_h->m_rules.m_bHonorArchiverRetention = true;
  if (!PunchHoleWorks(m_tmp.path())) GTEST_SKIP() << "no punch-hole here";
  std::string why;
  ASSERT_TRUE(MakeStub(m_file, SampleStub(), 1600000000, false, &why)) << why;
  EXPECT_EQ(decide(record(100), true, false, true), 0);
  EXPECT_EQ(decide(record(5000)), 1);  // collected, stub or not

  args.m_bIsProxy = false;
  args.m_nRemoteClientId = 9;  // a remote client's stubs are never pruned here
  makeHelper(args);
  EXPECT_EQ(decide(record(100), true, false, true), 2);
  EXPECT_EQ(decide(record(5000)), 2);
  EXPECT_TRUE(FileExists(m_file));
}

TEST_F(CandidateTest, InodeZeroIsCollectedAsAllOnes) {
  struct stat st = record(5000);
  st.st_ino = 0;
  EXPECT_EQ(decide(st), 1);
  collected();
  EXPECT_EQ(ReadFile(m_tmp.file("StubCollect")), "|" + m_file + ":-1|0|\n");
}

TEST_F(CandidateTest, DataClassificationLooksTheInodeUp) {
  TQHSMHelperInitArgs args;
  args.m_bUseDC = true;
  makeHelper(args);
  struct stat st = record(5000);
  st.st_ino = 5;
  EXPECT_EQ(decide(st, true, false), 1);  // no re-stub check asked: as given
  EXPECT_EQ(decide(st, true, true), 1);
  ino_t real = StatOf(m_file).st_ino;
  EXPECT_EQ(collected(), (std::vector<std::string>{line(m_file, 5), line(m_file, real)}));
  EXPECT_TRUE(m_log.has(kTag, "Doing stat on " + m_file + " to find out inode"));
  EXPECT_TRUE(m_log.has(kTag, "inode:" + std::to_string(real)));
  EXPECT_TRUE(m_log.has(kTag, "m_bUseDC:1 bReStubCheck:1"));
}

// On a native snapshot the live mount point's device number replaces the
// snapshot's; it is looked up once per change of volume (process-wide).
TEST_F(CandidateTest, NativeSnapshotDeviceIsRefreshedAtAChangeOfVolume) {
  TQHSMHelperInitArgs args;
  args.m_bUseNativeSnap = true;
  args.m_llSnapCollectArg = 3;
  makeHelper(args);
  TempDir volA, volB;
  std::string a = volA.path(), b = volB.path();
  for (const std::string& v : {a, b}) {
    m_h->m_mapAmountToArchive[v] = 1000000;
    m_h->m_mapFsBlockSize[v] = 4096;
  }
  CountingFs fs;
  tqhsm::ScopedBackend<tqhsm::FileSystem> scope(&fs);
  const std::vector<std::string> order = {a, a, b, b, a};
  for (const std::string& v : order) {
    struct stat st = record(5000);
    st.st_dev = 12345;
    std::string vol = v;
    EXPECT_EQ(m_h->IsDMCandidate(m_file.c_str(), &st, vol, true, false, false), 1);
    EXPECT_EQ(st.st_dev, StatOf(v).st_dev);
  }
  EXPECT_EQ(std::count(fs.stats.begin(), fs.stats.end(), a), 2);
  EXPECT_EQ(std::count(fs.stats.begin(), fs.stats.end(), b), 1);
  m_h->m_stubCollect.DeInitialize();
  std::vector<HSMCollectFile> records = ReadRecords(m_tmp.file("StubCollect"));
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[0].m_llNumber, 3);
}

// A candidate with a current cached stub goes to StubCollectTemp; when that
// cannot be written, re-stubbing stops for the rest of the run and the file
// lands in StubCollect.
TEST_F(CandidateTest, CachedStubsSendCandidatesToStubCollectTemp) {
  TempDir cache;
  m_h->m_rules.m_bStubCacheEnabled = true;
  m_h->m_rules.m_sStubCacheLocation = cache.path();
  struct stat st = record(5000);
  std::string cached = getCacheFname(m_vol.c_str(), &st, cache.path());
  std::vector<char> bytes = StubBytes(SampleStub());
  cache.write(cached.substr(cache.path().size() + 1), std::string(bytes.begin(), bytes.end()));
  SetTimes(cached, st.st_mtime, st.st_mtime);

  EXPECT_EQ(decide(st), 1);
  EXPECT_TRUE(m_h->m_bReStubbingEnabled);
  EXPECT_EQ(m_h->LastReason(), TQHSMReason::kSentForReStubbing);
  m_h->m_tempCollect.DeInitialize();
  EXPECT_EQ(ReadEntries(m_h->m_sTempCollectPath),
            std::vector<std::string>{line(m_file, st.st_ino) + "|" + cached});

  // The temp collect file is closed now: the write fails, and what the file
  // held goes to StubCollect ahead of the failing entry.
  EXPECT_EQ(decide(st), 1);
  EXPECT_FALSE(m_h->m_bReStubbingEnabled);
  EXPECT_EQ(m_h->LastReason(), TQHSMReason::kCollected);  // it went to StubCollect
  EXPECT_EQ(decide(st), 1);  // straight to StubCollect
  EXPECT_EQ(collected(), std::vector<std::string>(3, line(m_file, st.st_ino)));
  EXPECT_TRUE(m_log.has(kTag, "m_bReStubbingEnabled:0 bCheckForRestubbing:1"));
}

TEST_F(CandidateTest, CounterTimesEveryCall) {
  m_h->m_perf.m_bEnabled = true;
  m_h->m_perf.AddPerfCounter(ePerfIsDMCandidate, "IsDMCandidate", PerfCounter::eCtrBaseDefault,
                             false);
  decide(record(100));
  decide(record(5000));
  m_h->m_bRulesInitialized = false;
  decide(record(5000));
  PerfCounter::Totals t;
  ASSERT_TRUE(m_h->m_perf.GetTotals(ePerfIsDMCandidate, t));
  EXPECT_EQ(t.calls, 3u);
}
