#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "FileUtf.h"
#include "HSMLowLevel.h"
#include "HSMWatch.h"
#include "ScanFakes.h"
#include "TempDir.h"

using namespace tqhsm::test;

namespace {

// A state directory of its own and a few real directories to watch.
class WatchStoreTest : public ::testing::Test {
 protected:
  WatchStoreTest()
      : m_state(m_tmp.path() + "/state/sub"),
        m_config("[HSM]\nStateDirectory = " + m_state + "/\n"),
        m_lowLevel("/") {
    for (const char* d : {"data", "data/a", "data/a/b", "other", "with space\\and\nnewline"})
      mkdir(m_tmp.file(d).c_str(), 0755);
  }
  std::string dir(const char* name) const { return m_tmp.file(name); }
  std::string watchFile() const { return m_state + "/watched_dirs"; }
  std::string treesFile() const { return m_state + "/migrated_trees"; }

  TempDir m_tmp;
  std::string m_state;
  ScopedConfig m_config;
  TQHSMLowLevel m_lowLevel;
};

// Fails the n-th call of one kind with an errno.
class FailingFs : public tqhsm::FileSystemWrapper {
 public:
  enum Op { kNone, kOpen, kWrite, kFsync, kRename };
  Op op = kNone;
  int err = ENOSPC;
  bool partial = false;  // a write that gets half its bytes out before failing
  int opens = 0;

  int open(const char* path, int flags, mode_t mode) override {
    ++opens;
    // The temporary list file, which is always created afresh.
    if (op == kOpen && (flags & O_CREAT) && (flags & O_EXCL)) return errno = err, -1;
    return FileSystemWrapper::open(path, flags, mode);
  }
  ssize_t write(int fd, const void* data, size_t size) override {
    if (op == kWrite) {
      if (partial && size > 1) {
        partial = false;
        return FileSystemWrapper::write(fd, data, size / 2);
      }
      return errno = err, -1;
    }
    return FileSystemWrapper::write(fd, data, size);
  }
  int fsync(int fd) override {
    if (op == kFsync) return errno = err, -1;
    return FileSystemWrapper::fsync(fd);
  }
  int rename(const char* from, const char* to) override {
    if (op == kRename) return errno = err, -1;
    return FileSystemWrapper::rename(from, to);
  }
};

std::vector<std::string> listDir(const std::string& d) {
  std::vector<std::string> out;
  std::string cmd = "ls -A '" + d + "'";
  FILE* p = popen(cmd.c_str(), "r");
  char buf[512];
  while (p && fgets(buf, sizeof buf, p)) {
    std::string s = buf;
    if (!s.empty() && s.back() == '\n') s.pop_back();
    out.push_back(s);
  }
  if (p) pclose(p);
  return out;
}

}  // namespace

TEST_F(WatchStoreTest, StateDirectoryComesFromTheConfiguration) {
  EXPECT_EQ(tqhsm::HSMStateDirectory(), m_state);
  ScopedConfig none("");
  EXPECT_EQ(tqhsm::HSMStateDirectory(), "/var/lib/tqhsm");
}

TEST_F(WatchStoreTest, WatchListCoversTreesAndSurvivesTheObject) {
  std::string data = dir("data");
  EXPECT_EQ(m_lowLevel.isDirWatched(data.c_str()), 0);  // no state directory yet
  EXPECT_EQ(m_lowLevel.startWatchingDirTree((data + "/").c_str()), 0);
  EXPECT_EQ(m_lowLevel.startWatchingDirTree(data.c_str()), 0);  // twice: listed once

  TQHSMLowLevel other("/");  // a fresh object reads the same list
  EXPECT_EQ(other.isDirWatched(data.c_str()), 1);
  EXPECT_EQ(other.isDirWatched(dir("data/a/b").c_str()), 1);  // below a watched tree
  EXPECT_EQ(other.isDirWatched(dir("other").c_str()), 0);
  EXPECT_EQ(other.isDirWatched((data + "x").c_str()), 0);  // a sibling with the same prefix
  EXPECT_EQ(ReadFile(watchFile()), "tqhsm-watched-dirs 1\n" + data + "\n");

  EXPECT_EQ(other.stopWatchingDirTree(data.c_str()), 0);
  EXPECT_EQ(m_lowLevel.isDirWatched(data.c_str()), 0);
  // Off the list already: nothing to do, no failure.
  EXPECT_EQ(m_lowLevel.stopWatchingDirTree(data.c_str()), 0);
}

