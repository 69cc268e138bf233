// The scan runs as root over trees that ordinary users own and change while it
// runs. Here the test user plays the owner of a tree and swaps directories and
// files for links and FIFOs, or plants forged stub records, exactly between
// the scan's inspection of a file and its act on it (driven through the
// HSMStore seam's hooks, so every run takes the same path). Nothing outside
// the user's tree may be deleted, punched, opened or collected, and nothing
// the user could not already change.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CaptureLog.h"
#include "FetchIndexInfo.h"
#include "HSMStore.h"
#include "HelperSetup.h"
#include "StubCache.h"
#include "StubFiles.h"
#include "StubFormat.h"
#include "TempDir.h"
#include "TestUser.h"

using namespace tqhsm::test;

namespace {

const int64_t kDay = 86400;

// Runs an action once, right before the n-th call of one kind goes through.
class HookStore : public tqhsm::HSMStoreWrapper {
 public:
  void arm(const std::string& call, int nth, std::function<void()> action) {
    m_sCall = call;
    m_nLeft = nth;
    m_action = std::move(action);
    m_bFired = false;
    opened.clear();
  }
  bool fired() const { return m_bFired; }
  std::vector<std::string> opened;  // every path opened by path

  int open(const char* p, int f, mode_t m) override {
    hit("open");
    opened.push_back(p);
    return HSMStoreWrapper::open(p, f, m);
  }
  int openat2(int d, const char* p, const struct open_how* h, size_t s) override {
    hit("openat2");
    opened.push_back(p);
    return HSMStoreWrapper::openat2(d, p, h, s);
  }
  int fstatat(int d, const char* p, struct stat* st, int f) override {
    hit("fstatat");
    return HSMStoreWrapper::fstatat(d, p, st, f);
  }
  ssize_t fgetxattr(int fd, const char* n, void* v, size_t s) override {
    hit("fgetxattr");
    return HSMStoreWrapper::fgetxattr(fd, n, v, s);
  }
  int fsync(int fd) override {
    hit("fsync");
    return HSMStoreWrapper::fsync(fd);
  }

 private:
  void hit(const char* call) {
    if (m_bFired || m_sCall != call || --m_nLeft > 0) return;
    m_bFired = true;
    m_action();
  }
  std::string m_sCall;
  int m_nLeft = 0;
  std::function<void()> m_action;
  bool m_bFired = false;
};

class FakeArchive : public OBArchive {
 public:
  explicit FakeArchive(bool pruned) : OBArchive("client", nullptr, true), m_bPruned(pruned) {}
  int getAfileCopy(OBA_GetCopyIdByAfileCopyPrec50Req_t&,
                   OBA_GetCopyIdByAfileCopyPrec50Resp_t& r) override {
    r.copyId = m_bPruned ? 0 : 1;
    return 0;
  }
  bool m_bPruned;
};

// Every stub GUID is known, in AF 2:1:4711.
class KnowingIndex : public tqhsm::IndexService {
 public:
  int init(FetchIndexInfo&, const std::string&, uint32_t, uint32_t, uint32_t, uint32_t) override {
    return 0;
  }
  int lookup(FetchIndexInfo&, const std::list<MetaData>& keys, FetchIndexInfoSendRes* sink) override {
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

// The tree: <dir>/user (the test user's, with dir/ below it), <dir>/secret
// (root's, 0700, with dir/ below it: what a link in the user's tree may point
// to), <dir>/results and <dir>/cache (root's).
class AttackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TQHSM_REQUIRE_TEST_USER();
    if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "no punch-hole here";
    ASSERT_EQ(chmod(m_dir.path().c_str(), 0755), 0);
    for (const char* d : {"user", "user/dir", "secret", "secret/dir", "results", "cache"})
      ASSERT_EQ(mkdir(m_dir.file(d).c_str(), 0755), 0) << d;
    ASSERT_EQ(chmod(m_dir.file("secret").c_str(), 0700), 0);
    ASSERT_TRUE(TestUser::Chown(m_dir.file("user")));
    m_h = MakeReadyHelper(m_args, m_dir.file("results"));
    m_h->m_rules.m_ulRulesFlag = 0;
    m_h->m_rules.m_bSkipSmallerThanFsBlock = false;
    m_h->m_tInitTime = time(nullptr) + kDay;
    m_h->m_mapAmountToArchive[m_vol] = 1LL << 40;
    m_h->m_mapFsBlockSize[m_vol] = 4096;
    m_h->m_nAppId = 5;
    m_h->m_sAppGUID = "app-guid-5";
    setArchive(true);
    m_h->m_rules.m_bHonorArchiverRetention = true;
    m_h->m_rules.m_bStubCacheEnabled = true;
    m_h->m_rules.m_sStubCacheLocation = m_dir.file("cache");
  }

