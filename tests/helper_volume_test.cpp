#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <list>
#include <map>
#include <string>
#include <vector>

#include "CaptureLog.h"
#include "ScanFakes.h"
#include "TQHSMHelper.h"
#include "TempDir.h"
#include "Volumes.h"

using namespace tqhsm::test;
using Mounts = std::map<std::string, std::string>;

namespace {

const char* kTag = "TQHSMHelper::resetVolume";
const char* kSkipTypes = ":nfs:isofs:openpromfs:smbfs:devfs:procfs:nsspool:sysfs:floppy:lofs:tmpfs:proc:ctfs:ufs:";

class VolumeTest : public ::testing::Test {
 protected:
  VolumeTest()
      : m_config("[HSM]\nStateDirectory = " + m_tmp.path() + "/state\n"), m_mountScope(&m_mounts) {
    mkdir(m_tmp.file("vol").c_str(), 0755);
    mkdir(m_tmp.file("vol/nested").c_str(), 0755);
  }

  // A helper as Initialize leaves it, with watermarks and a fake context.
  std::unique_ptr<TQHSMHelper> helper(int high, int low, int remote = 0, bool proxy = false,
                                      int driver = 0) {
    TQHSMHelperInitArgs args;
    args.m_nRemoteClientId = remote;
    args.m_bIsProxy = proxy;
    std::unique_ptr<TQHSMHelper> h(new TQHSMHelper(args));
    h->m_bRulesInitialized = true;
    h->m_rules.m_ulRulesFlag = 0;
    h->m_rules.m_nHighFreeSpace = high;
    h->m_rules.m_nLowFreeSpace = low;
    h->m_sSkipFsTypes = kSkipTypes;
    m_ctx = new FakeCtx(driver);
    h->m_pLowLevelCtx = m_ctx;
    return h;
  }
  std::string dir(const char* name) const { return m_tmp.file(name); }

  TempDir m_tmp;
  ScopedConfig m_config;
  FakeMounts m_mounts;
  tqhsm::ScopedBackend<tqhsm::MountSource> m_mountScope;
  CaptureLog m_log;
  FakeCtx* m_ctx = nullptr;
};

}  // namespace

TEST_F(VolumeTest, MountSelectionNestedTiesAndSkip) {
  m_mounts.add("/", "ext4");
  m_mounts.add("/data", "ext4");
  m_mounts.add("/data/sub", "xfs");
  m_mounts.add("/data/sub/deep", "tmpfs");
  m_mounts.add("/datax", "ext4");
  m_mounts.add("/data", "btrfs");   // as long as the first /data: the first holds the path
  m_mounts.add("/data/sub", "nfs");  // nested entries: the later one overwrites
  struct Case {
    const char* path;
    bool skipNested;
    Mounts expected;
  };
  const Case cases[] = {
      {"/data", false, {{"/data", "ext4"}, {"/data/sub", "nfs"}, {"/data/sub/deep", "tmpfs"}}},
      {"/data/", false, {{"/data", "ext4"}, {"/data/sub", "nfs"}, {"/data/sub/deep", "tmpfs"}}},
      {"/data", true, {{"/data", "ext4"}}},
      {"/data/sub/f", false, {{"/data/sub", "xfs"}}},
      {"/datax/y", false, {{"/datax", "ext4"}}},
      {"/srv", false, {{"/", "ext4"}}},
      {"/",
       false,
       {{"/", "ext4"},
        {"/data", "btrfs"},
        {"/data/sub", "nfs"},
        {"/data/sub/deep", "tmpfs"},
        {"/datax", "ext4"}}},
  };
  for (const Case& c : cases) {
    Mounts mounts;
    EXPECT_EQ(getMountsToMonitor(c.path, mounts, c.skipNested), 0) << c.path;
    EXPECT_EQ(mounts, c.expected) << c.path << " skip " << c.skipNested;
  }
  Mounts mounts;
  EXPECT_EQ(getMountsToMonitor("relative/path", mounts, false), -1);  // no mount holds it
  EXPECT_EQ(getMountsToMonitor(nullptr, mounts, false), -1);
  m_mounts.fail = true;
  EXPECT_EQ(getMountsToMonitor("/data", mounts, false), -1);
  FakeMounts empty;
  tqhsm::ScopedBackend<tqhsm::MountSource> scope(&empty);
  EXPECT_EQ(getMountsToMonitor("/data", mounts, false), -1);
}

