// The batch stubbing API: many files stubbed with one round of syncs, each
// file checked and finished exactly as stubFile does it.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "CountdownFaults.h"
#include "HSMLowLevel.h"
#include "HSMStore.h"
#include "HSMStubBatch.h"
#include "ScratchMount.h"
#include "StubFiles.h"
#include "StubFormat.h"
#include "TempDir.h"

using namespace tqhsm::test;
using tqhsm::HSMStore;
using tqhsm::ScopedBackend;

namespace {

const time_t kTime = 1500000000;

// Records the calls that decide durability, in order, as "op <path>", and
// fails the syncs, the punch of chosen files, or the next opens.
class RecordingStore : public tqhsm::HSMStoreWrapper {
 public:
  std::vector<std::string> ops;
  std::set<std::string> failSyncOf, failPunchOf;
  bool failSyncfs = false;
  std::string failSyncfsUnder;  // only for descriptors of paths below this
  std::function<void(int)> onSyncfs;  // runs before a syncfs goes through
  int failOpens = 0;  // the next this many file opens fail with EMFILE

  int openat2(int dirfd, const char* path, const struct open_how* how, size_t size) override {
    if (failOpens > 0) {
      --failOpens;
      errno = EMFILE;
      return -1;
    }
    return HSMStoreWrapper::openat2(dirfd, path, how, size);
  }
  int fsetxattr(int fd, const char* n, const void* v, size_t s, int f) override {
    ops.push_back("setxattr " + CountdownFaults::pathOfFd(fd));
    return HSMStoreWrapper::fsetxattr(fd, n, v, s, f);
  }
  int fsync(int fd) override {
    std::string p = CountdownFaults::pathOfFd(fd);
    ops.push_back("fsync " + p);
    if (failSyncOf.count(p)) return errno = EIO, -1;
    return HSMStoreWrapper::fsync(fd);
  }
  int syncfs(int fd) override {
    ops.push_back("syncfs " + CountdownFaults::pathOfFd(fd));
    if (onSyncfs) onSyncfs(fd);
    std::string p = CountdownFaults::pathOfFd(fd);
    if (failSyncfs || (!failSyncfsUnder.empty() &&
                       p.compare(0, failSyncfsUnder.size() + 1, failSyncfsUnder + "/") == 0))
      return errno = EIO, -1;
    return HSMStoreWrapper::syncfs(fd);
  }
  int fallocate(int fd, int mode, off_t o, off_t l) override {
    std::string p = CountdownFaults::pathOfFd(fd);
    ops.push_back("punch " + p);
    if (failPunchOf.count(p)) return errno = EOPNOTSUPP, -1;
    return HSMStoreWrapper::fallocate(fd, mode, o, l);
  }
  int futimens(int fd, const struct timespec t[2]) override {
    ops.push_back("futimens " + CountdownFaults::pathOfFd(fd));
    return HSMStoreWrapper::futimens(fd, t);
  }
  size_t first(const std::string& op) const {
    for (size_t i = 0; i < ops.size(); ++i)
      if (ops[i].compare(0, op.size() + 1, op + " ") == 0) return i;
    return ops.size();
  }
  size_t last(const std::string& op) const {
    size_t at = ops.size();
    for (size_t i = 0; i < ops.size(); ++i)
      if (ops[i].compare(0, op.size() + 1, op + " ") == 0) at = i;
    return at;
  }
};

size_t OpenDescriptors() {
  size_t n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (d && readdir(d)) ++n;
  if (d) closedir(d);
  return n;
}

class StubBatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "no punch-hole in " << m_dir.path();
    std::string probe = m_dir.write("probe", "x");
    if (!SetStubXattr(probe, {'x'})) GTEST_SKIP() << "no user extended attributes here";
  }
  // A file of 20000 bytes and the reparse text of its stub.
  std::string file(const std::string& name) {
    std::string f = m_dir.file(name);
    WritePattern(f, 20000);
    return f;
  }
  std::string text() const {
    ReparseData r = SampleStub();
    r.originalSize = 20000;
    return tqhsm::FormatReparseText(r);
  }
  TQHSMLowLevel::Expect expectOf(const std::string& f) const {
    struct stat st = StatOf(f);
    TQHSMLowLevel::Expect e;
    e.dev = st.st_dev;
    e.ino = st.st_ino;
    e.bSize = true;
    e.size = st.st_size;
    e.bMtime = true;
    e.mtime = st.st_mtime;
    return e;
  }
  bool intact(const std::string& f) {
    TQHSMLowLevel* l = m_ctx.getByFileName(f.c_str());
    return l && l->isStubbed(f.c_str()) == 1 && StatOf(f).st_mtime == kTime;
  }

  TempDir m_dir;
  TQHSMLowLevelCtx m_ctx{0};
};

}  // namespace