  // The archive manager: every AF pruned, or none (the rules own it).
  void setArchive(bool pruned) {
    delete m_h->m_rules.m_pArchive;
    m_h->m_rules.m_pArchive = new FakeArchive(pruned);
  }
  std::string user(const std::string& name) { return m_dir.file("user/" + name); }
  std::string secret(const std::string& name) { return m_dir.file("secret/" + name); }

  // A file of the test user's with a pattern of size bytes.
  std::string userFile(const std::string& name, size_t size) {
    std::string f = user(name);
    WritePattern(f, size);
    TestUser::Chown(f);
    return f;
  }
  // Root's file of the same name below secret/, a genuine intact stub when stub.
  std::string secretFile(const std::string& name, size_t size, bool stub) {
    std::string f = secret(name);
    WritePattern(f, size);
    chmod(f.c_str(), 0600);
    std::string why;
    if (stub) {
      EXPECT_TRUE(MakeStub(f, SampleStub(), 1600000000, false, &why)) << why;
    }
    return f;
  }
  // As the test user: user/dir goes to user/dir.old, and a link to secret/dir
  // takes its place.
  void swapDirForLink() {
    std::string dir = user("dir"), old = user("dir.old"), target = secret("dir");
    int rc = TestUser::Run([&]() {
      if (rename(dir.c_str(), old.c_str()) != 0) return 1;
      return symlink(target.c_str(), dir.c_str()) == 0 ? 0 : 2;
    });
    ASSERT_EQ(rc, 0) << "the test user could not swap " << dir;
  }
  int decide(const std::string& path, bool candidate, bool pruneCheck = false) {
    struct stat st;
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    m_h->m_rules.m_lDaysOld = candidate ? 0 : 100000;
    return m_h->IsDMCandidate(path.c_str(), &st, m_vol, true, false, pruneCheck);
  }
  std::vector<std::string> collected() {
    m_h->m_stubCollect.DeInitialize();
    return ReadEntries(m_dir.file("results/StubCollect"));
  }
  static bool HasBlocks(const std::string& f) { return StatOf(f).st_blocks * 512 >= 16384; }

  CaptureLog m_log;
  TempDir m_dir;
  TQHSMHelperInitArgs m_args;
  std::unique_ptr<TQHSMHelper> m_h;
  std::string m_vol = "/vol";
  HookStore m_store;
  tqhsm::ScopedBackend<tqhsm::HSMStore> m_storeScope{&m_store};
};

}  // namespace