TEST_F(WatchStoreTest, BadDirectoriesAreRefusedWithAReason) {
  struct Case {
    std::string path;
    const char* reason;
  };
  const std::string file = m_tmp.write("plain", "x");
  const Case cases[] = {
      {"", "No directory given"},
      {"relative/dir", "Not an absolute path: relative/dir"},
      {dir("missing"), "No such file or directory"},
      {file, "not a directory"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(m_lowLevel.startWatchingDirTree(c.path.c_str()), -1) << c.path;
    EXPECT_NE(m_lowLevel.getLastError().find(c.reason), std::string::npos)
        << c.path << ": " << m_lowLevel.getLastError();
  }
  EXPECT_EQ(m_lowLevel.startWatchingDirTree(nullptr), -1);
  // A directory on another file system than the object's.
  TQHSMLowLevel elsewhere(dir("other"));
  EXPECT_EQ(elsewhere.startWatchingDirTree(dir("data").c_str()), -1);
  EXPECT_NE(elsewhere.getLastError().find("is not on the file system mounted at"),
            std::string::npos);
  EXPECT_FALSE(FileExists(watchFile()));
}

TEST_F(WatchStoreTest, OddCharactersInPathsAndClientNamesRoundTrip) {
  std::string odd = dir("with space\\and\nnewline");
  ASSERT_EQ(m_lowLevel.startWatchingDirTree(odd.c_str()), 0);
  EXPECT_EQ(m_lowLevel.isDirWatched(odd.c_str()), 1);
  EXPECT_EQ(m_lowLevel.isDirWatched(dir("with space").c_str()), 0);
  // One record per line whatever the path holds.
  std::string text = ReadFile(watchFile());
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);

  TQHSMMigratedDirTrees trees(true, "client one");
  ASSERT_EQ(trees.addTree(odd.c_str()), 0);
  std::string root;
  EXPECT_EQ(trees.wasDirMigrated(odd.c_str(), root), 1);
  EXPECT_EQ(root, odd);
}

TEST_F(WatchStoreTest, MigratedTreesPerClientOutermostTreeAnswers) {
  TQHSMMigratedDirTrees a(true, "alpha");
  TQHSMMigratedDirTrees b(true, "beta");
  ASSERT_EQ(a.addTree(dir("data/a").c_str()), 0);
  ASSERT_EQ(a.addTree(dir("data").c_str()), 0);
  ASSERT_EQ(a.addTree(dir("data").c_str()), 0);  // recorded once
  ASSERT_EQ(b.addTree(dir("other").c_str()), 0);

  std::string root = "untouched";
  EXPECT_EQ(a.wasDirMigrated(dir("data/a/b").c_str(), root), 1);
  EXPECT_EQ(root, dir("data"));
  root = "untouched";
  EXPECT_EQ(a.wasDirMigrated(dir("other").c_str(), root), 0);  // beta's tree
  EXPECT_EQ(root, "untouched");
  EXPECT_EQ(b.wasDirMigrated(dir("other").c_str(), root), 1);

  EXPECT_EQ(a.delTree(dir("data").c_str()), 0);
  EXPECT_EQ(a.wasDirMigrated(dir("data/a/b").c_str(), root), 1);
  EXPECT_EQ(root, dir("data/a"));
  EXPECT_EQ(a.delTree(dir("nothing").c_str()), 0);
  EXPECT_EQ(b.wasDirMigrated(dir("other").c_str(), root), 1);  // other clients keep theirs
}

