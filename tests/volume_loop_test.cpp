#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "CaptureLog.h"
#include "HSMWatch.h"
#include "ScanFakes.h"
#include "TQHSMHelper.h"
#include "TempDir.h"

// Budgets on a real file system of known size and fill: a loop-mounted ext4
// image. Needs root and loop devices; skipped where either is missing.

using namespace tqhsm::test;

namespace {

const uint64_t kBlock = 4096;
const uint64_t kBlocks = 16384;  // a 64 MiB image

bool run(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

class LoopVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a file system";
    m_image = m_tmp.file("fs.img");
    m_mount = m_tmp.file("mnt");
    mkdir(m_mount.c_str(), 0755);
    if (!run("truncate -s " + std::to_string(kBlock * kBlocks) + " " + m_image) ||
        !run("mkfs.ext4 -q -F -b 4096 -m 0 " + m_image))
      GTEST_SKIP() << "cannot make an ext4 image (mkfs.ext4 missing?)";
    // minixdf: the file system's size is its whole size, without the overhead
    // ext4 otherwise leaves out, so the watermarks fall on known figures.
    if (!run("mount -o loop,minixdf " + m_image + " " + m_mount))
      GTEST_SKIP() << "cannot loop-mount an image here";
    m_mounted = true;
    struct statvfs vfs;
    ASSERT_EQ(statvfs(m_mount.c_str(), &vfs), 0);
    ASSERT_EQ(vfs.f_frsize, kBlock);
    ASSERT_EQ(vfs.f_blocks, kBlocks);
  }
  void TearDown() override {
    if (m_mounted) run("umount " + m_mount);
  }

  uint64_t available() const {
    struct statvfs vfs;
    statvfs(m_mount.c_str(), &vfs);
    return vfs.f_bavail;
  }
  bool allocate(const std::string& path, uint64_t blocks) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    bool ok = posix_fallocate(fd, 0, static_cast<off_t>(blocks * kBlock)) == 0;
    close(fd);
    return ok;
  }
  // Fills the file system until exactly `blocks` blocks are available: one big
  // file, then single blocks (each costs one block, its extent lives in the
  // inode), giving one back when a directory block tips it under.
  void fillTo(uint64_t blocks) {
    ASSERT_GT(available(), blocks + 64);
    ASSERT_TRUE(allocate(m_mount + "/filler", available() - blocks - 32));
    for (int i = 0; i < 1000 && available() != blocks; ++i) {
      if (available() > blocks) {
        ASSERT_TRUE(allocate(m_mount + "/one" + std::to_string(m_nSmall++), 1));
      } else {
        ASSERT_GT(m_nSmall, 0);
        unlink((m_mount + "/one" + std::to_string(--m_nSmall)).c_str());
      }
    }
    ASSERT_EQ(available(), blocks);
  }
  // Gives one single-block file back.
  void freeOneBlock() {
    ASSERT_GT(m_nSmall, 0);
    unlink((m_mount + "/one" + std::to_string(--m_nSmall)).c_str());
  }
  std::unique_ptr<TQHSMHelper> helper(int high, int low) {
    TQHSMHelperInitArgs args;
    std::unique_ptr<TQHSMHelper> h(new TQHSMHelper(args));
    h->m_bRulesInitialized = true;
    h->m_rules.m_ulRulesFlag = 0;
    h->m_rules.m_nHighFreeSpace = high;
    h->m_rules.m_nLowFreeSpace = low;
    h->m_sSkipFsTypes = ":tmpfs:proc:";
    h->m_pLowLevelCtx = new TQHSMLowLevelCtx(2);  // the real one, with the xattr check
    return h;
  }
  bool watched(const std::string& dir) {
    TQHSMLowLevel ll(m_mount);
    return ll.isDirWatched(dir.c_str()) > 0;
  }

  TempDir m_tmp;
  ScopedConfig m_config{"[HSM]\nStateDirectory = " + m_tmp.path() + "/state\n"};
  CaptureLog m_log;
  std::string m_image, m_mount;
  bool m_mounted = false;
  int m_nSmall = 0;
};

}  // namespace

TEST_F(LoopVolumeTest, AvailableEqualToTheLowWatermarkGetsABudgetAboveItNone) {
  // Low 25 % of 16384 blocks is 4096 blocks, high 50 % is 8192 blocks.
  fillTo(4096);
  std::string error;
  auto h = helper(50, 25);
  EXPECT_EQ(h->resetVolume(m_mount.c_str(), error, false), 1) << error;
  EXPECT_EQ(h->m_mapAmountToArchive.at(m_mount), static_cast<int64_t>((8192 - 4096) * kBlock));
  EXPECT_EQ(h->m_mapFsBlockSize.at(m_mount), static_cast<int64_t>(kBlock));
  EXPECT_TRUE(h->MoreFilesToArchive(m_mount));
  EXPECT_TRUE(watched(m_mount));
  EXPECT_EQ(h->m_lstNewHSMMountPoints, std::list<std::string>{m_mount});
  EXPECT_TRUE(h->m_vecNoXattrMounts.empty());  // ext4 holds user attributes

  // A content path below the mount point is watched at itself.
  mkdir((m_mount + "/sub").c_str(), 0755);
  freeOneBlock();  // the directory took a block
  ASSERT_EQ(available(), 4096u);
  EXPECT_EQ(h->resetVolume((m_mount + "/sub").c_str(), error, false), 1);
  EXPECT_TRUE(watched(m_mount + "/sub"));

  // One block more than the low watermark: nothing to archive.
  freeOneBlock();
  ASSERT_EQ(available(), 4097u);
  EXPECT_EQ(h->resetVolume(m_mount.c_str(), error, false), 0);
  EXPECT_EQ(error, "Nothing to migrate on Volume");
  EXPECT_EQ(h->m_mapAmountToArchive.at(m_mount), 0);
  EXPECT_EQ(h->m_mapFsBlockSize.at(m_mount), 0);
  EXPECT_FALSE(h->MoreFilesToArchive(m_mount));
}

TEST_F(LoopVolumeTest, EqualWatermarksAtTheAvailableSpaceGiveNoBudgetAndNoWatch) {
  fillTo(4096);
  std::string error;
  auto h = helper(25, 25);
  EXPECT_EQ(h->resetVolume(m_mount.c_str(), error, false), 0);
  EXPECT_EQ(error, "Nothing to migrate on Volume");
  EXPECT_EQ(h->m_mapAmountToArchive.at(m_mount), 0);
  EXPECT_EQ(h->m_mapFsBlockSize.at(m_mount), static_cast<int64_t>(kBlock));
  EXPECT_FALSE(watched(m_mount));
  EXPECT_TRUE(h->m_lstNewHSMMountPoints.empty());
}