// Between the inspection that found a stub of a pruned AF and its delete, a
// directory of the path becomes a link to a directory of root's holding a
// stub of the same name: root's stub survives.
TEST_F(AttackTest, PruneStubNeverDeletesThroughASwappedDirectory) {
  struct Case {
    const char* name;
    const char* call;  // the swap happens right before this call
    int nth;
    int result;
  };
  const Case cases[] = {
      // After the inspection, before PruneStub opens the stub's directory:
      // the link is refused, the stub stays (result 2).
      {"before the open", "openat2", 1, 2},
      // After PruneStub read the stub, before the name is checked and
      // deleted: the delete goes to the directory opened (the user's own
      // stub, wherever it is now).
      {"before the delete", "fstatat", 1, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    system(("rm -rf '" + user("dir") + "' '" + user("dir.old") + "'").c_str());
    ASSERT_EQ(mkdir(user("dir").c_str(), 0755), 0);
    std::string stub = userFile("dir/stub", 40000);
    std::string why;
    ASSERT_TRUE(MakeStub(stub, SampleStub(), 1600000000, false, &why)) << why;
    TestUser::Chown(user("dir"));
    std::string rootStub = secretFile("dir/stub", 40000, true);
    m_store.arm(c.call, c.nth, [this]() { swapDirForLink(); });
    m_log.clear();
    EXPECT_EQ(decide(stub, false, true), c.result);
    EXPECT_TRUE(m_store.fired());
    EXPECT_TRUE(FileExists(rootStub));
    EXPECT_EQ(FileExists(user("dir.old/stub")), c.result != 3);
    if (c.result == 2) {
      bool said = false;
      for (const LogLine& l : m_log.lines)
        said |= l.level == 1 && l.text.find("it changed under the scan") != std::string::npos;
      EXPECT_TRUE(said);
    }
    m_store.arm("", 0, nullptr);
  }
}

// A candidate queued for re-stubbing; before the pass punches it, a directory
// of its path becomes a link to root's directory holding a file of the same
// name, size and time: root's file keeps its blocks and its data.
TEST_F(AttackTest, ReStubbingNeverPunchesThroughASwappedDirectory) {
  KnowingIndex index;
  tqhsm::ScopedBackend<tqhsm::IndexService> indexScope(&index);
  setArchive(false);
  struct Case {
    const char* name;
    const char* call;
    int nth;
    bool stubbed;  // the user's own file became the stub
  };
  const Case cases[] = {
      {"before the pass opens it", "openat2", 1, false},
      {"after the open, before the punch", "fsync", 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    system(("rm -rf '" + user("dir") + "' '" + user("dir.old") + "'").c_str());
    ASSERT_EQ(mkdir(user("dir").c_str(), 0755), 0);
    std::string f = userFile("dir/data", 40000);
    TestUser::Chown(user("dir"));
    SetTimes(f, 1600000000, 1600000000);
    std::string rootFile = secretFile("dir/data", 40000, false);
    SetTimes(rootFile, 1600000000, 1600000000);
    std::string rootData = ReadFile(rootFile);
    // Its cached stub, current for it.
    struct stat st = StatOf(f);
    std::string cached = getCacheFname(f.c_str(), &st, m_dir.file("cache"));
    ReparseData r = SampleStub();
    r.originalSize = 40000;
    std::vector<char> bytes = StubBytes(r);
    m_dir.write(cached.substr(m_dir.path().size() + 1), std::string(bytes.begin(), bytes.end()));
    SetTimes(cached, 1600000000, 1600000000);
    m_h = MakeReadyHelper(m_args, m_dir.file("results"));
    m_h->m_rules.m_ulRulesFlag = 0;
    m_h->m_rules.m_bSkipSmallerThanFsBlock = false;
    m_h->m_tInitTime = time(nullptr) + kDay;
    m_h->m_mapAmountToArchive[m_vol] = 1LL << 40;
    m_h->m_nAppId = 5;
    m_h->m_sAppGUID = "app-guid-5";
    setArchive(false);
    m_h->m_rules.m_bStubCacheEnabled = true;
    m_h->m_rules.m_sStubCacheLocation = m_dir.file("cache");

    ASSERT_EQ(decide(f, true), 1);  // the walk's decision: to StubCollectTemp
    m_store.arm(c.call, c.nth, [this]() { swapDirForLink(); });
    m_log.clear();
    EXPECT_TRUE(m_h->ProcessFilesForReStubbing(nullptr));
    EXPECT_TRUE(m_store.fired());
    EXPECT_TRUE(HasBlocks(rootFile));
    EXPECT_EQ(ReadFile(rootFile), rootData);
    std::vector<char> attr;
    EXPECT_FALSE(GetStubXattr(rootFile, attr));
    std::string moved = user("dir.old/data");
    EXPECT_EQ(GetStubXattr(moved, attr), c.stubbed);
    std::vector<std::string> lines = collected();
    EXPECT_EQ(lines.size(), c.stubbed ? 0u : 1u);
    if (!c.stubbed) {
      EXPECT_EQ(lines[0], f + ":" + std::to_string(st.st_ino));
      EXPECT_TRUE(HasBlocks(moved));
    }
  }
}

// ProcessStubCache stat-s the file, then has it stubbed: a swap in between
// leaves root's file of the same name, size and time alone.
TEST_F(AttackTest, ProcessStubCacheNeverPunchesThroughASwappedDirectory) {
  setArchive(false);
  std::string f = userFile("dir/data", 40000);
  SetTimes(f, 1600000000, 1600000000);
  std::string rootFile = secretFile("dir/data", 40000, false);
  SetTimes(rootFile, 1600000000, 1600000000);
  std::string rootData = ReadFile(rootFile);
  struct stat st = StatOf(f);
  std::string cached = getCacheFname(f.c_str(), &st, m_dir.file("cache"));
  ReparseData r = SampleStub();
  r.originalSize = 40000;
  std::vector<char> bytes = StubBytes(r);
  m_dir.write(cached.substr(m_dir.path().size() + 1), std::string(bytes.begin(), bytes.end()));
  SetTimes(cached, 1600000000, 1600000000);
  m_store.arm("openat2", 1, [this]() { swapDirForLink(); });

  EXPECT_FALSE(m_h->ProcessStubCache(true, f.c_str(), nullptr));
  EXPECT_TRUE(m_store.fired());
  EXPECT_TRUE(HasBlocks(rootFile));
  EXPECT_EQ(ReadFile(rootFile), rootData);
  std::vector<char> attr;
  EXPECT_FALSE(GetStubXattr(rootFile, attr));
  EXPECT_TRUE(HasBlocks(user("dir.old/data")));
  bool said = false;
  for (const LogLine& l : m_log.lines)
    said |= l.level == 1 && l.text.find("changed under the scan") != std::string::npos;
  EXPECT_TRUE(said);
}

// The candidate is replaced by a link to a root-only file right before the
// mandatory-lock test opens it: root never opens the target, and the file is
// no candidate.
TEST_F(AttackTest, ALinkInTheCandidatesPlaceIsNeverOpened) {
  std::string f = userFile("dir/locked", 40000);
  ASSERT_EQ(chmod(f.c_str(), 02644), 0);  // mandatory-lock marking: the lock test opens it
  std::string target = secretFile("dir/target", 100, false);
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, target.c_str(), IN_OPEN), 0);
  m_store.arm("open", 1, [&]() {
    ASSERT_EQ(TestUser::Run([&]() {
                unlink(f.c_str());
                return symlink(target.c_str(), f.c_str()) == 0 ? 0 : 1;
              }),
              0);
  });
  EXPECT_EQ(decide(f, true), 0);
  EXPECT_TRUE(m_store.fired());
  char buf[4096];
  EXPECT_LT(read(watch, buf, sizeof buf), 0) << "root opened the link's target";
  EXPECT_EQ(errno, EAGAIN);
  close(watch);
  EXPECT_TRUE(collected().empty());
}