// The whole point of a batch: no file loses a block before the stub data of
// every file are synced (one syncfs for the file system), and each punch is
// followed at once by its time.
TEST_F(StubBatchTest, EveryFileIsSyncedBeforeAnyIsReleased) {
  std::vector<std::string> files;
  for (int i = 0; i < 5; ++i) files.push_back(file("f" + std::to_string(i)));
  RecordingStore store;
  ScopedBackend<HSMStore> scope(&store);
  TQHSMStubBatch batch(8);
  for (const std::string& f : files) ASSERT_EQ(batch.add(f.c_str(), text().c_str(), kTime, -1, expectOf(f)), 0);
  EXPECT_EQ(batch.held(), 5u);
  EXPECT_EQ(store.ops.size(), 5u) << "nothing but the attributes before the commit";
  batch.commit();
  EXPECT_EQ(batch.held(), 0u);
  ASSERT_EQ(store.ops.size(), 5u + 1 + 2 * 5);
  EXPECT_EQ(store.ops[5], "syncfs " + files[0]);
  EXPECT_EQ(store.first("fsync"), store.ops.size());
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(store.ops[6 + 2 * i], "punch " + files[i]);
    EXPECT_EQ(store.ops[7 + 2 * i], "futimens " + files[i]);
    EXPECT_EQ(batch.outcome(i).result, 0) << batch.outcome(i).error;
    EXPECT_TRUE(intact(files[i])) << files[i];
    EXPECT_EQ(StatOf(files[i]).st_size, 20000);
  }
  // A batch of one syncs its file alone.
  std::string one = file("one");
  store.ops.clear();
  TQHSMStubBatch single;
  ASSERT_EQ(single.add(one.c_str(), text().c_str(), kTime, -1, expectOf(one)), 0);
  single.commit();
  EXPECT_EQ(store.ops, (std::vector<std::string>{"setxattr " + one, "fsync " + one, "punch " + one,
                                                 "futimens " + one}));
  EXPECT_TRUE(intact(one));
}

// A file refused when it is added is left as it was, with stubFile's result
// and text; the files around it in the batch are stubbed.
TEST_F(StubBatchTest, RefusedFilesAreLeftAloneAndTheOthersStubbed) {
  struct Case {
    const char* name;
    int result;
    const char* text;  // in the outcome's text
  };
  const Case cases[] = {
      {"good-1", 0, ""},
      {"written since", TQHSMLowLevel::eStubModified, " changed after the scan decided: its modification time is "},
      {"other inode", TQHSMLowLevel::eStubChanged, " changed under the scan: it is inode "},
      {"a link", TQHSMLowLevel::eStubChanged, " changed under the scan: A symbolic link is in the path of "},
      {"open elsewhere", TQHSMLowLevel::eStubOpen, " is open in another process"},
      {"other size", TQHSMLowLevel::eStubFailed,
       " (12345 bytes) differs from the stub's original size (20000 bytes)"},
      {"good-2", 0, ""},
  };
  std::vector<std::string> paths;
  std::vector<TQHSMLowLevel::Expect> expects;
  std::vector<std::string> contents;
  int holder = -1;
  for (const Case& c : cases) {
    std::string name = c.name;
    std::string f = file(name);
    TQHSMLowLevel::Expect e = expectOf(f);
    if (name == "written since") {
      SetTimes(f, 1, 1);
    } else if (name == "other inode") {
      WritePattern(f + ".new", 20000);
      ASSERT_EQ(rename((f + ".new").c_str(), f.c_str()), 0);
    } else if (name == "a link") {
      ASSERT_EQ(rename(f.c_str(), (f + ".real").c_str()), 0);
      ASSERT_EQ(symlink((f + ".real").c_str(), f.c_str()), 0);
    } else if (name == "open elsewhere") {
      holder = ::open(f.c_str(), O_RDONLY);
    } else if (name == "other size") {
      WritePattern(f, 12345);
      e = expectOf(f);
    }
    paths.push_back(f);
    expects.push_back(e);
    contents.push_back(ReadFile(f));
  }
  TQHSMStubBatch batch(16);
  for (size_t i = 0; i < paths.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(batch.add(paths[i].c_str(), text().c_str(), kTime, -1, expects[i]), cases[i].result);
  }
  EXPECT_EQ(batch.held(), 2u);
  batch.commit();
  if (holder >= 0) ::close(holder);
  for (size_t i = 0; i < paths.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    const TQHSMStubBatch::Outcome& o = batch.outcome(i);
    EXPECT_EQ(o.result, cases[i].result);
    if (cases[i].result == 0) {
      EXPECT_TRUE(intact(paths[i]));
      continue;
    }
    EXPECT_NE(o.error.find(paths[i] + cases[i].text), std::string::npos) << o.error;
    EXPECT_EQ(ReadFile(paths[i]), contents[i]);
    std::vector<char> attr;
    EXPECT_FALSE(GetStubXattr(paths[i], attr));
  }
}