TEST_F(WatchStoreTest, WithoutCreateNoStateDirectoryIsMade) {
  TQHSMMigratedDirTrees trees(false, "alpha");
  EXPECT_EQ(trees.addTree(dir("data").c_str()), -1);
  EXPECT_NE(trees.getLastError().find("Cannot open lock file"), std::string::npos);
  EXPECT_EQ(trees.delTree(dir("data").c_str()), 0);
  std::string root;
  EXPECT_EQ(trees.wasDirMigrated(dir("data").c_str(), root), 0);
  struct stat st;
  EXPECT_NE(stat(m_state.c_str(), &st), 0);
}

// A write that fails at any step leaves the list as it was and no temporary
// file behind; this is what a crash in the middle of a write looks like to
// the next reader too, since the list is only replaced by a rename.
TEST_F(WatchStoreTest, FailedWritesLeaveTheOldListWhole) {
  ASSERT_EQ(m_lowLevel.startWatchingDirTree(dir("data").c_str()), 0);
  const std::string before = ReadFile(watchFile());
  struct Case {
    FailingFs::Op op;
    bool partial;
    const char* reason;
  };
  const Case cases[] = {
      {FailingFs::kOpen, false, "Cannot create"},
      {FailingFs::kWrite, false, "Cannot write"},
      {FailingFs::kWrite, true, "Cannot write"},
      {FailingFs::kFsync, false, "Cannot sync"},
      {FailingFs::kRename, false, "Cannot replace"},
  };
  for (const Case& c : cases) {
    FailingFs fs;
    fs.op = c.op;
    fs.partial = c.partial;
    tqhsm::ScopedBackend<tqhsm::FileSystem> scope(&fs);
    EXPECT_EQ(m_lowLevel.startWatchingDirTree(dir("other").c_str()), -1);
    EXPECT_NE(m_lowLevel.getLastError().find(c.reason), std::string::npos)
        << m_lowLevel.getLastError();
    EXPECT_NE(m_lowLevel.getLastError().find("No space left on device"), std::string::npos);
    EXPECT_EQ(ReadFile(watchFile()), before);
    EXPECT_EQ(listDir(m_state), (std::vector<std::string>{"lock", "watched_dirs"}));
  }
  EXPECT_EQ(m_lowLevel.isDirWatched(dir("other").c_str()), 0);
  EXPECT_EQ(m_lowLevel.isDirWatched(dir("data").c_str()), 1);
}

TEST_F(WatchStoreTest, ALeftoverTemporaryFileIsIgnoredAndABrokenListIsNeverOverwritten) {
  ASSERT_EQ(m_lowLevel.startWatchingDirTree(dir("data").c_str()), 0);
  // What a crash before the rename leaves: a half-written temporary file.
  {
    FILE* f = fopen((watchFile() + ".tmp.999999").c_str(), "w");
    fputs("tqhsm-watched-dirs 1\n/half", f);
    fclose(f);
  }
  EXPECT_EQ(m_lowLevel.isDirWatched(dir("data").c_str()), 1);
  EXPECT_EQ(m_lowLevel.isDirWatched("/half"), 0);

  struct Case {
    const char* content;
    const char* reason;
  };
  const Case cases[] = {
      {"something else\n/a\n", "is not a list of this version"},
      {"tqhsm-watched-dirs 1\n/a\n/b", "is cut short at line 3"},
      {"tqhsm-watched-dirs 1\n/a b\n", "is malformed at line 2"},
  };
  for (const Case& c : cases) {
    m_tmp.write("state/sub/watched_dirs", c.content);
    EXPECT_EQ(m_lowLevel.startWatchingDirTree(dir("other").c_str()), -1) << c.content;
    EXPECT_NE(m_lowLevel.getLastError().find(c.reason), std::string::npos)
        << m_lowLevel.getLastError();
    EXPECT_EQ(m_lowLevel.isDirWatched("/a"), -1);
    EXPECT_EQ(m_lowLevel.stopWatchingDirTree("/a"), -1);
    EXPECT_EQ(ReadFile(watchFile()), c.content);  // left for someone to look at
  }
  // An empty file holds no records to lose.
  m_tmp.write("state/sub/watched_dirs", "");
  EXPECT_EQ(m_lowLevel.startWatchingDirTree(dir("other").c_str()), 0);
}

