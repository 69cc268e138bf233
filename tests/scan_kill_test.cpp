// kill -9 at random moments: tqhsm-scan runs over a real tree (candidates,
// recalled files with current cached stubs, stubs of a pruned AF, stubs of a
// live AF) with its watch list and migrated trees in a state directory of its
// own, and is killed after a random short delay, some dozens of times. After
// every kill the two lists must parse and have lost no entry, the collect file
// must hold whole records (but for a last one the kill cut short), the next
// run must end normally, and the next
// update of the lists (tqhsm-watch remove) must succeed and leave no
// temporary file behind, whatever a killed writer left.
//
// The delays come from a seeded generator; the seed is printed, and
// TQHSM_KILL_SEED=<seed> replays a run.

#include <fcntl.h>
#include <limits.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Catalog.h"
#include "HSMLowLevel.h"
#include "HSMWatch.h"
#include "StubFiles.h"
#include "TempDir.h"
#include "ToolRun.h"

using namespace tqhsm::test;

namespace {

const int kKills = 48;
const int kPlain = 240;
const int kRecalled = 12;
const int kDead = 12;
const time_t kDay = 86400;
const char* const kClient = "kill-client";
const char* const kOther = "/srv/kill-other";

class ScanKillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_scan = ToolDir() + "/tqhsm-scan";
    m_watch = ToolDir() + "/tqhsm-watch";
    if (access(m_scan.c_str(), X_OK) != 0 || access(m_watch.c_str(), X_OK) != 0)
      FAIL() << "no tools in " << ToolDir();
    if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "no punch-hole in " << m_dir.path();
    std::string probe = m_dir.write("probe", "x");
    if (!SetStubXattr(probe, {'x'})) GTEST_SKIP() << "no user extended attributes here";
    unlink(probe.c_str());
    // Real paths: the scan resolves its content path, and acts only on files
    // reached without a link.
    char real[PATH_MAX];
    ASSERT_NE(realpath(m_dir.path().c_str(), real), nullptr);
    m_base = real;
    m_tree = m_base + "/tree";
    m_cache = m_base + "/cache";
    m_state = m_base + "/state";
    m_results = m_base + "/results";
    for (const std::string& d : {m_tree, m_cache, m_state, m_results, m_tree + "/recalled",
                                 m_tree + "/stubs"})
      ASSERT_EQ(mkdir(d.c_str(), 0755), 0) << d;
    // The scan signs and checks under the key this program's stubs carry.
    std::string key = m_dir.write("stub.key", TestStubKey());
    ASSERT_EQ(chmod(key.c_str(), 0600), 0);
    m_now = time(nullptr);
    m_old = m_now - 400 * kDay;
    for (int i = 0; i < kPlain; ++i) {
      std::string d = m_tree + "/docs" + std::to_string(i % 8);
      mkdir(d.c_str(), 0755);
      std::string f = d + "/plain-" + std::to_string(i);
      WritePattern(f, 8192 + 64 * static_cast<size_t>(i));
      SetTimes(f, m_old, m_old);
    }
    for (int i = 0; i < 4; ++i) {
      std::string f = m_tree + "/stubs/live-" + std::to_string(i);
      WritePattern(f, 30000);
      std::string why;
      ASSERT_TRUE(MakeStub(f, record("live-" + std::to_string(i), 4711), m_old, false, &why))
          << why;
    }
    std::string error;
    std::unique_ptr<tqhsm::Catalog> c = tqhsm::Catalog::Open(m_dir.file("catalog.db"), error);
    ASSERT_NE(c, nullptr) << error;
    std::string sql =
        "INSERT INTO subclient_retention VALUES (42, 30);"
        "INSERT INTO parvis VALUES (2, 200);"
        "INSERT INTO archive_files VALUES (4711, 1, 200, 1, 0), (13, 1, 200, 1, 1);";
    for (int i = 0; i < kRecalled; ++i)
      sql += "INSERT INTO stub_index VALUES ('r-" + std::to_string(i) + "', 2, 1, 4711, 1);";
    ASSERT_TRUE(c->exec(sql, error)) << error;
    c.reset();
    m_config = m_dir.write(
        "tqhsm.ini",
        "[FileSystemAgent]\nsSKIP_FS_TO_MONITOR = :proc:sysfs:\n"
        "[Subclient 5]\nSubclientId = 42\nGUID = app-guid-5\nHighFreeSpace = 100\n"
        "LowFreeSpace = 100\nDaysOld = 30\nDaysOldMTime = 30\nMinFileSizeKB = 4\n"
        "HonorArchiverRetention = yes\nRulesFlag = 0\n"
        "[Client]\nName = " + std::string(kClient) + "\n"
        "[StubCache]\nEnabled = yes\nLocation = " + m_cache + "\n"
        "[HSM]\nStateDirectory = " + m_state + "\nStubKey = " + key + "\n"
        "[Catalog]\nPath = " + m_dir.file("catalog.db") + "\n");
    m_dir.write("state/watched_dirs", std::string("tqhsm-watched-dirs 1\n") + kOther + "\n");
    m_dir.write("state/migrated_trees",
                std::string("tqhsm-migrated-trees 1\n") + kClient + " " + kOther + "\n");
  }

  ReparseData record(const std::string& guid, uint64_t af, uint64_t size = 0) const {
    ReparseData r = SampleStub();
    r.appGUID = "app-guid-5";
    r.appId = 5;
    r.stubGUID = guid;
    r.afileId = af;
    r.originalSize = size;
    return r;
  }

  // What a run consumes, made afresh: recalled files with current cached
  // stubs (re-stubbed by a run) and stubs of a pruned AF (deleted by one).
  void renew() {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(m_cache))
      std::filesystem::remove(e.path(), ec);
    for (int i = 0; i < kRecalled; ++i) {
      std::string f = m_tree + "/recalled/r-" + std::to_string(i);
      unlink(f.c_str());
      WritePattern(f, 20000 + 256 * static_cast<size_t>(i));
      SetTimes(f, m_old, m_old);
      struct stat st = StatOf(f);
      std::string cached = getCacheFname(f.c_str(), &st, m_cache);
      std::vector<char> bytes =
          StubBytes(record("r-" + std::to_string(i), 4711, static_cast<uint64_t>(st.st_size)));
      m_dir.write(cached.substr(m_base.size() + 1), std::string(bytes.begin(), bytes.end()));
      SetTimes(cached, m_old, m_old);
    }
    for (int i = 0; i < kDead; ++i) {
      std::string f = m_tree + "/stubs/dead-" + std::to_string(i);
      if (FileExists(f)) continue;
      WritePattern(f, 30000);
      std::string why;
      ASSERT_TRUE(MakeStub(f, record("dead-" + std::to_string(i), 13), m_old, false, &why)) << why;
    }
  }

  std::vector<std::string> scanArgs(bool failRun) const {
    std::vector<std::string> a = {m_scan, "--config", m_config, "--app-id", "5", "--job-results",
                                  m_results, "--no-progress", m_tree};
    if (failRun) a.push_back("--fail-run");
    return a;
  }
  std::map<std::string, std::string> env() const {
    return {{"TQHSM_LOG", m_dir.file("log")}, {"TQHSM_DEBUG_LEVEL", "1"}};
  }

  // The two lists parse, still hold the entry they started with, and hold
  // nothing but it and the tree.
  void expectListsWhole(const std::string& when) {
    SCOPED_TRACE(when);
    tqhsm::StateList watch(m_state, "watched_dirs", "tqhsm-watched-dirs 1", 1);
    tqhsm::StateList trees(m_state, "migrated_trees", "tqhsm-migrated-trees 1", 2);
    std::vector<std::vector<std::string>> w, t;
    std::string error;
    ASSERT_TRUE(watch.load(w, error)) << error;
    ASSERT_TRUE(trees.load(t, error)) << error;
    std::set<std::string> ws, ts;
    for (const auto& r : w) ws.insert(r[0]);
    for (const auto& r : t) ts.insert(r[0] + " " + r[1]);
    EXPECT_EQ(ws.count(kOther), 1u);
    EXPECT_EQ(ts.count(std::string(kClient) + " " + kOther), 1u);
    for (const std::string& x : ws) EXPECT_TRUE(x == kOther || x == m_tree) << x;
    for (const std::string& x : ts)
      EXPECT_TRUE(x == std::string(kClient) + " " + kOther ||
                  x == std::string(kClient) + " " + m_tree)
          << x;
  }
  std::vector<std::string> temporaries() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(m_state)) {
      std::string n = e.path().filename().string();
      if (n.find(".tmp.") != std::string::npos) out.push_back(n);
    }
    return out;
  }
  // StubCollect holds whole records only; their number. A kill in the middle
  // of a write may cut the last one short (the kernel stops copying pages for
  // a process that is being killed): with cutTail that one is not counted.
  long expectWholeCollect(const std::string& when, bool cutTail = false) {
    SCOPED_TRACE(when);
    std::string text = ReadFile(m_results + "/StubCollect");
    if (cutTail && !text.empty() && text.back() != '\n') text.erase(text.rfind('\n') + 1);
    if (!text.empty()) {
      EXPECT_EQ(text.back(), '\n') << "StubCollect ends mid-line";
    }
    static const std::regex line("^\\|/.*:[0-9]+\\|0\\|$");
    std::istringstream in(text);
    std::string l;
    long n = 0;
    while (std::getline(in, l)) {
      ++n;
      EXPECT_TRUE(std::regex_match(l, line)) << "torn record [" << l << "]";
    }
    return n;
  }

  TempDir m_dir;
  std::string m_base, m_scan, m_watch, m_tree, m_cache, m_state, m_results, m_config;
  time_t m_now = 0, m_old = 0;
};