// When the sync fails no file of the batch is known to be durable: all get
// back the attribute they had (or none) and keep their data. A punch that
// fails puts back only its own file.
TEST_F(StubBatchTest, AFailedSyncPutsEveryFileBackAFailedPunchOnlyItsOwn) {
  std::string a = file("a"), b = file("b"), c = file("c");
  ReparseData old = SampleStub();
  old.afileId = 99;
  std::vector<char> oldBytes = StubBytes(old);
  ASSERT_TRUE(SetStubXattr(b, oldBytes));  // a stale attribute of an earlier stubbing
  std::string aData = ReadFile(a), bData = ReadFile(b), cData = ReadFile(c);
  RecordingStore store;
  ScopedBackend<HSMStore> scope(&store);
  std::vector<char> attr;
  {
    store.failSyncfs = true;
    TQHSMStubBatch batch;
    for (const std::string& f : {a, b, c}) ASSERT_EQ(batch.add(f.c_str(), text().c_str(), kTime, -1, expectOf(f)), 0);
    batch.commit();
    const std::string files[] = {a, b, c};
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(batch.outcome(i).result, TQHSMLowLevel::eStubFailed);
      EXPECT_EQ(batch.outcome(i).error,
                "Cannot sync the stub data of " + files[i] + ": " + strerror(EIO));
    }
    EXPECT_EQ(store.first("punch"), store.ops.size());
    EXPECT_FALSE(GetStubXattr(a, attr));
    ASSERT_TRUE(GetStubXattr(b, attr));
    EXPECT_EQ(attr, oldBytes);
    EXPECT_FALSE(GetStubXattr(c, attr));
    EXPECT_EQ(ReadFile(a), aData);
    EXPECT_EQ(ReadFile(b), bData);
    EXPECT_EQ(ReadFile(c), cData);
  }
  store.failSyncfs = false;
  store.failPunchOf = {b};
  TQHSMStubBatch batch;
  for (const std::string& f : {a, b, c}) ASSERT_EQ(batch.add(f.c_str(), text().c_str(), kTime, -1, expectOf(f)), 0);
  batch.commit();
  EXPECT_EQ(batch.outcome(0).result, 0);
  EXPECT_EQ(batch.outcome(1).result, TQHSMLowLevel::eStubFailed);
  EXPECT_EQ(batch.outcome(1).error,
            "Cannot release the data blocks of " + b + ": " + strerror(EOPNOTSUPP));
  EXPECT_EQ(batch.outcome(2).result, 0);
  EXPECT_TRUE(intact(a));
  EXPECT_TRUE(intact(c));
  ASSERT_TRUE(GetStubXattr(b, attr));
  EXPECT_EQ(attr, oldBytes);
  EXPECT_EQ(ReadFile(b), bData);
}

// Files on two file systems: one syncfs for each; when one fails, only the
// files of that file system are put back.
TEST_F(StubBatchTest, EachFileSystemIsSyncedOnceAndFailsAlone) {
  ScratchMount other(ScratchMount::eExt4, 16 << 20);
  if (!other.ok()) GTEST_SKIP() << other.why();
  std::string a1 = file("a1"), a2 = file("a2");
  std::string b1 = other.path() + "/b1", b2 = other.path() + "/b2";
  for (const std::string& f : {b1, b2}) WritePattern(f, 20000);
  std::string b1Data = ReadFile(b1);
  RecordingStore store;
  store.failSyncfsUnder = other.path();
  ScopedBackend<HSMStore> scope(&store);
  TQHSMStubBatch batch;
  const std::string files[] = {a1, b1, a2, b2};
  for (const std::string& f : files) ASSERT_EQ(batch.add(f.c_str(), text().c_str(), kTime, -1, expectOf(f)), 0);
  batch.commit();
  std::vector<std::string> syncs;
  for (const std::string& op : store.ops)
    if (op.compare(0, 7, "syncfs ") == 0) syncs.push_back(op.substr(7));
  EXPECT_EQ(syncs, (std::vector<std::string>{a1, b1}));
  EXPECT_EQ(batch.outcome(0).result, 0);
  EXPECT_EQ(batch.outcome(2).result, 0);
  EXPECT_TRUE(intact(a1));
  EXPECT_TRUE(intact(a2));
  for (size_t i : {1u, 3u}) {
    EXPECT_EQ(batch.outcome(i).result, TQHSMLowLevel::eStubFailed);
    EXPECT_EQ(batch.outcome(i).error,
              "Cannot sync the stub data of " + files[i] + ": " + strerror(EIO));
    std::vector<char> attr;
    EXPECT_FALSE(GetStubXattr(files[i], attr));
  }
  EXPECT_EQ(ReadFile(b1), b1Data);
}

