#include <gtest/gtest.h>

#include <cerrno>

#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "CaptureLog.h"
#include "FaultyFileSystem.h"
#include "FileUtf.h"
#include "HelperSetup.h"
#include "TempDir.h"

using namespace tqhsm::test;
using tqhsm::test::FaultyFileSystem;

namespace {

const char* kCollectTag = "TQHSMTurboHelper::AddToCollect";

class QuittingJob : public OBJobCtrlClient {
 public:
  int checkQuitFlag() override { return 1; }
  void finishedWork(int code) override { codes.push_back(code); }
  std::vector<int> codes;
};

class HelperCollectTest : public ::testing::Test {
 protected:
  void SetUp() override { m_h = MakeReadyHelper(m_args, m_dir.path()); }
  std::string collectPath() const { return m_dir.file("StubCollect"); }
  std::string tempPath() const { return m_dir.file("StubCollect_temp"); }
  // Closes both writers so that their lines are on disk.
  void flush() {
    m_h->m_stubCollect.DeInitialize();
    m_h->m_tempCollect.DeInitialize();
  }

  CaptureLog m_log;
  TempDir m_dir;
  TQHSMHelperInitArgs m_args;
  std::unique_ptr<TQHSMHelper> m_h;
};

}  // namespace

TEST_F(HelperCollectTest, LineLayoutsOfBothFiles) {
  std::string cached = "/sc/1";
  EXPECT_EQ(m_h->AddToCollect("/fs/a", true, 12), 1);
  EXPECT_TRUE(m_h->AddToTempCollect("/fs/a", true, 12, cached));
  flush();
  EXPECT_EQ(ReadFile(collectPath()), "|/fs/a:12|0|\n");
  EXPECT_EQ(ReadFile(tempPath()), "|/fs/a:12|/sc/1|0|\n");
  EXPECT_EQ(m_h->m_ulFilesCollected, 1u);
  EXPECT_TRUE(m_log.has("TQHSMHelper::AddToTempCollect",
                        "Adding file [/fs/a], entry [/fs/a:12|/sc/1] to TempCollect, to be "
                        "processed later for re-stubbing."));
}

TEST_F(HelperCollectTest, SnapshotScanWritesHostPathsAndItsNumber) {
  TQHSMHelperInitArgs args;
  args.m_bUseNativeSnap = true;
  args.m_llSnapCollectArg = 9;
  PrefixPathMapper mapper("/snap", "/data");
  args.m_pPathMapper = &mapper;
  TempDir dir;
  std::unique_ptr<TQHSMHelper> h = MakeReadyHelper(args, dir.path());
  std::string cached = "/sc/2";
  EXPECT_EQ(h->AddToCollect("/snap/f", true, 7), 1);
  EXPECT_TRUE(h->AddToTempCollect("/snap/f", true, 7, cached));  // taken as given
  h->m_stubCollect.DeInitialize();
  h->m_tempCollect.DeInitialize();
  EXPECT_EQ(ReadFile(dir.file("StubCollect")), "|/data/f:7|9|\n");
  EXPECT_EQ(ReadFile(dir.file("StubCollect_temp")), "|/snap/f:7|/sc/2|9|\n");
}

TEST_F(HelperCollectTest, InodeSuffixes) {
  struct Case {
    unsigned long long inode;
    const char* collect;
    const char* temp;
  };
  const Case cases[] = {
      {12, "/f:12", "/f:12|c"},
      {0, "/f:0", "/f:0|c"},
      {2147483647ULL, "/f:2147483647", "/f:2147483647|c"},
      {2147483648ULL, "/f:-1", "/f:2147483648|c"},
      {4294967295ULL, "/f:-1", "/f:4294967295|c"},
      {~0ULL, "/f:-1", "/f:18446744073709551615|c"},
      {4294967296ULL + 5, "/f:4294967301", "/f:4294967301|c"},
  };
  std::string cached = "c";
  for (const Case& c : cases) {
    EXPECT_EQ(m_h->AddToCollect("/f", true, c.inode), 1);
    EXPECT_TRUE(m_h->AddToTempCollect("/f", true, c.inode, cached));
  }
  flush();
  std::vector<std::string> collect = ReadEntries(collectPath());
  std::vector<std::string> temp = ReadEntries(tempPath());
  ASSERT_EQ(collect.size(), sizeof cases / sizeof cases[0]);
  ASSERT_EQ(temp.size(), collect.size());
  for (size_t i = 0; i < collect.size(); ++i) {
    EXPECT_EQ(collect[i], cases[i].collect) << cases[i].inode;
    EXPECT_EQ(temp[i], cases[i].temp) << cases[i].inode;
  }
}