TEST_F(ScanKillTest, AKilledScanLeavesWholeListsAndTheNextRunEndsNormally) {
  unsigned seed = static_cast<unsigned>(time(nullptr)) ^ static_cast<unsigned>(getpid() << 8);
  if (const char* s = std::getenv("TQHSM_KILL_SEED")) seed = static_cast<unsigned>(std::strtoul(s, nullptr, 10));
  std::printf("kill loop seed %u (replay with TQHSM_KILL_SEED=%u)\n", seed, seed);
  SCOPED_TRACE("TQHSM_KILL_SEED=" + std::to_string(seed));
  std::mt19937 random(seed);
  const std::string out = m_dir.file("out"), err = m_dir.file("err");

  // A whole run first, to know how long one takes: the kills fall within it.
  renew();
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(RunTool(scanArgs(false), out, err, env()), 0) << ReadFile(out) << ReadFile(err);
  int runMs = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - start)
                                   .count());
  std::string summary = ReadFile(out);
  ASSERT_NE(summary.find("result 3:          " + std::to_string(kDead) + " stub pruned"),
            std::string::npos)
      << summary;
  ASSERT_NE(summary.find("re-stubbing pass:  done"), std::string::npos) << summary;
  ASSERT_EQ(RunTool({m_watch, "--state-dir", m_state, "remove", m_tree}, out, err), 0)
      << ReadFile(err);
  ASSERT_EQ(RunTool({m_watch, "--state-dir", m_state, "remove", "--migrated", "--client", kClient,
                     m_tree},
                    out, err),
            0)
      << ReadFile(err);

  int killed = 0, finished = 0, leftTemporaries = 0;
  // Half the kills anywhere in a run, half in its first third, where the
  // lists are written.
  std::uniform_int_distribution<int> anywhere(0, runMs + runMs / 5);
  std::uniform_int_distribution<int> early(0, runMs / 3);
  for (int i = 0; i < kKills && !HasFailure(); ++i) {
    renew();
    int ms = i % 4 < 2 ? anywhere(random) : early(random);
    bool failRun = i % 2 == 1;  // a failed run changes the lists at its end too
    SCOPED_TRACE("kill " + std::to_string(i) + " after " + std::to_string(ms) + " ms" +
                 (failRun ? " (--fail-run)" : ""));
    {
      ToolProcess p(scanArgs(failRun), out, err, env());
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      if (p.Kill())
        ++killed;
      else
        ++finished;
    }
    expectListsWhole("after the kill");
    expectWholeCollect("after the kill", true);
    std::vector<std::string> left = temporaries();
    leftTemporaries += static_cast<int>(left.size());

    // The next run ends normally, whatever the killed one left.
    int rc = RunTool(scanArgs(false), out, err, env());
    summary = ReadFile(out);
    ASSERT_EQ(rc, 0) << summary << ReadFile(err);
    EXPECT_NE(summary.find("run:               ended normally"), std::string::npos) << summary;
    std::smatch m;
    static const std::regex collected("StubCollect: .* \\(([0-9]+) collected\\)");
    ASSERT_TRUE(std::regex_search(summary, m, collected)) << summary;
    EXPECT_EQ(expectWholeCollect("after the rerun"), std::stol(m[1])) << summary;
    expectListsWhole("after the rerun");
    tqhsm::StateList watch(m_state, "watched_dirs", "tqhsm-watched-dirs 1", 1);
    std::vector<std::vector<std::string>> w;
    std::string error;
    ASSERT_TRUE(watch.load(w, error)) << error;
    EXPECT_TRUE(std::find(w.begin(), w.end(), std::vector<std::string>{m_tree}) != w.end())
        << "the rerun did not watch the tree";

    // The next update of each list goes through, and no temporary is left.
    ASSERT_EQ(RunTool({m_watch, "--state-dir", m_state, "remove", m_tree}, out, err), 0)
        << ReadFile(err);
    ASSERT_EQ(RunTool({m_watch, "--state-dir", m_state, "remove", "--migrated", "--client",
                       kClient, m_tree},
                      out, err),
              0)
        << ReadFile(err);
    EXPECT_TRUE(temporaries().empty()) << temporaries().front();
    expectListsWhole("after the update");
  }
  EXPECT_GT(killed, 0);
  std::printf("%d scans killed, %d ended before their kill, %d temporaries left by killed "
              "writers (run: %d ms)\n",
              killed, finished, leftTemporaries, runMs);
}

}  // namespace
