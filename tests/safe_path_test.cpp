#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

#include "HSMStore.h"
#include "SafePath.h"
#include "StubFiles.h"
#include "TempDir.h"

using namespace tqhsm::test;
using tqhsm::HSMStore;
using tqhsm::ScopedBackend;

namespace {

// Answers ENOSYS for openat2, as a kernel before 5.6 does, and can run a hook
// right before a name is checked for a delete.
class OldKernel : public tqhsm::HSMStoreWrapper {
 public:
  int openat2(int, const char*, const struct open_how*, size_t) override {
    ++openat2Calls;
    errno = ENOSYS;
    return -1;
  }
  int openat2Calls = 0;
};

class HookedStore : public tqhsm::HSMStoreWrapper {
 public:
  int fstatat(int dirfd, const char* path, struct stat* st, int flags) override {
    if (beforeCheck) {
      std::function<void()> hook = beforeCheck;
      beforeCheck = nullptr;
      hook();
    }
    return HSMStoreWrapper::fstatat(dirfd, path, st, flags);
  }
  std::function<void()> beforeCheck;
};

// A tree with a file, a directory link and a file link:
//   real/sub/f   linkdir -> real   real/flink -> sub/f
class SafePathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(m_dir.file("real").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(m_dir.file("real/sub").c_str(), 0755), 0);
    m_file = m_dir.write("real/sub/f", "data");
    ASSERT_EQ(symlink(m_dir.file("real").c_str(), m_dir.file("linkdir").c_str()), 0);
    ASSERT_EQ(symlink("sub/f", m_dir.file("real/flink").c_str()), 0);
  }
  // Opens path and reports errno (0 when it opened).
  int openErrno(const std::string& path, int flags = O_RDONLY) {
    int fd = tqhsm::OpenNoFollow(path.c_str(), flags);
    if (fd < 0) return errno;
    close(fd);
    return 0;
  }
  TempDir m_dir;
  std::string m_file;
};

}  // namespace

TEST_F(SafePathTest, NoSymbolicLinkIsFollowedInAnyComponent) {
  OldKernel old;
  for (bool walk : {false, true}) {
    SCOPED_TRACE(walk ? "component walk" : "openat2");
    std::unique_ptr<ScopedBackend<HSMStore>> scope;
    if (walk) scope.reset(new ScopedBackend<HSMStore>(&old));
    EXPECT_EQ(openErrno(m_file), 0);
    EXPECT_EQ(openErrno(m_dir.file("real/sub/../sub/f")), 0);
    EXPECT_EQ(openErrno(m_dir.file("linkdir/sub/f")), ELOOP);
    EXPECT_EQ(openErrno(m_dir.file("real/flink")), ELOOP);
    EXPECT_EQ(openErrno(m_dir.file("real/sub/missing")), ENOENT);
    EXPECT_EQ(openErrno(m_dir.file("real/sub/f/x")), ENOTDIR);
    EXPECT_EQ(openErrno(m_dir.file("real"), O_PATH | O_DIRECTORY), 0);
    // A link in the last place, opened as a directory handle, is refused too.
    EXPECT_EQ(openErrno(m_dir.file("linkdir"), O_PATH | O_DIRECTORY), ELOOP);
    EXPECT_EQ(openErrno(m_dir.file("real/flink"), O_PATH), ELOOP);
    EXPECT_EQ(openErrno("/proc/self/root" + m_file), ELOOP);  // no magic links either
    // A relative path from the working directory.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(m_dir.path().c_str()), 0);
    EXPECT_EQ(openErrno("real/sub/f"), 0);
    EXPECT_EQ(openErrno("linkdir/sub/f"), ELOOP);
    ASSERT_EQ(chdir(cwd), 0);
  }
  EXPECT_GE(old.openat2Calls, 1);
}

TEST(SplitParentTest, ParentAndName) {
  struct Case {
    const char* path;
    bool ok;
    const char* parent;
    const char* name;
  };
  const Case cases[] = {
      {"/a/b", true, "/a", "b"},    {"/x", true, "/", "x"},       {"x", true, ".", "x"},
      {"a/b/", true, "a", "b"},     {"//a//b", true, "//a", "b"}, {"/", false, "", ""},
      {"", false, "", ""},          {"/a/..", false, "", ""},     {"/a/.", false, "", ""},
  };
  for (const Case& c : cases) {
    std::string parent, name;
    EXPECT_EQ(tqhsm::SplitParent(c.path, parent, name), c.ok) << c.path;
    if (c.ok) {
      EXPECT_EQ(parent, c.parent) << c.path;
      EXPECT_EQ(name, c.name) << c.path;
    }
  }
}