TEST_F(HelperCollectTest, HsmInternalDirectoriesAreSkipped) {
  std::string cached = "/sc/1";
  for (const char* p : {"/fs/x.tqfs_locksy/f", "/fs/.tqfs_restore/f", "/fs/a.tqfs_restore"}) {
    EXPECT_EQ(m_h->AddToCollect(p, true, 1), 1) << p;
    EXPECT_TRUE(m_h->AddToTempCollect(p, true, 1, cached)) << p;
  }
  flush();
  EXPECT_EQ(ReadFile(collectPath()), "");
  EXPECT_EQ(ReadFile(tempPath()), "");
  EXPECT_EQ(m_h->m_ulFilesCollected, 0u);
  EXPECT_EQ(m_log.count("Corivan ZUVU directories '.tqfs_restore' and '.tqfs_locks' skipped."), 3u);
  EXPECT_EQ(m_log.count("Corvina ZUVU directories '.tqfs_restore' and '.tqfs_locks' skipped."), 3u);
}

TEST_F(HelperCollectTest, NothingIsWrittenBeforeTheRulesOrWithoutAdd) {
  std::string cached = "/sc/1";
  EXPECT_EQ(m_h->AddToCollect("/fs/a", false, 1), 1);
  EXPECT_TRUE(m_h->AddToTempCollect("/fs/a", false, 1, cached));
  m_h->m_bRulesInitialized = false;
  EXPECT_EQ(m_h->AddToCollect("/fs/a", true, 1), 0);
  flush();
  EXPECT_EQ(ReadFile(collectPath()), "");
  EXPECT_EQ(ReadFile(tempPath()), "");
}

TEST_F(HelperCollectTest, QuitFlagIsReportedAndTheEntryStillWritten) {
  QuittingJob job;
  m_h->m_pJobCtrl = &job;
  EXPECT_EQ(m_h->AddToCollect("/fs/a", true, 3), 1);
  EXPECT_EQ(job.codes, std::vector<int>{120000});
  EXPECT_TRUE(m_log.has(kCollectTag, "Quit Flag set, exiting."));
  flush();
  EXPECT_EQ(ReadEntries(collectPath()), std::vector<std::string>{"/fs/a:3"});
}

// The limit message is process-wide, so every case that reaches a limit lives
// in this one test.
TEST_F(HelperCollectTest, LimitDropsEntriesAndIsReportedOncePerProcess) {
  const std::string msg =
      "Total [2] files collected >= limit of [2], not adding to stub collect";
  m_h->m_ulLimitStubCollect = 2;
  EXPECT_EQ(m_h->AddToCollect("/fs/1", true, 1), 1);
  EXPECT_EQ(m_h->AddToCollect("/fs/2", true, 2), 1);
  EXPECT_EQ(m_h->AddToCollect("/fs/3", true, 3), 1);
  EXPECT_EQ(m_h->AddToCollect("/fs/4", true, 4), 1);
  EXPECT_EQ(m_h->m_ulFilesCollected, 2u);

  TempDir other;
  TQHSMHelperInitArgs args;
  std::unique_ptr<TQHSMHelper> second = MakeReadyHelper(args, other.path());
  second->m_ulLimitStubCollect = 2;
  second->m_ulFilesCollected = 2;
  EXPECT_EQ(second->AddToCollect("/fs/5", true, 5), 1);
  flush();
  EXPECT_EQ(ReadEntries(collectPath()), (std::vector<std::string>{"/fs/1:1", "/fs/2:2"}));
  EXPECT_EQ(m_log.count(msg), 1u);
  const LogLine* line = m_log.find(msg);
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->level, 0);
}