TEST_F(WatchStoreTest, TemporaryFilesOfACrashedWriterAreRemovedByTheNextUpdate) {
  ASSERT_EQ(m_lowLevel.startWatchingDirTree(dir("data").c_str()), 0);
  // A pid that no process has any more, and one that is alive.
  pid_t dead = fork();
  if (dead == 0) _exit(0);
  ASSERT_GT(dead, 0);
  ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
  pid_t alive = fork();
  if (alive == 0) {
    pause();
    _exit(0);
  }
  ASSERT_GT(alive, 0);
  const std::string deadTmp = watchFile() + ".tmp." + std::to_string(dead);
  const std::string aliveTmp = watchFile() + ".tmp." + std::to_string(alive);
  const std::string otherList = treesFile() + ".tmp." + std::to_string(dead);
  const std::string notOurs = watchFile() + ".tmp.notapid";
  for (const std::string& f : {deadTmp, aliveTmp, otherList, notOurs})
    m_tmp.write(f.substr(m_tmp.path().size() + 1), "tqhsm-watched-dirs 1\n/half");

  // An update that changes nothing writes nothing, and removes nothing.
  ASSERT_EQ(m_lowLevel.startWatchingDirTree(dir("data").c_str()), 0);
  EXPECT_TRUE(FileExists(deadTmp));
  ASSERT_EQ(m_lowLevel.startWatchingDirTree(dir("other").c_str()), 0);
  EXPECT_FALSE(FileExists(deadTmp));
  EXPECT_TRUE(FileExists(aliveTmp));
  EXPECT_TRUE(FileExists(otherList));  // another list's: its own update removes it
  EXPECT_TRUE(FileExists(notOurs));
  kill(alive, SIGKILL);
  waitpid(alive, nullptr, 0);
  TQHSMMigratedDirTrees trees(true, "host1");
  ASSERT_EQ(trees.addTree(dir("data").c_str()), 0);
  EXPECT_FALSE(FileExists(otherList));
  ASSERT_EQ(m_lowLevel.stopWatchingDirTree(dir("other").c_str()), 0);
  EXPECT_FALSE(FileExists(aliveTmp));
  EXPECT_EQ(m_lowLevel.isDirWatched(dir("data").c_str()), 1);
}

TEST_F(WatchStoreTest, ALinkPlantedAtTheTemporaryNameIsNotFollowed) {
  ASSERT_EQ(m_lowLevel.startWatchingDirTree(dir("data").c_str()), 0);
  std::string target = m_tmp.write("precious", "keep me\n");
  std::string tmp = watchFile() + ".tmp." + std::to_string(getpid());
  ASSERT_EQ(symlink(target.c_str(), tmp.c_str()), 0);
  ASSERT_EQ(m_lowLevel.startWatchingDirTree(dir("other").c_str()), 0);
  EXPECT_EQ(ReadFile(target), "keep me\n");
  EXPECT_EQ(m_lowLevel.isDirWatched(dir("other").c_str()), 1);
  EXPECT_FALSE(FileExists(tmp));
}

// Two processes changing the list at once lose nothing: every change is a
// read-modify-write under the state directory's lock.
TEST_F(WatchStoreTest, ConcurrentWritersLoseNothing) {
  const int kPerChild = 25;
  std::vector<pid_t> children;
  for (int c = 0; c < 2; ++c) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      TQHSMMigratedDirTrees trees(true, "client" + std::to_string(c));
      int failures = 0;
      for (int i = 0; i < kPerChild; ++i)
        failures += trees.addTree(("/tree/" + std::to_string(i)).c_str()) != 0;
      _exit(failures);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::string text = ReadFile(treesFile());
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 2 * kPerChild);
  for (int c = 0; c < 2; ++c) {
    TQHSMMigratedDirTrees trees(true, "client" + std::to_string(c));
    std::string root;
    for (int i = 0; i < kPerChild; ++i)
      EXPECT_EQ(trees.wasDirMigrated(("/tree/" + std::to_string(i)).c_str(), root), 1);
  }
}
