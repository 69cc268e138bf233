// Real races against tqhsm-scan for the two destructive acts on a tree that
// an ordinary user owns: deleting stubs of a pruned AF, and re-stubbing files
// from the stub cache. While root scans, the test user keeps exchanging
// directories of their tree with symbolic links to a root-only directory that
// holds root's files of the same names (genuine stubs of the same pruned AF;
// files of the same size and time as the user's recalled ones). Every scan
// must end normally, and no file of root's may ever be deleted, changed or
// lose a block. The stub attack tests swap at one chosen moment through the
// seam; here nothing is chosen: the flips land wherever they land.
//
// Bounded: a fixed number of scans, each killed after a minute; the flipper
// stops by itself after a minute and is restarted for every scan.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "Catalog.h"
#include "HSMLowLevel.h"
#include "StubFiles.h"
#include "TempDir.h"
#include "TestUser.h"
#include "ToolRun.h"
#include "TreeState.h"

using namespace tqhsm::test;

namespace {

const int kDirs = 12;     // directories the test user keeps flipping
const int kPerDir = 8;    // files in each of them (and in root's directory)
const int kScans = 10;
const time_t kDay = 86400;

std::string Name(int dir) {
  char name[16];
  snprintf(name, sizeof name, "d%02d", dir);
  return name;
}
std::string FileName(const char* stem, int i) { return stem + std::to_string(i); }

class StubRaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TQHSM_REQUIRE_TEST_USER();
    m_scan = ToolDir() + "/tqhsm-scan";
    m_stubTool = ToolDir() + "/tqhsm-stub";
    ASSERT_EQ(access(m_scan.c_str(), X_OK), 0) << m_scan;
    ASSERT_EQ(access(m_stubTool.c_str(), X_OK), 0) << m_stubTool;
    if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "no punch-hole in " << m_dir.path();
    char real[PATH_MAX];
    ASSERT_NE(realpath(m_dir.path().c_str(), real), nullptr);
    m_base = real;
    ASSERT_EQ(chmod(m_base.c_str(), 0755), 0);
    m_tree = m_base + "/tree";
    m_secret = m_base + "/secret";
    m_cache = m_base + "/cache";
    for (const std::string& d : {m_tree, m_secret, m_cache, m_base + "/results"})
      ASSERT_EQ(mkdir(d.c_str(), 0755), 0) << d;
    ASSERT_EQ(chmod(m_secret.c_str(), 0700), 0);
    std::string key = m_dir.write("stub.key", TestStubKey());
    ASSERT_EQ(chmod(key.c_str(), 0600), 0);
    m_old = time(nullptr) - 400 * kDay;
    m_config = m_dir.write(
        "tqhsm.ini",
        "[FileSystemAgent]\nsSKIP_FS_TO_MONITOR = :proc:sysfs:\n"
        "[Subclient 5]\nSubclientId = 42\nGUID = app-guid-5\nHighFreeSpace = 100\n"
        "LowFreeSpace = 100\nDaysOld = 30\nDaysOldMTime = 30\nMinFileSizeKB = 4\n"
        "HonorArchiverRetention = yes\nRulesFlag = 0\n"
        "[StubCache]\nEnabled = yes\nLocation = " + m_cache + "\n"
        "[HSM]\nStateDirectory = " + m_base + "/state\nStubKey = " + key + "\n"
        "[Catalog]\nPath = " + m_base + "/catalog.db\n");
    std::string error;
    std::unique_ptr<tqhsm::Catalog> c = tqhsm::Catalog::Open(m_base + "/catalog.db", error);
    ASSERT_NE(c, nullptr) << error;
    std::string sql =
        "INSERT INTO subclient_retention VALUES (42, 30);"
        "INSERT INTO parvis VALUES (2, 200);"
        "INSERT INTO archive_files VALUES (4711, 1, 200, 1, 0), (13, 1, 200, 1, 1);";
    for (int i = 0; i < kPerDir; ++i)
      sql += "INSERT INTO stub_index VALUES ('" + FileName("data-", i) + "', 2, 1, 4711, 1);";
    ASSERT_TRUE(c->exec(sql, error)) << error;
  }
  void TearDown() override { TestUser::Stop(m_flipper); }

  ReparseData record(const std::string& guid, uint64_t af, uint64_t size) const {
    ReparseData r = SampleStub();
    r.appGUID = "app-guid-5";
    r.appId = 5;
    r.stubGUID = guid;
    r.afileId = af;
    r.originalSize = size;
    return r;
  }
  // A genuine stub of the pruned AF, made by root the way an administrator
  // makes one.
  void makeStubWithTool(const std::string& path) {
    WritePattern(path, 40000);
    int rc = RunTool({m_stubTool, "--config", m_config, "make", path, "--af", "2:1:13", "--kind",
                      "2", "--stub-guid", "dead", "--app-id", "5", "--app-guid", "app-guid-5",
                      "--mtime", std::to_string(m_old)},
                     m_base + "/stub.out", m_base + "/stub.err");
    ASSERT_EQ(rc, 0) << ReadFile(m_base + "/stub.err");
  }

  // The user's directories back in place (real directories under their own
  // names, links at the ".x" names) with the flipper stopped.
  void restore() {
    TestUser::Stop(m_flipper);
    m_flipper = -1;
    for (int d = 0; d < kDirs; ++d) {
      std::string a = m_tree + "/" + Name(d), b = a + ".x";
      struct stat st;
      if (lstat(a.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        ASSERT_EQ(renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE), 0) << a;
      }
      ASSERT_EQ(lstat(a.c_str(), &st), 0);
      ASSERT_TRUE(S_ISDIR(st.st_mode)) << a;
    }
  }
  void startFlipper() {
    const std::string tree = m_tree;
    m_flipper = TestUser::Start([tree]() {
      const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      for (long n = 0; n < 50000000 && std::chrono::steady_clock::now() < stop; ++n) {
        std::string a = tree + "/" + Name(static_cast<int>(n % kDirs)), b = a + ".x";
        renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
      }
    });
    ASSERT_GT(m_flipper, 0);
  }
  void makeTree() {
    for (int d = 0; d < kDirs; ++d) {
      std::string dir = m_tree + "/" + Name(d);
      ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
      ASSERT_EQ(symlink(m_secret.c_str(), (dir + ".x").c_str()), 0);
    }
  }
  // One scan as root while the user flips; it must end normally.
  std::string scanOnce(int run) {
    startFlipper();
    const std::string out = m_base + "/out", err = m_base + "/err";
    int rc = RunTool({m_scan, "--config", m_config, "--app-id", "5", "--job-results",
                      m_base + "/results", "--collect-file", "SC" + std::to_string(run),
                      "--no-progress", m_tree},
                     out, err, {{"TQHSM_LOG", m_base + "/log"}, {"TQHSM_DEBUG_LEVEL", "1"}}, 60);
    restore();
    std::string summary = ReadFile(out);
    EXPECT_EQ(rc, 0) << summary << ReadFile(err);
    EXPECT_NE(summary.find("run:               ended normally"), std::string::npos) << summary;
    // Nothing of root's reaches the list either.
    EXPECT_EQ(ReadFile(m_base + "/results/SC" + std::to_string(run)).find(m_secret),
              std::string::npos);
    return summary;
  }
  void expectRootUntouched(const std::map<std::string, FileState>& before) {
    std::map<std::string, FileState> now = SnapshotTree(m_secret);
    ASSERT_EQ(now.size(), before.size()) << "a file of root's was deleted";
    for (const auto& f : before) {
      SCOPED_TRACE(f.first);
      const FileState& n = now.at(f.first);
      EXPECT_TRUE(n.sameAs(f.second)) << f.second.describe() << " -> " << n.describe();
      EXPECT_EQ(n.blocks, f.second.blocks) << "root's file lost blocks";
    }
  }
  static uint64_t Result(const std::string& summary, int code) {
    std::smatch m;
    std::regex re("result " + std::to_string(code) + ": +([0-9]+)");
    return std::regex_search(summary, m, re) ? std::stoull(m[1]) : 0;
  }

  TempDir m_dir;
  std::string m_base, m_scan, m_stubTool, m_tree, m_secret, m_cache, m_config;
  time_t m_old = 0;
  pid_t m_flipper = -1;
};

}  // namespace