TEST_F(VolumeTest, GatesClearTheBudgetsFirst) {
  m_mounts.add("/", "ext4");
  struct Case {
    bool initialized;
    uint64_t flags;
    bool mountsFail;
    int result;
    const char* error;
  };
  const Case cases[] = {
      {false, 0, false, -1, "HSMRules not initialized yet."},
      {true, 0x2000, false, 0, "HSMSRules are disabled."},
      {true, 0x2004, false, 0, "HSMSRules are disabled."},
      {true, 0, true, -1, "Failed to get MountPoints"},
  };
  for (const Case& c : cases) {
    // The run's mount table is read once, with the context.
    m_mounts.fail = c.mountsFail;
    auto h = helper(100, 100);
    h->m_bRulesInitialized = c.initialized;
    h->m_rules.m_ulRulesFlag = c.flags;
    h->m_mapAmountToArchive["/old"] = 5;
    h->m_mapFsBlockSize["/old"] = 4096;
    m_log.clear();
    std::string error;
    EXPECT_EQ(h->resetVolume("/data", error, false), c.result);
    EXPECT_EQ(error, c.error);
    EXPECT_TRUE(h->m_mapAmountToArchive.empty());
    EXPECT_TRUE(h->m_mapFsBlockSize.empty());
    EXPECT_TRUE(m_log.lines.empty());
  }
}

// Setting volumes up goes by the table the context read: however many content
// paths a run has, the mount table is read once.
TEST_F(VolumeTest, ContentPathsGoByTheTableReadOnce) {
  m_mounts.add("/", "ext4");
  m_mounts.add("/data", "ext4");
  auto h = helper(100, 100);
  const int readsBefore = m_mounts.reads;
  m_ctx->add("/");
  m_ctx->add("/data");
  std::string error;
  for (const char* path : {"/data", "/etc", "/data"}) {
    h->resetVolume(path, error, true);
    EXPECT_EQ(m_mounts.reads, readsBefore) << path;
  }
  // A mount that appears later is not the run's.
  m_mounts.add("/late", "ext4");
  h->resetVolume("/late/x", error, true);
  EXPECT_EQ(h->m_mapAmountToArchive.count("/late"), 0u);
  EXPECT_EQ(m_mounts.reads, readsBefore);
}

TEST_F(VolumeTest, SkippedTypesAndMountsWithoutExtendedAttributes) {
  std::string vol = dir("vol"), nested = dir("vol/nested");
  m_mounts.add("/", "ext4");
  m_mounts.add(vol, "tmpfs");
  m_mounts.add(nested, "ext4");
  for (int driver : {0, 2}) {
    auto h = helper(100, 100, 0, false, driver);
    m_ctx->add(nested)->xattr = 0;
    m_log.clear();
    std::string error;
    int rc = h->resetVolume(vol.c_str(), error, false);
    EXPECT_TRUE(m_log.has(kTag, "Skipping  " + vol + " of type tmpfs"));
    EXPECT_TRUE(m_log.has(kTag, "Processing " + vol + " of type :tmpfs:"));
    EXPECT_EQ(h->m_mapAmountToArchive.at(vol), 0);
    if (driver == 2) {
      // Only driver mode 2 asks; the mount point is reported at the end.
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(error, "Nothing to migrate on Volume");
      EXPECT_TRUE(m_log.has(kTag, "Nothing to migrate on Volume " + vol));
      EXPECT_TRUE(m_log.has(kTag, "Mount point " + nested +
                                      " will not be archived. Error no user xattrs on " + nested));
      EXPECT_EQ(h->m_vecNoXattrMounts, std::vector<std::string>{nested});
      EXPECT_EQ(h->m_mapAmountToArchive.at(nested), 0);
    } else {
      EXPECT_EQ(rc, 1);  // the nested ext4 mount point has a budget
      EXPECT_TRUE(h->m_vecNoXattrMounts.empty());
      EXPECT_GT(h->m_mapAmountToArchive.at(nested), 0);
    }
  }
}

