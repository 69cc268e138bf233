// The DC converter's debug log lives in a directory everybody can write
// ("/tmp/log"): whatever another user plants at that name must neither hang a
// conversion nor let it write into a file that is not the converter's own.
// The converter's own open logic runs here on a path of the test's.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "DCTestSupport.h"

namespace {

using tqhsm::test::ReadFile;

const char kRule[] = "find files where highFreeVolume = 80 AND lastAccessedDays < 30;";

class DCDebugLogTest : public tqhsm::test::DCTest {
 protected:
  // Runs one conversion in a child that an alarm ends after 10 s, so that a
  // conversion stuck in an open fails the test instead of hanging it. The
  // child's exit status: 0 converted as expected, 1 wrong answer, -1 killed.
  int ConvertBounded() {
    const std::string want = Convert(kRule).query;  // with no usable log: see SetUp
    pid_t pid = fork();
    if (pid == 0) {
      alarm(10);
      tqhsm::dc::SetDebugLogPath(m_sTarget.c_str());
      const tqhsm::test::DCResult r = Convert(kRule);
      _exit(r.result == 1 && r.query == want && r.high == 80 && fp == nullptr ? 0 : 1);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void SetUp() override {
    DCTest::SetUp();
    m_sTarget = m_dir.file("log");
    m_sRootFile = m_dir.write("root-only", "root's data\n");
    chmod(m_sRootFile.c_str(), 0600);
    // The reference answers come from a conversion without a log at all.
    m_sNoLog = m_dir.file("no/such/dir/log");
    tqhsm::dc::SetDebugLogPath(m_sNoLog.c_str());
  }

  std::string m_sTarget;
  std::string m_sRootFile;
  std::string m_sNoLog;  // the converter keeps the pointer: it must live as long
};

struct Planted {
  const char* what;
  std::function<bool(const std::string& at, const std::string& rootFile)> plant;
};

TEST_F(DCDebugLogTest, WhatOthersPlantIsNeitherWaitedOnNorWritten) {
  struct stat before;
  ASSERT_EQ(0, stat(m_sRootFile.c_str(), &before));
  const std::vector<Planted> cases = {
      {"a FIFO without a reader",
       [](const std::string& at, const std::string&) { return mkfifo(at.c_str(), 0666) == 0; }},
      {"a symbolic link to a root-only file",
       [](const std::string& at, const std::string& root) {
         return symlink(root.c_str(), at.c_str()) == 0;
       }},
      {"a dangling symbolic link",
       [](const std::string& at, const std::string& root) {
         return symlink((root + ".new").c_str(), at.c_str()) == 0;
       }},
      {"a directory",
       [](const std::string& at, const std::string&) { return mkdir(at.c_str(), 0777) == 0; }},
      {"a hard link to a root-only file",
       [](const std::string& at, const std::string& root) {
         return link(root.c_str(), at.c_str()) == 0;
       }},
  };
  for (const Planted& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(c.plant(m_sTarget, m_sRootFile));
    EXPECT_EQ(0, ConvertBounded());
    EXPECT_EQ("root's data\n", ReadFile(m_sRootFile));
    struct stat after;
    ASSERT_EQ(0, stat(m_sRootFile.c_str(), &after));
    EXPECT_EQ(before.st_mtime, after.st_mtime);
    EXPECT_FALSE(tqhsm::test::FileExists(m_sRootFile + ".new"));
    struct stat planted;
    ASSERT_EQ(0, lstat(m_sTarget.c_str(), &planted));
    if (S_ISREG(planted.st_mode)) {
      EXPECT_EQ(static_cast<off_t>(12), planted.st_size);
    }
    std::string rm = "rm -rf '" + m_sTarget + "'";
    ASSERT_EQ(0, system(rm.c_str()));
  }
}

// A FIFO somebody reads: the open succeeds at once, and the conversion still
// refuses to write its trace into it.
TEST_F(DCDebugLogTest, FifoWithAReaderGetsNothing) {
  ASSERT_EQ(0, mkfifo(m_sTarget.c_str(), 0666));
  int reader = open(m_sTarget.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(0, ConvertBounded());
  char byte;
  EXPECT_EQ(0, read(reader, &byte, 1));  // no writer left, nothing written
  close(reader);
}

TEST_F(DCDebugLogTest, OnlyTheConvertersOwnRegularFileIsReplaced) {
  const std::string old = "an older trace\n";
  m_dir.write("log", old);
  EXPECT_EQ(0, ConvertBounded());
  const std::string trace = ReadFile(m_sTarget);
  EXPECT_EQ(std::string::npos, trace.find(old));
  EXPECT_NE(std::string::npos, trace.find("sql_query is"));

  // The same file given to another user is theirs: left as it is.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
  m_dir.write("log", old);
  ASSERT_EQ(0, chown(m_sTarget.c_str(), 65534, 65534));
  EXPECT_EQ(0, ConvertBounded());
  EXPECT_EQ(old, ReadFile(m_sTarget));
}

}  // namespace
