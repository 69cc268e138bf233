// The configuration reader: numbers, lines inih would misread, and files that
// cannot be read.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "Config.h"
#include "TempDir.h"
#include "TestUser.h"

using tqhsm::IniConfig;
using tqhsm::test::TempDir;
using tqhsm::test::TestUser;

namespace {

std::string KeyLine(const std::string& key, size_t bytes) {
  std::string line = key + " = ";
  line.append(bytes - line.size(), 'v');
  return line;
}

}  // namespace

TEST(ConfigNumberTest, DecimalUnlessHexadecimal) {
  struct Case {
    const char* text;
    bool ok;
    uint64_t value;
  };
  const Case cases[] = {
      {"10", true, 10},
      {"010", true, 10},  // a leading zero is not octal
      {"0755", true, 755},
      {"08", true, 8},
      {"00", true, 0},
      {"0", true, 0},
      {" 42\t", true, 42},
      {"0x1F", true, 31},
      {"0X2000", true, 0x2000},
      {"0x0010", true, 16},
      {"18446744073709551615", true, UINT64_MAX},
      {"0xffffffffffffffff", true, UINT64_MAX},
      {"18446744073709551616", false, 0},
      {"0x10000000000000000", false, 0},
      {"0x", false, 0},
      {"0xg", false, 0},
      {"0x-1", false, 0},
      {"0x 5", false, 0},
      {"-1", false, 0},
      {"+5", false, 0},
      {"1e3", false, 0},
      {"12abc", false, 0},
      {"1 2", false, 0},
      {"", false, 0},
  };
  for (const Case& c : cases) {
    auto config = IniConfig::Empty();
    config->set("S", "k", c.text);
    uint64_t v = 12345;
    EXPECT_EQ(config->getNumber("S", "k", v), c.ok) << "'" << c.text << "'";
    if (c.ok) EXPECT_EQ(v, c.value) << "'" << c.text << "'";
    else EXPECT_EQ(v, 12345u) << "'" << c.text << "' changed the value";
  }
}

// Debian's libinih reads a line into a buffer of 200 bytes: 198 bytes and the
// line break fit; a longer line used to be cut (its value shortened without a
// word) and its rest read as a line of its own.
TEST(ConfigLineTest, LongestLineIsReadWholeAndALongerOneIsRefusedAtItsOwnLine) {
  std::string longest = KeyLine("a", 198);
  auto ok = IniConfig::FromString("[S]\n" + longest + "\nb = 1\n");
  ASSERT_EQ(ok->problem(), "");
  std::string v;
  ASSERT_TRUE(ok->getString("S", "a", v));
  EXPECT_EQ(v, longest.substr(4));
  ASSERT_TRUE(ok->getString("S", "b", v));

  // The rest of a cut line that reads as a key (here "x = 5") must not become one.
  struct Case {
    std::string text;
    std::string problem;
  };
  const Case cases[] = {
      {"[S]\nb = 1\n" + KeyLine("a", 199) + "\nc = 2\n",
       "Configuration text is malformed at line 3: the line is 199 bytes long; a line may hold "
       "at most 198 bytes besides its line break (the limit of the INI reader)"},
      {"[S]\n" + KeyLine("a", 300) + " x = 5\n",
       "Configuration text is malformed at line 2: the line is 306 bytes long; a line may hold "
       "at most 198 bytes besides its line break (the limit of the INI reader)"},
      // A carriage return is a byte of the line.
      {"[S]\r\n" + KeyLine("a", 198) + "\r\n",
       "Configuration text is malformed at line 2: the line is 199 bytes long; a line may hold "
       "at most 198 bytes besides its line break (the limit of the INI reader)"},
      // The first problem is the one named.
      {"[S]\nnot a key\n" + KeyLine("a", 250) + "\n", "Configuration text is malformed at line 2"},
      {"[S]\na = 1\nb = x" + std::string(1, '\0') + "y\n",
       "Configuration text is malformed at line 3: the line holds a NUL byte"},
      // An indented line after a key would replace that key's value.
      {"[S]\nHighFreeSpace = 30\n  LowFreeSpace = 10\n",
       "Configuration text is malformed at line 3: the indented line would continue the value of "
       "key HighFreeSpace above it; a value takes one line (remove the indentation)"},
      {"[S]\n\ta = 1\n\n\tb = 2\n",
       "Configuration text is malformed at line 4: the indented line would continue the value of "
       "key a above it; a value takes one line (remove the indentation)"},
  };
  for (const Case& c : cases) {
    auto config = IniConfig::FromString(c.text);
    EXPECT_EQ(config->problem(), c.problem);
    EXPECT_FALSE(config->getString("S", "a", v)) << "a refused text must not be used";
    EXPECT_FALSE(config->getString("S", "HighFreeSpace", v));
  }
}