TEST_F(VolumeTest, BudgetsFollowTheRealFiguresAndVolumesAreWatched) {
  std::string root = m_tmp.path(), content = dir("vol"), nested = dir("vol/nested");
  m_mounts.add("/", "ext4");
  m_mounts.add(root, "ext4");
  m_mounts.add(nested, "ext4");
  struct statvfs vfs;
  ASSERT_EQ(statvfs(root.c_str(), &vfs), 0);
  int64_t block = static_cast<int64_t>(vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize);
  int64_t total = static_cast<int64_t>(vfs.f_blocks) * block;

  // High and low at 100 %: every volume needs the bytes that are not free.
  auto h = helper(100, 100);
  FakeLowLevel* ll = m_ctx->add("/");
  std::string error;
  EXPECT_EQ(h->resetVolume(content.c_str(), error, false), 1);
  EXPECT_EQ(error, "");
  EXPECT_EQ(h->m_mapAmountToArchive.size(), 2u);
  for (const std::string& m : {root, nested}) {
    EXPECT_GT(h->m_mapAmountToArchive.at(m), 0);
    EXPECT_LE(h->m_mapAmountToArchive.at(m), total);
    EXPECT_EQ(h->m_mapFsBlockSize.at(m), block);
    std::string copy = m;
    EXPECT_TRUE(h->MoreFilesToArchive(copy));
  }
  // Ascending mount points; the holder is watched at the content path. The
  // nested mount point lies in the tree just recorded for it, so (the fake
  // answering "not watched") that tree is watched again and nothing new listed.
  EXPECT_EQ(ll->calls, (std::vector<std::string>{"watched? " + content, "start " + content,
                                                 "watched? " + nested, "start " + content}));
  EXPECT_EQ(h->m_lstNewHSMMountPoints, (std::list<std::string>{content}));
  EXPECT_TRUE(h->m_mapVolumesToWatch.empty());
  ASSERT_NE(h->m_pVolume, nullptr);
  EXPECT_EQ(h->m_pVolume->m_sPath, nested);  // the last one set up
  EXPECT_TRUE(m_log.has(kTag, "Amount to archive is greater than zero. Setting archive flag to true"));
  EXPECT_TRUE(m_log.has(kTag, "Setting fsBlockSize as " + std::to_string(block) +
                                  " for mount point " + nested));

  // Low at 0 %: more is free than that, so nothing to archive.
  auto idle = helper(100, 0);
  EXPECT_EQ(idle->resetVolume(content.c_str(), error, true), 0);
  EXPECT_EQ(error, "Nothing to migrate on Volume");
  EXPECT_EQ(idle->m_mapAmountToArchive, (std::map<std::string, int64_t>{{root, 0}}));
  EXPECT_EQ(idle->m_mapFsBlockSize, (std::map<std::string, int64_t>{{root, 0}}));
  EXPECT_EQ(m_ctx->lookups, 0);
}

TEST_F(VolumeTest, AFailedWatchCostsTheBudgetButNotTheResult) {
  std::string vol = dir("vol");
  m_mounts.add(vol, "ext4");
  auto h = helper(100, 100);
  m_ctx->add("/")->startRc = -1;
  std::string error;
  EXPECT_EQ(h->resetVolume(vol.c_str(), error, false), 1);
  EXPECT_EQ(error, "");
  EXPECT_EQ(h->m_mapAmountToArchive.at(vol), 0);
  EXPECT_GT(h->m_mapFsBlockSize.at(vol), 0);
  // The low-level library's reason follows the text of the step.
  EXPECT_TRUE(m_log.has(kTag, "Failed to start watching dir tree " + vol + ": start refused."));
  EXPECT_TRUE(m_log.has(kTag, "Nothing to migrate on volume:" + vol));
  EXPECT_FALSE(h->MoreFilesToArchive(vol));
}