// "Delete any file": the user's tree holds genuine stubs of a pruned AF, and
// root's directory stubs of the same AF under the same names. The scan
// prunes the user's stubs (as it should) and never one of root's.
TEST_F(StubRaceTest, FlippingDirectoriesNeverLeadsAPruneToRootsStubs) {
  makeTree();
  for (int i = 0; i < kPerDir; ++i) makeStubWithTool(m_secret + "/" + FileName("stub-", i));
  for (int d = 0; d < kDirs; ++d)
    for (int i = 0; i < kPerDir; ++i)
      makeStubWithTool(m_tree + "/" + Name(d) + "/" + FileName("stub-", i));
  ASSERT_FALSE(HasFailure());
  ASSERT_TRUE(TestUser::Chown(m_tree));
  std::map<std::string, FileState> root = SnapshotTree(m_secret);
  ASSERT_EQ(root.size(), static_cast<size_t>(kPerDir));

  uint64_t pruned = 0, kept = 0;
  for (int run = 0; run < kScans && !HasFailure(); ++run) {
    SCOPED_TRACE("scan " + std::to_string(run));
    std::string summary = scanOnce(run);
    pruned += Result(summary, 3);
    kept += Result(summary, 2);
    expectRootUntouched(root);
    // The user's pruned stubs come back for the next scan.
    for (int d = 0; d < kDirs; ++d) {
      for (int i = 0; i < kPerDir; ++i) {
        std::string f = m_tree + "/" + Name(d) + "/" + FileName("stub-", i);
        if (FileExists(f)) continue;
        WritePattern(f, 40000);
        std::string why;
        ASSERT_TRUE(MakeStub(f, record("dead", 13, 40000), m_old, false, &why)) << why;
      }
    }
    ASSERT_TRUE(TestUser::Chown(m_tree));
  }
  EXPECT_GT(pruned, 0u);
  std::printf("%d scans: %llu of the user's stubs pruned, %llu kept (refused as changed)\n",
              kScans, static_cast<unsigned long long>(pruned),
              static_cast<unsigned long long>(kept));
}