TEST_F(HelperCollectTest, FailedStubCollectWriteRaisesTheEvent) {
  m_h->m_stubCollect.DeInitialize();  // every later write fails
  EXPECT_EQ(m_h->AddToCollect("/fs/a", true, 1), 0);
  EXPECT_EQ(m_h->m_ulFilesCollected, 0u);
  EXPECT_TRUE(m_log.has(kCollectTag, "Can not add '/fs/a' to collect file."));
  ASSERT_EQ(m_log.events.size(), 1u);
  EXPECT_EQ(m_log.events[0].id, 0x11000027u);
  EXPECT_EQ(m_log.events[0].jobId, 0);
  EXPECT_EQ(m_log.events[0].args, std::vector<std::string>{"/fs/a"});

  // A line break cannot be stored in the line layout: the same failure path.
  TempDir dir;
  TQHSMHelperInitArgs args;
  std::unique_ptr<TQHSMHelper> h = MakeReadyHelper(args, dir.path());
  EXPECT_EQ(h->AddToCollect("/fs/a\nb", true, 1), 0);
  EXPECT_EQ(h->m_ulFilesCollected, 0u);
}

TEST_F(HelperCollectTest, FailedTempWriteMovesTheFileAndTheEntryToStubCollect) {
  std::string cached = "/sc/1";
  ASSERT_TRUE(m_h->AddToTempCollect("/fs/a", true, 10, cached));
  ASSERT_TRUE(m_h->AddToTempCollect("/fs/b", true, 11, cached));
  m_h->m_tempCollect.DeInitialize();  // every later write fails
  EXPECT_FALSE(m_h->AddToTempCollect("/fs/c", true, 12, cached));
  EXPECT_FALSE(m_h->m_bReStubbingEnabled);
  EXPECT_TRUE(m_log.has("TQHSMHelper::AddToTempCollect", "Could not add '/fs/c' to temp collectFile."));
  // Re-stubbing is off: nothing would ever read StubCollectTemp again.
  EXPECT_FALSE(FileExists(tempPath()));
  EXPECT_FALSE(m_h->ProcessFilesForReStubbing(nullptr));
  m_h->m_stubCollect.DeInitialize();
  EXPECT_EQ(ReadEntries(collectPath()),
            (std::vector<std::string>{"/fs/a:10", "/fs/b:11", "/fs/c:12"}));
  // Every line in StubCollect is counted, the fall-back line too.
  EXPECT_EQ(m_h->m_ulFilesCollected, 3u);
  EXPECT_EQ(m_h->TempCandidatesLost(), 0u);

  // A cached-stub path with '|' could not be split off again: refused the same way.
  TempDir dir;
  TQHSMHelperInitArgs args;
  std::unique_ptr<TQHSMHelper> h = MakeReadyHelper(args, dir.path());
  std::string odd = "/sc/a|b";
  EXPECT_FALSE(h->AddToTempCollect("/fs/b", true, 13, odd));
  h->m_stubCollect.DeInitialize();
  EXPECT_FALSE(FileExists(dir.file("StubCollect_temp")));
  EXPECT_EQ(ReadFile(dir.file("StubCollect")), "|/fs/b:13|0|\n");
  EXPECT_EQ(h->m_ulFilesCollected, 1u);
}

