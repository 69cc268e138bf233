// A real race against tqhsm-scan: while root scans a tree, the test user who
// owns part of it keeps swapping directories of their own for symbolic links
// to a root-only directory full of files that would be candidates. Nothing of
// that directory may ever reach StubCollect (or the log), and every scan must
// end normally. Bounded: a fixed number of scans, each killed after a minute,
// and a flipper that stops by itself after two minutes.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "TestUser.h"

namespace {

using tqhsm::test::ReadFile;
using tqhsm::test::TempDir;
using tqhsm::test::TestUser;

const int kFlipped = 24;  // directories the test user keeps swapping
const int kScans = 30;

void MakeOldFile(const std::string& path, size_t size) {
  std::ofstream(path, std::ios::binary) << std::string(size, 'x');
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = time(nullptr) - 400 * 86400;
  times[0].tv_nsec = times[1].tv_nsec = 0;
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// The build directory: TQHSM_TEST_BINARY_DIR, else the one this test program
// was built in (<build>/tests/<program>).
std::string BinaryDir() {
  const char* dir = std::getenv("TQHSM_TEST_BINARY_DIR");
  if (dir && *dir) return dir;
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return ".";
  std::string path(self, static_cast<size_t>(n));
  for (int up = 0; up < 2; ++up) path.erase(path.rfind('/'));
  return path;
}

// Runs argv with stdout and stderr into files; kills it after a minute. The
// exit status, or -1 when it did not exit by itself.
int RunBounded(const std::vector<std::string>& argv, const std::string& out,
               const std::string& err, const std::string& log) {
  pid_t pid = fork();
  if (pid == 0) {
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (o < 0 || e < 0) _exit(126);
    dup2(o, 1);
    dup2(e, 2);
    setenv("TQHSM_LOG", log.c_str(), 1);
    setenv("TQHSM_DEBUG_LEVEL", "5", 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  if (pid < 0) return -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ScanRaceTest, LinksSwappedInDuringTheWalkNeverLeadOutOfTheTree) {
  TQHSM_REQUIRE_TEST_USER();
  const std::string scan = BinaryDir() + "/tqhsm-scan";
  ASSERT_EQ(0, access(scan.c_str(), X_OK)) << scan;

  TempDir tmp;
  ASSERT_EQ(0, chmod(tmp.path().c_str(), 0755));
  const std::string secret = tmp.file("secret");
  const std::string tree = tmp.file("tree");
  const std::string results = tmp.file("results");
  ASSERT_EQ(0, mkdir(secret.c_str(), 0700));
  ASSERT_EQ(0, mkdir(results.c_str(), 0755));
  ASSERT_EQ(0, mkdir(tree.c_str(), 0755));
  std::set<ino_t> secretInodes;
  for (int i = 0; i < 20; ++i) {
    std::string f = secret + "/SECRET-" + std::to_string(i);
    MakeOldFile(f, 65536);
    struct stat st;
    ASSERT_EQ(0, stat(f.c_str(), &st));
    secretInodes.insert(st.st_ino);
  }
  // tree/dNN: the user's directories, each with an old file; tree/dNN.x: a
  // link to the root-only directory. The flipper exchanges the two names.
  for (int i = 0; i < kFlipped; ++i) {
    char name[16];
    snprintf(name, sizeof name, "d%02d", i);
    const std::string d = tree + "/" + name;
    ASSERT_EQ(0, mkdir(d.c_str(), 0755));
    MakeOldFile(d + "/mine", 65536);
    ASSERT_EQ(0, symlink(secret.c_str(), (d + ".x").c_str()));
  }
  ASSERT_TRUE(TestUser::Chown(tree));

  // Watermarks from this file system's figures, so that its volume has a
  // budget larger than the tree; tmpfs is scanned here too.
  struct statvfs vfs;
  ASSERT_EQ(0, statvfs(tmp.path().c_str(), &vfs));
  int low = static_cast<int>((100 * vfs.f_bavail + vfs.f_blocks - 1) / vfs.f_blocks) + 1;
  if (low > 95) GTEST_SKIP() << "the file system is too empty for a budget";
  const std::string config = tmp.write(
      "tqhsm.ini", "[FileSystemAgent]\nsSKIP_FS_TO_MONITOR = :proc:sysfs:\n[Subclient 5]\n"
                   "HighFreeSpace = " + std::to_string(low + 4) + "\nLowFreeSpace = " +
                       std::to_string(low) +
                   "\nDaysOld = 30\nDaysOldMTime = 30\nMinFileSizeKB = 4\nRulesFlag = 0\n"
                   "[HSM]\nStateDirectory = " + tmp.file("state") +
                   "\n[Catalog]\nPath = " + tmp.file("catalog.db") + "\n");

  pid_t flipper = TestUser::Start([&]() {
    const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (long n = 0; n < 50000000 && std::chrono::steady_clock::now() < stop; ++n) {
      char a[32], b[32];
      snprintf(a, sizeof a, "d%02d", static_cast<int>(n % kFlipped));
      snprintf(b, sizeof b, "d%02d.x", static_cast<int>(n % kFlipped));
      std::string pa = tree + "/" + a, pb = tree + "/" + b;
      renameat2(AT_FDCWD, pa.c_str(), AT_FDCWD, pb.c_str(), RENAME_EXCHANGE);
    }
  });
  ASSERT_GT(flipper, 0);
  struct Stopper {
    pid_t pid;
    ~Stopper() { TestUser::Stop(pid); }
  } stopper{flipper};

  int changed = 0;
  long lines = 0;
  for (int run = 0; run < kScans; ++run) {
    SCOPED_TRACE("scan " + std::to_string(run));
    const std::string collect = "SC" + std::to_string(run);
    const std::string out = tmp.file("out"), err = tmp.file("err"), log = tmp.file("log");
    int rc = RunBounded({scan, "--config", config, "--app-id", "5", "--job-results", results,
                         "--collect-file", collect, "--no-progress", tree},
                        out, err, log);
    const std::string summary = ReadFile(out);
    ASSERT_EQ(0, rc) << summary << ReadFile(err);
    EXPECT_NE(std::string::npos, summary.find("run:               ended normally")) << summary;
    ASSERT_EQ(std::string::npos, summary.find("no budget")) << summary;
    std::istringstream in(ReadFile(results + "/" + collect));
    std::string line;
    while (std::getline(in, line)) {
      ++lines;
      ASSERT_EQ(0u, line.find("|" + tree + "/d")) << line;
      ASSERT_EQ(std::string::npos, line.find("SECRET")) << line;
      size_t colon = line.rfind(':');
      ino_t ino = static_cast<ino_t>(std::strtoull(line.c_str() + colon + 1, nullptr, 10));
      ASSERT_EQ(0u, secretInodes.count(ino)) << line;
    }
    ASSERT_EQ(std::string::npos, ReadFile(log).find("SECRET"));
    std::string errText = ReadFile(err);
    for (size_t at = 0; (at = errText.find("changed during the walk", at)) != std::string::npos;
         ++at)
      ++changed;
  }
  // Each scan finds every directory either in place (its file collected) or
  // as a link at that moment: some lines, never a stranger's.
  EXPECT_GT(lines, 0);
  std::printf("%d scans, %ld lines collected, %d directories skipped as changed\n", kScans, lines,
              changed);
}

}  // namespace
