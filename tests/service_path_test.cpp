// Which volume paths the HSM service accepts from its peers: text rules,
// allowed roots, and resolution that never follows a symbolic link (openat2,
// and the component walk of kernels without it), also against links that the
// owner of a directory under a root plants.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "SafePath.h"
#include "TempDir.h"
#include "TestUser.h"
#include "VolumePath.h"

using namespace tqhsm::service;
using namespace tqhsm::test;

namespace {

std::string realPath(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) ? buf : path;
}

// A tree under a temporary root: dir/sub, a file, links to inside and outside.
class VolumePathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_sRoot = realPath(m_tmp.path());
    ASSERT_EQ(mkdir((m_sRoot + "/dir").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((m_sRoot + "/dir/sub").c_str(), 0755), 0);
    m_tmp.write("file", "x");
    ASSERT_EQ(symlink((m_sRoot + "/dir").c_str(), (m_sRoot + "/inside").c_str()), 0);
    ASSERT_EQ(symlink("/etc", (m_sRoot + "/outside").c_str()), 0);
    ASSERT_EQ(symlink("dir", (m_sRoot + "/relative").c_str()), 0);
  }
  TempDir m_tmp;
  std::string m_sRoot;
};

}  // namespace

TEST(VolumePathText, NormalizedOrRefused) {
  struct Case {
    const char* path;
    const char* normalized;  // null: refused with error
    const char* error;
  };
  const Case cases[] = {
      {"/", "/", nullptr},
      {"/data", "/data", nullptr},
      {"/data/", "/data", nullptr},
      {"//data///vol//", "/data/vol", nullptr},
      {"/data/.hidden/..x", "/data/.hidden/..x", nullptr},
      {"", nullptr, "no volume path given"},
      {"data", nullptr, "volume path 'data' is not absolute"},
      {"./data", nullptr, "volume path './data' is not absolute"},
      {"/data/../etc", nullptr, "volume path '/data/../etc' has a '..' component"},
      {"/data/..", nullptr, "volume path '/data/..' has a '..' component"},
      {"/./data", nullptr, "volume path '/./data' has a '.' component"},
  };
  for (const Case& c : cases) {
    std::string out = "untouched", error;
    bool ok = NormalizeVolumePath(c.path, out, error);
    EXPECT_EQ(ok, c.normalized != nullptr) << c.path;
    if (c.normalized) {
      EXPECT_EQ(out, c.normalized) << c.path;
    } else {
      EXPECT_EQ(error, c.error) << c.path;
      EXPECT_EQ(out, "untouched");
    }
  }
}