TEST_F(HelperCollectTest, TempLinesAWriteLostAreStillCollected) {
  // Lines long enough to fill the writer's buffer: the second one makes it
  // write the first, which fails; the first was acknowledged already.
  FaultyFileSystem fs;
  fs.failAt(FaultyFileSystem::ePwrite, 1, EIO, true, 0, "StubCollect_temp");
  tqhsm::ScopedBackend<tqhsm::FileSystem> scope(&fs);
  std::string cached = "/sc/1";
  std::string a = "/fs/" + std::string(40000, 'a');
  std::string b = "/fs/" + std::string(40000, 'b');
  ASSERT_TRUE(m_h->AddToTempCollect(a.c_str(), true, 1, cached));
  EXPECT_FALSE(m_h->AddToTempCollect(b.c_str(), true, 2, cached));
  EXPECT_FALSE(m_h->m_bReStubbingEnabled);
  m_h->m_stubCollect.DeInitialize();
  std::vector<std::string> entries = ReadEntries(collectPath());
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_TRUE(entries[0] == a + ":1" && entries[1] == b + ":2");
  EXPECT_EQ(m_h->m_ulFilesCollected, 2u);
  EXPECT_EQ(m_h->TempCandidatesLost(), 0u);
}

TEST_F(HelperCollectTest, EveryRefusedCandidateIsCountedAndNamed) {
  FaultyFileSystem fs;
  fs.failAt(FaultyFileSystem::eFallocate, 1, ENOSPC, true, 0, "StubCollect");
  tqhsm::ScopedBackend<tqhsm::FileSystem> scope(&fs);
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(m_h->AddToCollect(("/fs/" + std::to_string(i)).c_str(), true, 7), 0);
  EXPECT_EQ(m_h->m_ulFilesCollected, 0u);
  EXPECT_EQ(m_h->CandidatesNotCollected(), 5u);
  EXPECT_EQ(m_log.count("Can not add '/fs/3' to collect file."), 1u);
  EXPECT_EQ(m_log.events.size(), 5u);
}

TEST_F(HelperCollectTest, ALateStubCollectErrorIsLoggedAndKeptForTheOwner) {
  FaultyFileSystem fs;
  fs.failAt(FaultyFileSystem::eFsync, 1, EIO, false, 0, "StubCollect");
  tqhsm::ScopedBackend<tqhsm::FileSystem> scope(&fs);
  m_h->m_tempCollect.DeInitialize();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(m_h->AddToCollect("/fs/x", true, 1), 1);
  EXPECT_EQ(m_h->DeInitialize(0), 1);
  EXPECT_EQ(m_h->CollectLinesAffected(), 3u);
  EXPECT_EQ(m_h->CollectFileError(),
            "Failed to sync collect file " + collectPath() + ": " + strerror(EIO));
  const LogLine* l = m_log.find("StubCollect file " + collectPath() + " is not whole: " +
                                m_h->CollectFileError() +
                                "; 3 acknowledged lines may be missing or damaged");
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(l->kind, tqhsm::LogKind::Error);
  EXPECT_EQ(l->tag, "TQHSMHelper::DeInitialize");
}

TEST_F(HelperCollectTest, TempCandidatesOfAPassThatNeverRanAreCollected) {
  std::string cached = "/sc/1";
  ASSERT_TRUE(m_h->AddToTempCollect("/fs/a", true, 10, cached));
  EXPECT_EQ(m_h->DeInitialize(0), 1);
  EXPECT_EQ(ReadEntries(collectPath()), std::vector<std::string>{"/fs/a:10"});
  EXPECT_FALSE(FileExists(tempPath()));
  EXPECT_TRUE(m_log.hasText("Total [1] archive candidates collected"));
}

TEST_F(HelperCollectTest, TempCandidatesThatCannotBeReadBackAreReportedLost) {
  std::string cached = "/sc/1";
  ASSERT_TRUE(m_h->AddToTempCollect("/fs/a", true, 10, cached));
  ASSERT_TRUE(m_h->AddToTempCollect("/fs/b", true, 11, cached));
  // Something else takes the file's place after it was written (here a
  // FIFO), so its records cannot be read back.
  FaultyFileSystem fs;
  tqhsm::ScopedBackend<tqhsm::FileSystem> scope(&fs);
  class Swapping : public tqhsm::FileSystemWrapper {
   public:
    explicit Swapping(std::string path) : m_path(std::move(path)) {}
    int close(int fd) override {
      int rc = FileSystemWrapper::close(fd);
      if (!m_done) {
        m_done = true;
        unlink(m_path.c_str());
        mkfifo(m_path.c_str(), 0600);
      }
      return rc;
    }
    std::string m_path;
    bool m_done = false;
  } swapping(tempPath());
  tqhsm::ScopedBackend<tqhsm::FileSystem> swap(&swapping);
  EXPECT_FALSE(m_h->ProcessFilesForReStubbing(nullptr));
  EXPECT_EQ(m_h->TempCandidatesLost(), 2u);
  EXPECT_TRUE(m_log.hasText("2 candidates of StubCollectTemp " + tempPath() +
                            " could not be read back (cannot be opened); they are neither "
                            "collected nor re-stubbed"));
  EXPECT_TRUE(m_log.hasText("Refusing to use " + tempPath() + ": it is a FIFO"));
}

