#include <gtest/gtest.h>

#include <string>
#include <vector>

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
  EXPECT_NE(content.find("DEBUG 0 TQHSMHelper::PrintHSMRules \\tHigh Free Space\\t\\t:30\n"),
            std::string::npos);
  EXPECT_EQ(content.find("hidden"), std::string::npos);
  EXPECT_NE(content.find("ERROR -1 Tag two\\nlines\n"), std::string::npos);
  EXPECT_NE(content.find("EVENT 0x1100004a job=7 arg=0 args=[/a][/b]\n"), std::string::npos);
  size_t lines = 0;
  for (char c : content) lines += c == '\n';
  EXPECT_EQ(lines, 3u);
}

// What a logged text turns into: controls, DEL and backslashes as escapes,
// well-formed UTF-8 kept but for its C1 controls, anything else byte by byte.
TEST(LoggingTest, TextIsEscapedSoThatNoNameCanForgeALine) {
  struct Case {
    std::string text;
    std::string logged;
  };
  const std::vector<Case> cases = {
      {"plain /data/file.bin", "plain /data/file.bin"},
      {"over\rwrite", "over\\rwrite"},
      {"two\nlines", "two\\nlines"},
      {"tab\there", "tab\\there"},
      {"\x1b[2J\x1b[1;1Hfake", "\\x1b[2J\\x1b[1;1Hfake"},
      {"bell\a", "bell\\x07"},
      {"del\x7f", "del\\x7f"},
      {std::string("nul\0in", 6), "nul\\x00in"},
      {"back\\slash", "back\\\\slash"},
      {"\\x1b", "\\\\x1b"},  // a name that looks like an escape is not one
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"csi\xc2\x9b" "2J", "csi\\xc2\\x9b2J"},            // C1 control in UTF-8
      {"nbsp\xc2\xa0", "nbsp\xc2\xa0"},                   // not a control
      {"latin1 caf\xe9", "latin1 caf\\xe9"},              // not UTF-8
      {"cut \xe2\x82", "cut \\xe2\\x82"},                 // sequence cut short
      {"overlong \xc0\xaf", "overlong \\xc0\\xaf"},
      {"surrogate \xed\xa0\x80", "surrogate \\xed\\xa0\\x80"},
      {"too big \xf4\x90\x80\x80", "too big \\xf4\\x90\\x80\\x80"},
      {"lone \x9b", "lone \\x9b"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logged);
    EXPECT_EQ(tqhsm::EscapeLogText(c.text), c.logged);
    std::string bracketed;
    tqhsm::AppendEscaped(bracketed, c.text.data(), c.text.size(), true);
    EXPECT_EQ(bracketed, c.logged);  // no ']' in these
  }
  std::string arg;
  tqhsm::AppendEscaped(arg, "a][b", 4, true);
  EXPECT_EQ(arg, "a\\x5d[b");
}

// A hostile name through every kind of line of the real log file: each
// message stays one line, and the file holds no control byte but the line
// ends.
TEST(LoggingTest, HostileNamesReachTheLogFileEscaped) {
  TempDir dir;
  const std::string path = dir.file("log");
  const std::string name = "/data/a\rb\x1b[31m\a\x7f\\c.bin";
  const std::string shown = "/data/a\\rb\\x1b[31m\\x07\\x7f\\\\c.bin";
  {
    FileLogSink sink(path, 5);
    EvEvent ev(&sink);
    ev.Debug("TQHSMHelper::IsDMCandidate", "File [%s] is a candidate", name.c_str());
    ev.DebugLvl("TQHSMHelper::PruneStub", 3, "Deleted stub [%s]", name.c_str());
    ev.Error("TQHSMTurboHelper::AddToCollect", "Can not add '%s' to collect file.", name.c_str());
    ev << name << "x]y";
    ev.CriticalEvent(0x11000027, 9, 0);
  }
  const std::string content = ReadFile(path);
  EXPECT_NE(content.find("DEBUG 1 TQHSMHelper::IsDMCandidate File [" + shown +
                         "] is a candidate\n"),
            std::string::npos)
      << content;
  EXPECT_NE(content.find("DEBUG 3 TQHSMHelper::PruneStub Deleted stub [" + shown + "]\n"),
            std::string::npos);
  EXPECT_NE(content.find("ERROR -1 TQHSMTurboHelper::AddToCollect Can not add '" + shown +
                         "' to collect file.\n"),
            std::string::npos);
  EXPECT_NE(content.find("EVENT 0x11000027 job=9 arg=0 args=[" + shown + "][x\\x5dy]\n"),
            std::string::npos);
  size_t lines = 0;
  for (char c : content) {
    unsigned char u = static_cast<unsigned char>(c);
    lines += c == '\n';
    EXPECT_TRUE(c == '\n' || (u >= 0x20 && u != 0x7f)) << "raw byte " << int(u);
  }
  EXPECT_EQ(lines, 4u);
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