TEST(VolumePathText, UnderARootByWholeComponents) {
  struct Case {
    const char* path;
    const char* root;
    bool under;
  };
  const Case cases[] = {
      {"/srv/data", "/srv/data", true},
      {"/srv/data/x", "/srv/data", true},
      {"/srv/database", "/srv/data", false},
      {"/srv", "/srv/data", false},
      {"/anything", "/", true},
      {"/", "/", true},
      {"/srv/data", "/srv", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IsUnderRoot(c.path, c.root), c.under) << c.path << " " << c.root;
}

TEST_F(VolumePathTest, ResolutionNeverFollowsALink) {
  struct Case {
    const char* path;
    int err;  // 0: opened
  };
  const Case cases[] = {
      {"/dir", 0},
      {"/dir/sub", 0},
      {"/file", 0},
      {"/inside", ELOOP},
      {"/inside/sub", ELOOP},
      {"/outside", ELOOP},
      {"/outside/passwd", ELOOP},
      {"/relative/sub", ELOOP},
      {"/file/x", ENOTDIR},
      {"/missing", ENOENT},
      {"/missing/x", ENOENT},
  };
  for (bool walkOnly : {false, true}) {
    for (const Case& c : cases) {
      std::string path = m_sRoot + c.path;
      errno = 0;
      int fd = walkOnly ? tqhsm::OpenNoFollowByWalk(path.c_str(), O_PATH)
                        : tqhsm::OpenNoFollow(path.c_str(), O_PATH);
      int err = errno;
      if (c.err == 0) {
        EXPECT_GE(fd, 0) << path << (walkOnly ? " (walk)" : "") << ": " << strerror(err);
        struct stat viaFd, viaPath;
        ASSERT_EQ(fstat(fd, &viaFd), 0);
        ASSERT_EQ(lstat(path.c_str(), &viaPath), 0);
        EXPECT_EQ(viaFd.st_ino, viaPath.st_ino) << path;
        close(fd);
      } else {
        EXPECT_EQ(fd, -1) << path << (walkOnly ? " (walk)" : "");
        EXPECT_EQ(err, c.err) << path << (walkOnly ? " (walk)" : "");
      }
    }
  }
}

TEST_F(VolumePathTest, TheWholeCheck) {
  const std::vector<std::string> roots = {m_sRoot + "/dir", m_sRoot + "/file",
                                          m_sRoot + "/outside"};
  const std::string r = m_sRoot;
  struct Case {
    std::string path;
    std::string result;  // the normalized path, or the error
    bool ok;
  };
  const std::string allowed = "(" + r + "/dir, " + r + "/file, " + r + "/outside)";
  const Case cases[] = {
      {r + "/dir/", r + "/dir", true},
      {r + "/dir//sub", r + "/dir/sub", true},
      {r + "/dirt",
       "volume path '" + r + "/dirt' lies outside the allowed roots of this service " + allowed,
       false},
      {r + "/file", "volume path '" + r + "/file' is not a directory", false},
      // A root that is a link allows nothing below it.
      {r + "/outside/ssl",
       "volume path '" + r +
           "/outside/ssl' runs through a symbolic link (links are never "
           "followed)",
       false},
      {r + "/dir/gone", "volume path '" + r + "/dir/gone' does not exist", false},
  };
  for (const Case& c : cases) {
    std::string normalized, error;
    EXPECT_EQ(CheckVolumePath(c.path, roots, normalized, error), c.ok) << c.path;
    EXPECT_EQ(c.ok ? normalized : error, c.result);
  }
  std::string normalized, error;
  EXPECT_FALSE(CheckVolumePath(r + "/dir", {}, normalized, error));
  EXPECT_EQ(error, "volume path '" + r +
                       "/dir' lies outside the allowed roots of this service (none configured)");
}

TEST(VolumePathFileSystems, KernelAndNetworkFileSystemsAreNotVolumes) {
  std::string normalized, error;
  EXPECT_FALSE(CheckVolumePath("/proc/self", {"/"}, normalized, error));
  // /proc/self is a link (a magic one below it): never followed.
  EXPECT_EQ(error,
            "volume path '/proc/self' runs through a symbolic link (links are never followed)");
  EXPECT_FALSE(CheckVolumePath("/proc/sys", {"/"}, normalized, error));
  EXPECT_EQ(error,
            "volume path '/proc/sys' is on a proc file system, not one of this machine's own");
  EXPECT_STREQ(NonLocalFileSystem(0x6969), "nfs");
  EXPECT_STREQ(NonLocalFileSystem(0xFF534D42), "cifs");
  EXPECT_EQ(NonLocalFileSystem(0xEF53), nullptr);  // ext4
}

// The owner of a directory under an allowed root turns the volume a scan
// asks for into a link to a directory of root's: the service refuses it.
TEST_F(VolumePathTest, ALinkPlantedByTheOwnerOfADirectoryIsRefused) {
  TQHSM_REQUIRE_TEST_USER();
  ASSERT_EQ(chmod(m_sRoot.c_str(), 0755), 0);  // the user may reach its directory
  const std::string home = m_sRoot + "/home";
  ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((home + "/vol").c_str(), 0755), 0);
  ASSERT_TRUE(TestUser::Chown(home));
  std::string normalized, error;
  ASSERT_TRUE(CheckVolumePath(home + "/vol", {m_sRoot}, normalized, error)) << error;

  const std::string vol = home + "/vol";
  ASSERT_EQ(TestUser::Run([&] {
              if (rmdir(vol.c_str()) != 0) return 1;
              return symlink("/etc", vol.c_str()) == 0 ? 0 : 2;
            }),
            0);
  EXPECT_FALSE(CheckVolumePath(vol, {m_sRoot}, normalized, error));
  EXPECT_EQ(error,
            "volume path '" + vol + "' runs through a symbolic link (links are never followed)");
  // Nor is the directory itself swapped for a link that leads back inside.
  ASSERT_EQ(TestUser::Run([&] {
              if (unlink(vol.c_str()) != 0 || mkdir((home + "/real").c_str(), 0755) != 0) return 1;
              return symlink("real", vol.c_str()) == 0 ? 0 : 2;
            }),
            0);
  EXPECT_FALSE(CheckVolumePath(vol + "/", {m_sRoot}, normalized, error));
  EXPECT_EQ(error,
            "volume path '" + vol + "' runs through a symbolic link (links are never followed)");
}