TEST_F(HelperCollectTest, LongPathsAreWrittenWhole) {
  std::string longPath = "/fs/" + std::string(5000, 'p') + "/f";
  std::string cached = "/sc/" + std::string(3000, 'c');
  EXPECT_EQ(m_h->AddToCollect(longPath.c_str(), true, 42), 1);
  EXPECT_TRUE(m_h->AddToTempCollect(longPath.c_str(), true, 42, cached));
  flush();
  EXPECT_EQ(ReadEntries(collectPath()), std::vector<std::string>{longPath + ":42"});
  EXPECT_EQ(ReadEntries(tempPath()), std::vector<std::string>{longPath + ":42|" + cached});
}

TEST_F(HelperCollectTest, TempRecordsMoveToStubCollectWithTheirInode) {
  std::string longPath = "/fs/" + std::string(2000, 'q');
  std::string cached = "/sc/9";
  // One record still buffered in the open writer ...
  ASSERT_TRUE(m_h->AddToTempCollect(longPath.c_str(), true, 5, cached));
  // ... and more already in the file (written as the re-stubbing pass rewrites it).
  FILE* f = fopen(m_dir.file("extra").c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("|/fs/a:b:77|/sc/1|0|\n", f);
  fputs("|/fs/x:18446744073709551615|/sc/2|0|\n", f);
  fputs("||/sc/3|0|\n", f);        // no ':' in the file part
  fputs("|nobar:5|0|\n", f);       // no '|' in the entry
  fputs("|/fs/n:12abc|/sc/4|0|\n", f);
  fclose(f);
  m_h->m_tempCollect.DeInitialize();
  std::string merged = ReadFile(tempPath()) + ReadFile(m_dir.file("extra"));
  m_dir.write("StubCollect_temp", merged);

  m_h->AddAllItemsFromTempCollectFile();
  EXPECT_FALSE(FileExists(tempPath()));
  m_h->m_stubCollect.DeInitialize();
  EXPECT_EQ(ReadEntries(collectPath()),
            (std::vector<std::string>{longPath + ":5", "/fs/a:b:77", "/fs/x:-1", "/fs/n:12"}));
  EXPECT_TRUE(m_log.has("TQHSMHelper::AddAllItemsFromTempCollectFile",
                        "Adding file_name:/fs/x and inode:9223372036854775807 to StubCollect"));
  EXPECT_TRUE(m_log.has("TQHSMHelper::AddAllItemsFromTempCollectFile", "temp_string:/fs/a:b:77"));
  EXPECT_EQ(m_h->m_ulFilesCollected, 4u);
}

TEST_F(HelperCollectTest, BufferedTempRecordsAreNotLostAndAMissingFileIsHarmless) {
  std::string cached = "/sc/1";
  ASSERT_TRUE(m_h->AddToTempCollect("/fs/a", true, 1, cached));
  m_h->AddAllItemsFromTempCollectFile();  // the writer is still open
  EXPECT_FALSE(FileExists(tempPath()));
  m_h->AddAllItemsFromTempCollectFile();  // nothing left
  m_h->m_stubCollect.DeInitialize();
  EXPECT_EQ(ReadEntries(collectPath()), std::vector<std::string>{"/fs/a:1"});
}