// A FIFO where the walk saw a file, or a FIFO handed in as it is: never
// waited on, never a candidate.
TEST_F(AttackTest, AFifoIsNeverACandidateAndNeverBlocks) {
  alarm(60);  // a blocked open would end the test here, not hang the suite
  std::string f = userFile("dir/file", 40000);
  ASSERT_EQ(chmod(f.c_str(), 02644), 0);
  m_store.arm("open", 1, [&]() {
    ASSERT_EQ(TestUser::Run([&]() {
                unlink(f.c_str());
                return mkfifo(f.c_str(), 02644) == 0 ? 0 : 1;
              }),
              0);
  });
  EXPECT_EQ(decide(f, true), 0);
  EXPECT_TRUE(m_store.fired());
  std::string fifo = user("dir/fifo");
  ASSERT_EQ(TestUser::Run([&]() { return mkfifo(fifo.c_str(), 0644); }), 0);
  EXPECT_EQ(decide(fifo, true), 0);
  EXPECT_EQ(decide(fifo, false, true), 0);
  EXPECT_TRUE(collected().empty());
  alarm(0);
}

// Forged records on another user's world-writable file in a directory the
// attacker cannot write, with the AF they name pruned: nothing is deleted,
// and the file is judged by the rules like any other.
TEST_F(AttackTest, ForgedStubRecordsMakeNothingHappen) {
  // A genuine stub of the attacker's, whose record can be copied.
  std::string own = userFile("dir/own", 40000);
  std::string why;
  ASSERT_TRUE(MakeStub(own, SampleStub(), 1600000000, false, &why)) << why;
  std::vector<char> genuine;
  ASSERT_TRUE(GetStubXattr(own, genuine));
  std::vector<char> flipped = genuine;
  flipped[20] ^= 0x01;
  struct Forgery {
    const char* name;
    std::vector<char> bytes;
  };
  const Forgery forgeries[] = {
      {"wrong key", StubBytesUnderKey(SampleStub(), "the attacker's own key, 32 bytes")},
      {"flipped byte", flipped},
      {"version 1 record", StubBytesV1(SampleStub())},
      {"genuine record copied from another file", genuine},
  };
  ASSERT_EQ(mkdir(m_dir.file("shared").c_str(), 0755), 0);  // root's: the attacker cannot write it
  int n = 0;
  for (const Forgery& f : forgeries) {
    SCOPED_TRACE(f.name);
    std::string victim = m_dir.write("shared/victim" + std::to_string(++n), std::string(40000, 'v'));
    ASSERT_EQ(chmod(victim.c_str(), 0666), 0);
    SetTimes(victim, 1600000000, 1600000000);  // the time the genuine record names
    std::vector<char> bytes = f.bytes;
    ASSERT_EQ(TestUser::Run([&]() {
                return setxattr(victim.c_str(), "user.OSTUB", bytes.data(), bytes.size(), 0) == 0
                           ? 0
                           : 1;
              }),
              0)
        << "the attacker could not set the attribute";
    m_log.clear();
    EXPECT_EQ(decide(victim, false, true), 0);  // not a stub: nothing to prune
    EXPECT_EQ(decide(victim, true), 1);         // a candidate by the rules
    EXPECT_EQ(ReadFile(victim), std::string(40000, 'v'));
    EXPECT_FALSE(m_log.hasText("Deleting stub " + victim + ", since its AF has been pruned"));
  }
  std::vector<std::string> lines = collected();
  EXPECT_EQ(lines.size(), 4u);
  // The attacker's own genuine stub is still the one thing pruned.
  EXPECT_TRUE(FileExists(own));
}