TEST(ConfigLineTest, OrdinaryLayoutsStillRead) {
  // A byte-order mark, CRLF line ends, an indented first key of a section, a
  // last line without its line break of the longest length.
  std::string last = KeyLine("z", 199);
  auto config = IniConfig::FromString("\xEF\xBB\xBF[S]\r\n  a = 1\r\n; note\r\n[T]\nb : two\n" + last);
  ASSERT_EQ(config->problem(), "");
  std::string v;
  ASSERT_TRUE(config->getString("S", "a", v));
  EXPECT_EQ(v, "1");
  ASSERT_TRUE(config->getString("T", "b", v));
  EXPECT_EQ(v, "two");
  ASSERT_TRUE(config->getString("T", "z", v));
  EXPECT_EQ(v, last.substr(4));
}

TEST(ConfigFileTest, FilesThatCannotBeReadAreNamedAsSuch) {
  TempDir dir;
  std::string good = dir.write("good.ini", "[S]\na = 010\n" + KeyLine("b", 150) + "\n");
  auto c = IniConfig::FromFile(good);
  ASSERT_EQ(c->problem(), "");
  uint64_t n = 0;
  ASSERT_TRUE(c->getNumber("S", "a", n));
  EXPECT_EQ(n, 10u);

  EXPECT_EQ(IniConfig::FromFile(dir.path())->problem(),
            "Configuration file " + dir.path() + " is a directory");
  EXPECT_EQ(IniConfig::FromFile(dir.file("none.ini"))->problem(),
            "Cannot open configuration file " + dir.file("none.ini") +
                ": No such file or directory");
  EXPECT_EQ(IniConfig::FromFile(good + "/x")->problem(),
            "Cannot open configuration file " + good + "/x: Not a directory");
  std::string longLine = dir.write("long.ini", "[S]\n" + KeyLine("a", 400) + "\n");
  EXPECT_EQ(IniConfig::FromFile(longLine)->problem(),
            "Configuration file " + longLine +
                " is malformed at line 2: the line is 400 bytes long; a line may hold at most 198 "
                "bytes besides its line break (the limit of the INI reader)");

  // A file past the size limit is refused, not cut.
  std::string big(IniConfig::kMaxFileSize + 1, '\n');
  std::string bigPath = dir.write("big.ini", "[S]\na = 1" + big);
  EXPECT_EQ(IniConfig::FromFile(bigPath)->problem(),
            "Configuration file " + bigPath + " is larger than 1048576 bytes; is it the right file?");
  std::string atLimit = dir.write("limit.ini", std::string(IniConfig::kMaxFileSize, '\n'));
  EXPECT_EQ(IniConfig::FromFile(atLimit)->problem(), "");
}

TEST(ConfigFileTest, UnreadableFileNamesTheReason) {
  TQHSM_REQUIRE_TEST_USER();
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  std::string path = dir.write("secret.ini", "[S]\na = 1\n");
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  const std::string want = "Cannot read configuration file " + path + ": Permission denied";
  int rc = TestUser::Run([&] {
    std::string problem = IniConfig::FromFile(path)->problem();
    if (problem == want) return 0;
    std::fprintf(stderr, "problem: %s\n", problem.c_str());
    return 1;
  });
  EXPECT_EQ(rc, 0);
}