// "Punch out any file's data": the user's recalled files have current cached
// stubs of a live AF, and root's directory holds files of the same names,
// sizes and times. Between the walk and the re-stubbing pass (and during
// both) the directories flip; root's files keep every block and byte.
TEST_F(StubRaceTest, FlippingDirectoriesNeverLeadsARestubToRootsFiles) {
  makeTree();
  const size_t size = 40960;
  for (int i = 0; i < kPerDir; ++i) {
    std::string f = m_secret + "/" + FileName("data-", i);
    WritePattern(f, size);
    SetTimes(f, m_old, m_old);
  }
  std::map<std::string, FileState> root = SnapshotTree(m_secret);
  // The user's files, each with a current cached stub; a re-stubbed one is
  // made again for the next scan.
  auto renew = [&]() {
    for (int d = 0; d < kDirs; ++d) {
      for (int i = 0; i < kPerDir; ++i) {
        std::string f = m_tree + "/" + Name(d) + "/" + FileName("data-", i);
        struct stat st;
        if (lstat(f.c_str(), &st) == 0 && st.st_blocks * 512 >= static_cast<blkcnt_t>(size))
          continue;  // still the recalled file with its data
        unlink(f.c_str());
        WritePattern(f, size);
        SetTimes(f, m_old, m_old);
        st = StatOf(f);
        std::string cached = getCacheFname(f.c_str(), &st, m_cache);
        std::vector<char> bytes = StubBytes(record(FileName("data-", i), 4711, size));
        m_dir.write(cached.substr(m_base.size() + 1), std::string(bytes.begin(), bytes.end()));
        SetTimes(cached, m_old, m_old);
      }
    }
    ASSERT_TRUE(TestUser::Chown(m_tree));
  };
  renew();
  ASSERT_FALSE(HasFailure());

  uint64_t restubbed = 0, collected = 0;
  for (int run = 0; run < kScans && !HasFailure(); ++run) {
    SCOPED_TRACE("scan " + std::to_string(run));
    std::string summary = scanOnce(run);
    collected += Result(summary, 1);
    expectRootUntouched(root);
    for (int d = 0; d < kDirs; ++d)
      for (int i = 0; i < kPerDir; ++i) {
        std::string f = m_tree + "/" + Name(d) + "/" + FileName("data-", i);
        struct stat st;
        if (lstat(f.c_str(), &st) == 0 && st.st_blocks * 512 < static_cast<blkcnt_t>(size))
          ++restubbed;
      }
    renew();
  }
  EXPECT_GT(restubbed, 0u);
  std::printf("%d scans: %llu candidates, %llu of the user's files re-stubbed\n", kScans,
              static_cast<unsigned long long>(collected),
              static_cast<unsigned long long>(restubbed));
}