// Each file is looked at once more right before its punch: one written
// since its checks (through a lease the system took away, or on a file
// system without leases) is put back with its new data, not released.
TEST_F(StubBatchTest, AFileWrittenBeforeItsPunchIsPutBack) {
  std::string a = file("a"), b = file("b");
  RecordingStore store;
  // Stands for a writer that got in: the new bytes land through the held
  // descriptor of b, which is what the kernel sees from any writer.
  int bFd = -1;
  store.onSyncfs = [&](int) {
    for (int fd = 0; fd < 1024 && bFd < 0; ++fd)
      if (CountdownFaults::pathOfFd(fd) == b) bFd = fd;
    ASSERT_GE(bFd, 0);
    ASSERT_EQ(::pwrite(bFd, "new data", 8, 100), 8);
  };
  ScopedBackend<HSMStore> scope(&store);
  TQHSMStubBatch batch;
  for (const std::string& f : {a, b}) ASSERT_EQ(batch.add(f.c_str(), text().c_str(), kTime, -1, expectOf(f)), 0);
  batch.commit();
  EXPECT_EQ(batch.outcome(0).result, 0);
  EXPECT_TRUE(intact(a));
  EXPECT_EQ(batch.outcome(1).result, TQHSMLowLevel::eStubModified);
  EXPECT_EQ(batch.outcome(1).error, b + " changed while it was being stubbed");
  EXPECT_EQ(ReadFile(b).substr(100, 8), "new data");
  std::vector<char> attr;
  EXPECT_FALSE(GetStubXattr(b, attr));
  EXPECT_EQ(store.ops.end(), std::find(store.ops.begin(), store.ops.end(), "punch " + b));
}

// A batch given up before its commit changes nothing: attributes as they
// were, data kept, every descriptor closed.
TEST_F(StubBatchTest, ABatchNotCommittedPutsEverythingBack) {
  std::string a = file("a"), b = file("b");
  ReparseData old = SampleStub();
  old.afileId = 99;
  std::vector<char> oldBytes = StubBytes(old);
  ASSERT_TRUE(SetStubXattr(b, oldBytes));
  std::string aData = ReadFile(a);
  size_t fds = OpenDescriptors();
  {
    TQHSMStubBatch batch;
    ASSERT_EQ(batch.add(a.c_str(), text().c_str(), kTime, -1, expectOf(a)), 0);
    ASSERT_EQ(batch.add(b.c_str(), text().c_str(), kTime, -1, expectOf(b)), 0);
    EXPECT_EQ(OpenDescriptors(), fds + 2);
  }
  EXPECT_EQ(OpenDescriptors(), fds);
  std::vector<char> attr;
  EXPECT_FALSE(GetStubXattr(a, attr));
  ASSERT_TRUE(GetStubXattr(b, attr));
  EXPECT_EQ(attr, oldBytes);
  EXPECT_EQ(ReadFile(a), aData);
  EXPECT_GT(StatOf(a).st_blocks * 512, 16384);
}

// A batch never holds more than a quarter of the descriptor limit, and one
// that runs out of descriptors says so without losing the file.
TEST_F(StubBatchTest, DescriptorsAreBounded) {
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit low = saved;
  low.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  size_t at64 = TQHSMStubBatch::CapacityFor(256);
  low.rlim_cur = 2;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  size_t at2 = TQHSMStubBatch::CapacityFor(256);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(at64, 16u);
  EXPECT_EQ(at2, 1u);
  if (saved.rlim_cur >= 1024) {
    EXPECT_EQ(TQHSMStubBatch::CapacityFor(256), 256u);
  }

  std::string a = file("a"), b = file("b");
  RecordingStore store;
  ScopedBackend<HSMStore> scope(&store);
  TQHSMStubBatch batch(4);
  ASSERT_EQ(batch.add(a.c_str(), text().c_str(), kTime, -1, expectOf(a)), 0);
  store.failOpens = 1;
  EXPECT_EQ(batch.add(b.c_str(), text().c_str(), kTime, -1, expectOf(b)), TQHSMStubBatch::eNoDescriptor);
  EXPECT_EQ(batch.size(), 1u);
  batch.commit();
  batch.clear();
  EXPECT_EQ(batch.add(b.c_str(), text().c_str(), kTime, -1, expectOf(b)), 0);
  batch.commit();
  EXPECT_TRUE(intact(a));
  EXPECT_TRUE(intact(b));
  // Empty, a batch out of descriptors refuses the file like stubFile would.
  TQHSMStubBatch empty(4);
  std::string c = file("c");
  store.failOpens = 1;
  EXPECT_EQ(empty.add(c.c_str(), text().c_str(), kTime, -1, expectOf(c)), TQHSMLowLevel::eStubFailed);
  EXPECT_NE(empty.outcome(0).error.find(strerror(EMFILE)), std::string::npos);
}