// Off the local scan nothing is watched now; a volume at or below its low
// watermark is recorded for the end of the run whatever its budget. A mount
// point whose figures cannot be read has them all 0: with both watermarks at 0
// it is at its low watermark with a budget of 0. A volume with more free space
// than that is not recorded.
TEST_F(VolumeTest, OtherModesRecordVolumesForTheEnd) {
  std::string vol = dir("vol"), gone = dir("vol/gone");
  m_mounts.add(vol, "ext4");
  m_mounts.add(gone, "ext4");
  struct Case {
    int remote;
    bool proxy;
    int result;
    std::map<std::string, bool> recorded;
  };
  const Case cases[] = {
      {0, false, 0, {}},
      {7, false, 0, {{gone, true}}},
      {0, true, 0, {{gone, true}}},
  };
  for (const Case& c : cases) {
    auto h = helper(0, 0, c.remote, c.proxy);
    FakeLowLevel* ll = m_ctx->add("/");
    std::string error;
    EXPECT_EQ(h->resetVolume(vol.c_str(), error, false), c.result);
    EXPECT_EQ(h->m_mapVolumesToWatch, c.recorded);
    EXPECT_EQ(h->m_mapAmountToArchive.at(gone), 0);
    EXPECT_EQ(h->m_mapFsBlockSize.at(gone), 0);
    EXPECT_TRUE(ll->calls.empty());
  }
}

TEST_F(VolumeTest, MoreFilesToArchiveTrimsOneSlashAndForgetsOldBudgets) {
  m_mounts.add("/", "ext4");
  m_mounts.add(dir("vol"), "ext4");
  auto h = helper(100, 100);
  m_ctx->add("/");
  h->m_mapAmountToArchive["/data"] = 10;
  h->m_mapAmountToArchive["/"] = 10;
  h->m_mapAmountToArchive["/spent"] = 0;
  struct Case {
    std::string in;
    std::string after;
    bool more;
  };
  const Case cases[] = {
      {"/data/", "/data", true}, {"/data", "/data", true},  {"/data//", "/data/", false},
      {"/", "/", true},          {"/spent", "/spent", false}, {"/never", "/never", false},
  };
  for (const Case& c : cases) {
    std::string m = c.in;
    EXPECT_EQ(h->MoreFilesToArchive(m), c.more) << c.in;
    EXPECT_EQ(m, c.after);
  }
  EXPECT_TRUE(m_log.has("TQHSMHelper::MoreFilesToArchive", "MountPoint Recieved:/data/ Length:6"));
  EXPECT_TRUE(m_log.has("TQHSMHelper::MoreFilesToArchive", "MountPoint To Check:/data Length:5"));

  // A second reset forgets the first one's volumes.
  std::string error;
  ASSERT_EQ(h->resetVolume(dir("vol").c_str(), error, true), 1);
  std::string data = "/data";
  EXPECT_FALSE(h->MoreFilesToArchive(data));
  std::string vol = dir("vol");
  EXPECT_TRUE(h->MoreFilesToArchive(vol));
}

TEST(TQHSMVolumeTest, UnreadableFiguresAreAllZero) {
  TQHSMVolume v("/nonexistent/mount/point");
  std::string error = "x";
  int64_t freeBytes = -1;
  EXPECT_TRUE(v.GetFreeDiskBytes(freeBytes, error));
  EXPECT_EQ(freeBytes, 0);
  EXPECT_EQ(error, "");
  error = "x";
  EXPECT_EQ(v.GetBytesForPercent(30, error), 0);
  EXPECT_EQ(error, "");
  EXPECT_EQ(v.GetFSBlockSize(), 0);
}