TEST_F(SafePathTest, SafeFileOpensOnlyARegularFileThroughNoLink) {
  tqhsm::SafeFile f;
  std::string why;
  ASSERT_TRUE(f.open(m_file.c_str(), O_RDONLY, true, why)) << why;
  EXPECT_EQ(f.name(), "f");
  EXPECT_EQ(f.st().st_ino, StatOf(m_file).st_ino);
  EXPECT_GE(f.dirFd(), 0);
  struct Case {
    std::string path;
    int err;
    const char* why;
  };
  const Case cases[] = {
      {m_dir.file("linkdir/sub/f"), ELOOP, "A symbolic link is in the path of "},
      {m_dir.file("real/flink"), ELOOP, "A symbolic link is in the path of "},
      {m_dir.file("real/sub"), EINVAL, ""},
      {m_dir.file("real/none"), ENOENT, "Cannot open "},
  };
  for (bool withParent : {false, true}) {
    for (const Case& c : cases) {
      tqhsm::SafeFile g;
      EXPECT_FALSE(g.open(c.path.c_str(), O_RDONLY, withParent, why)) << c.path;
      EXPECT_EQ(errno, c.err) << c.path;
      EXPECT_EQ(why.find(c.why), 0u) << why;
      EXPECT_EQ(g.fd(), -1);
      EXPECT_EQ(g.dirFd(), -1);
    }
  }
}

TEST_F(SafePathTest, DeleteGoesThroughTheParentAndOnlyToTheFileOpened) {
  HookedStore store;
  ScopedBackend<HSMStore> scope(&store);
  std::string why;
  {
    // The name is given to another file between the open and the delete.
    tqhsm::SafeFile f;
    ASSERT_TRUE(f.open(m_file.c_str(), O_RDONLY, true, why)) << why;
    std::string other = m_dir.write("real/sub/other", "other");
    store.beforeCheck = [&]() { ASSERT_EQ(rename(other.c_str(), m_file.c_str()), 0); };
    EXPECT_EQ(f.unlink(why), -2);
    EXPECT_NE(why.find("names another file now"), std::string::npos) << why;
    EXPECT_EQ(ReadFile(m_file), "other");
  }
  {
    // The directory is moved away and a link put in its place: the delete
    // goes to the directory opened, wherever it is now.
    tqhsm::SafeFile f;
    ASSERT_TRUE(f.open(m_file.c_str(), O_RDONLY, true, why)) << why;
    std::string decoy = m_dir.file("decoy");
    ASSERT_EQ(mkdir(decoy.c_str(), 0755), 0);
    std::string bait = m_dir.write("decoy/f", "not to be deleted");
    store.beforeCheck = [&]() {
      ASSERT_EQ(rename(m_dir.file("real/sub").c_str(), m_dir.file("moved").c_str()), 0);
      ASSERT_EQ(symlink(decoy.c_str(), m_dir.file("real/sub").c_str()), 0);
    };
    EXPECT_EQ(f.unlink(why), 0) << why;
    EXPECT_EQ(ReadFile(bait), "not to be deleted");
    EXPECT_FALSE(FileExists(m_dir.file("moved/f")));
  }
}

TEST_F(SafePathTest, UnlinkIfSameChecksWhatItDeletes) {
  std::string why;
  struct stat st = StatOf(m_file);
  struct stat wrong = st;
  wrong.st_ino += 1;
  EXPECT_EQ(tqhsm::UnlinkIfSame(m_dir.file("real/sub"), "f", &wrong, why), -2);
  EXPECT_TRUE(FileExists(m_file));
  EXPECT_EQ(tqhsm::UnlinkIfSame(m_dir.file("real"), "flink", nullptr, why), -2);  // a link
  EXPECT_EQ(tqhsm::UnlinkIfSame(m_dir.file("real"), "sub", nullptr, why), -2);    // a directory
  EXPECT_EQ(tqhsm::UnlinkIfSame(m_dir.file("linkdir/sub"), "f", nullptr, why), -1);
  EXPECT_NE(why.find("A symbolic link is in the path"), std::string::npos) << why;
  EXPECT_EQ(tqhsm::UnlinkIfSame(m_dir.file("real/sub"), "../sub/f", nullptr, why), -1);
  EXPECT_EQ(tqhsm::UnlinkIfSame(m_dir.file("real/sub"), "none", nullptr, why), -2);
  EXPECT_TRUE(FileExists(m_file));
  EXPECT_EQ(tqhsm::UnlinkIfSame(m_dir.file("real/sub"), "f", &st, why), 0) << why;
  EXPECT_FALSE(FileExists(m_file));
}
