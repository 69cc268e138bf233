#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CaptureLog.h"
#include "MountTable.h"
#include "Platform.h"
#include "TQHSMHelper.h"

using tqhsm::test::CaptureLog;

TEST(ComparePathTest, RelationOfPathAndMountPoint) {
  struct Case {
    const char* path;
    const char* mount;
    int expected;
  };
  const Case cases[] = {
      {"/data", "/data", 0},      {"/data/", "/data", 0},    {"/", "/", 0},
      {"/data/f", "/data", 1},    {"/data/a/b", "/", 1},     {"/data", "/data/sub", 2},
      {"/", "/boot", 2},          {"/datax", "/data", 3},    {"/data", "/datax", 3},
      {"/a/b", "/a/c", 3},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ComparePath::Check(c.path, c.mount), c.expected) << c.path << " " << c.mount;
}

TEST(MountTableTest, ParsesAndDecodesEscapes) {
  std::vector<ObMntEnt> e = tqhsm::ParseMountTable(
      "/dev/vda1 / ext4 rw,relatime 0 0\n"
      "tmpfs /mnt/with\\040space tmpfs rw 0 0\n"
      "server:/x /mnt/tab\\011and\\134back nfs ro 0 0\n"
      "garbage\n");
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[0].m_sMountPoint, "/");
  EXPECT_EQ(e[0].m_sFsType, "ext4");
  EXPECT_EQ(e[1].m_sMountPoint, "/mnt/with space");
  EXPECT_EQ(e[2].m_sMountPoint, "/mnt/tab\tand\\back");
  EXPECT_EQ(e[2].m_sDevice, "server:/x");
  EXPECT_EQ(tqhsm::DecodeMountField("a\\04"), "a\\04");  // cut escape stays as it is
}

TEST(MountTableTest, ReadsThisMachinesTable) {
  std::vector<ObMntEnt> e;
  ASSERT_FALSE(ObMntTab::getAll(e).IsError());
  bool root = false;
  for (const ObMntEnt& m : e) root |= m.m_sMountPoint == "/";
  EXPECT_TRUE(root);
}

TEST(PrefixPathMapperTest, ReplacesWholeLeadingComponents) {
  struct Case {
    const char* from;
    const char* to;
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"/snap/vol1", "/data", "/snap/vol1/a/b", "/data/a/b"},
      {"/snap/vol1/", "/data/", "/snap/vol1", "/data"},
      {"/snap", "/data", "/snapshot/a", "/snapshot/a"},  // not under the prefix
      {"/snap", "/", "/snap/a", "/a"},
      {"/snap", "/", "/snap", "/"},
      {"/", "/host", "/a/b", "/host/a/b"},
  };
  for (const Case& c : cases) {
    PrefixPathMapper m(c.from, c.to);
    std::string host;
    m.mapProxyToHostPath(c.in, host);
    EXPECT_EQ(host, c.out) << c.from << " -> " << c.to << " : " << c.in;
    std::string snap;
    m.mapSnapProxyToHostPath(c.in, snap);
    EXPECT_EQ(snap, host);
  }
}

TEST(MapProxyPathTest, MapsOnlyOffTheLocalScanAndWithAMapper) {
  CaptureLog log;
  PrefixPathMapper mapper("/proxy", "/host");
  struct Case {
    int remote;
    bool proxy;
    bool snap;
    bool withMapper;
    const char* expected;
    bool logged;
  };
  const Case cases[] = {
      {0, false, false, true, "/proxy/f", false},  // local: unchanged even with a mapper
      {0, true, false, false, "/proxy/f", false},  // proxy without mapper: unchanged, silent
      {0, true, false, true, "/host/f", true},
      {7, false, false, true, "/host/f", true},
      {0, false, true, true, "/host/f", true},
  };
  for (const Case& c : cases) {
    log.clear();
    TQHSMHelperInitArgs args;
    args.m_nRemoteClientId = c.remote;
    args.m_bIsProxy = c.proxy;
    args.m_bUseNativeSnap = c.snap;
    args.m_pPathMapper = c.withMapper ? &mapper : nullptr;
    TQHSMHelper h(args);
    std::string host = "stale";
    h.MapProxyPathToHostPath("/proxy/f", host);
    EXPECT_EQ(host, c.expected);
    EXPECT_EQ(log.has("TQHSMHelper::MapProxyPathToHostPath",
                      "Proxy path '/proxy/f' converted to host path '/host/f'."),
              c.logged);
    EXPECT_EQ(log.lines.size(), c.logged ? 1u : 0u);
  }
}
