#include <gtest/gtest.h>

#include <string>

#include "CaptureLog.h"
#include "Config.h"
#include "EvEvent.h"
#include "TempDir.h"

using tqhsm::ConfigSource;
using tqhsm::FileLogSink;
using tqhsm::IniConfig;
using tqhsm::LogKind;
using tqhsm::test::CaptureLog;
using tqhsm::test::ReadFile;
using tqhsm::test::TempDir;

TEST(LoggingTest, LevelsDecideWhatIsWritten) {
  CaptureLog log(1);
  EvEvent ev;
  ev.DebugLvl("T", 2, "dropped %d", 2);
  ev.DebugLvl("T", 1, "kept %d", 1);
  ev.DebugLvl("T", -1, "problem %s", "x");
  ev.Debug("T", "plain");
  ev.Error("T", "error %s", "always");
  ev.debug(3, "dropped too");
  ev.debug(0, "untagged");
  ASSERT_EQ(log.lines.size(), 5u);
  EXPECT_EQ(log.lines[0].text, "kept 1");
  EXPECT_EQ(log.lines[1].level, -1);
  EXPECT_EQ(log.lines[2].text, "plain");
  EXPECT_EQ(log.lines[3].kind, LogKind::Error);
  EXPECT_EQ(log.lines[3].text, "error always");
  EXPECT_EQ(log.lines[4].tag, "");
  EXPECT_TRUE(ev.isLevelEnabled(1));
  EXPECT_FALSE(ev.isLevelEnabled(2));
}

TEST(LoggingTest, LongMessagesAreNotCut) {
  CaptureLog log;
  EvDebug d;
  std::string big(5000, 'p');
  d.Error("T", "Failed to open %s: %s.", big.c_str(), "No such file or directory");
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0].text, "Failed to open " + big + ": No such file or directory.");
}

TEST(LoggingTest, FileSinkWritesOneLinePerMessageWithTagAndText) {
  TempDir dir;
  std::string path = dir.file("log");
  {
    FileLogSink sink(path, 2);
    EvEvent ev(&sink);
    ev.DebugLvl("TQHSMHelper::PrintHSMRules", 0, "\tHigh Free Space\t\t:%d", 30);
    ev.DebugLvl("Tag", 3, "hidden");
    ev.Error("Tag", "two\nlines");
    ev << "/a" << "/b";
    ev.CriticalEvent(0x1100004a, 7, 0);
  }
  std::string content = ReadFile(path);
  EXPECT_NE(content.find("DEBUG 0 TQHSMHelper::PrintHSMRules \tHigh Free Space\t\t:30\n"),
            std::string::npos);
  EXPECT_EQ(content.find("hidden"), std::string::npos);
  EXPECT_NE(content.find("ERROR -1 Tag two\\nlines\n"), std::string::npos);
  EXPECT_NE(content.find("EVENT 0x1100004a job=7 arg=0 args=[/a][/b]\n"), std::string::npos);
  size_t lines = 0;
  for (char c : content) lines += c == '\n';
  EXPECT_EQ(lines, 3u);
}

TEST(ConfigTest, ReadsSectionsKeysAndEmptyValues) {
  TempDir dir;
  std::string path = dir.write("tqhsm.ini",
                               "; comment\n"
                               "[FileSystemAgent]\n"
                               "sSKIPLOCKF = Yes\n"
                               "sSKIP_FS_TO_MONITOR =\n"
                               "LimitStubCollect_5 = 100\n"
                               "LimitStubCollect_6 = lots\n"
                               "[Catalog]\n"
                               "Path = /var/tmp/c.db\n");
  auto c = IniConfig::FromFile(path);
  EXPECT_EQ(c->problem(), "");
  std::string v;
  ASSERT_TRUE(c->getString("FileSystemAgent", "sSKIPLOCKF", v));
  EXPECT_EQ(v, "Yes");
  ASSERT_TRUE(c->getString("FileSystemAgent", "sSKIP_FS_TO_MONITOR", v));
  EXPECT_EQ(v, "");
  EXPECT_FALSE(c->getString("FileSystemAgent", "sTQHSM_SKIP_FILES_SMALLER_THAN_FSBLOCK", v));
  EXPECT_FALSE(c->getString("Other", "sSKIPLOCKF", v));
  uint64_t n = 0;
  ASSERT_TRUE(c->getNumber("FileSystemAgent", "LimitStubCollect_5", n));
  EXPECT_EQ(n, 100u);
  EXPECT_FALSE(c->getNumber("FileSystemAgent", "LimitStubCollect_6", n));
  EXPECT_FALSE(c->getNumber("FileSystemAgent", "LimitStubCollect_7", n));
  ASSERT_TRUE(c->getString("Catalog", "Path", v));
  EXPECT_EQ(v, "/var/tmp/c.db");
}

TEST(ConfigTest, UnreadableOrMalformedFilesAreReportedAndUnused) {
  TempDir dir;
  auto missing = IniConfig::FromFile(dir.file("none.ini"));
  EXPECT_NE(missing->problem().find("Cannot open configuration file"), std::string::npos);

  std::string path = dir.write("bad.ini", "[FileSystemAgent]\nsSKIPLOCKF = y\nthis line is wrong\n");
  auto bad = IniConfig::FromFile(path);
  EXPECT_EQ(bad->problem(), "Configuration file " + path + " is malformed at line 3");
  std::string v;
  EXPECT_FALSE(bad->getString("FileSystemAgent", "sSKIPLOCKF", v));
}

TEST(ConfigTest, InstalledSourceIsWhatTheProcessSees) {
  auto c = IniConfig::FromString("[Client]\nName = host1\n");
  tqhsm::ScopedBackend<ConfigSource> scope(c.get());
  std::string v;
  EXPECT_TRUE(ConfigSource::Current().getString("Client", "Name", v));
  EXPECT_EQ(v, "host1");
}
