// The DC converter end to end: bounded appends, the rule header, the failure
// table, the worked example with its debug log, and the guarantees around
// state, the debug log and buffer sizes.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "DCTestSupport.h"

namespace {

using tqhsm::test::DCResult;
using tqhsm::test::DCTest;
using tqhsm::test::ExactCopy;
using tqhsm::test::kDCNow;

const std::string kHead = "SELECT ANAME,SIZE,FILE_TYPE,CTIME,MODE,NLINK from files";
const std::string kT30 = std::to_string(kDCNow - 30 * 86400);  // 1697408000
const std::string kT7 = std::to_string(kDCNow - 7 * 86400);    // 1699395200

const std::string kExampleRule =
    "find files where highFreeVolume = 80 AND lowFreeVolume = 60 AND userName NOT IN "
    "('root','daemon') AND lastAccessedDays < 30 AND modifiedDays > 7;";
const std::string kExampleQuery = kHead + " where ATIME > " + kT30 + " AND MTIME < " + kT7 +
                                  "  AND UID NOT IN (0,1)";

class DCQueryTest : public DCTest {};

TEST_F(DCQueryTest, SafeStrncatAppendsWholeOrNothing) {
  struct Case {
    const char* dest;
    const char* src;
    int size;
    int result;
    const char* after;
  };
  const std::vector<Case> cases = {
      {"ab", "cd", 5, 1, "abcd"},  {"ab", "cd", 4, 0, "ab"},  {"", "", 1, 1, ""},
      {"abcd", "", 4, 0, "abcd"},  {"ab", "", 3, 1, "ab"},    {"ab", "c", 0, 0, "ab"},
      {"ab", "c", -3, 0, "ab"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.dest) + "+" + c.src + " in " + std::to_string(c.size));
    char buffer[16] = {};
    strcpy(buffer, c.dest);
    EXPECT_EQ(c.result, safe_strncat(buffer, c.src, c.size));
    EXPECT_STREQ(c.after, buffer);
  }
}

TEST_F(DCQueryTest, AppendWithDelimiterSeparatesByOneDelimiter) {
  struct Case {
    const char* dest;
    const char* src;
    int size;
    const char* after;
  };
  const std::vector<Case> cases = {
      {"", "word", 16, "word"},
      {"", "word", 3, "wo"},         // the first word is copied as far as it goes
      {"a", "b", 16, "a b"},
      {"a ", "b", 16, "a b"},        // never two blanks from the delimiter
      {"ab", "cdef", 5, "ab "},      // the delimiter stays when the word does not fit
      {"abc", "d", 4, "abc"},
      {"abc", "", 5, "abc "},
      {"abc", "d", 0, "abc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.dest) + "+" + c.src + " in " + std::to_string(c.size));
    char buffer[16] = {};
    strcpy(buffer, c.dest);
    append_with_delimiter(buffer, c.src, ' ', c.size);
    EXPECT_STREQ(c.after, buffer);
  }
}

TEST_F(DCQueryTest, WorkedExample) {
  const DCResult r = Convert(kExampleRule);
  EXPECT_EQ(1, r.result);
  EXPECT_EQ(kExampleQuery, r.query);
  EXPECT_EQ(80u, r.high);
  EXPECT_EQ(60u, r.low);

  // The globals keep the outcome for the caller.
  EXPECT_EQ(27, stackCount);
  EXPECT_TRUE(uid_negative);
  EXPECT_EQ((std::vector<std::string>{"root", "daemon"}), v_users);
  EXPECT_EQ(80, high_free_space);
  EXPECT_EQ(60, low_free_space);
  EXPECT_EQ(nullptr, fp);

  const std::vector<std::string> tokens = {
      "find", "files", "where", "highFreeVolume", "=", "80", "AND", "lowFreeVolume", "=",
      "60", "AND", "userName", "NOT", "IN", "(", "'root'", ",", "'daemon'", ")", "AND",
      "lastAccessedDays", "<", "30", "AND", "modifiedDays", ">", "7"};
  std::string log;
  for (size_t i = 0; i < tokens.size(); ++i)
    log += "Push() string " + tokens[i] + " count " + std::to_string(i) + "\n";
  const std::string built = kHead + " where ATIME > " + kT30 + " AND MTIME < " + kT7;
  log += "after read_all_tokens\n"
         "after append_with_delimiter sql_query is  " + kHead +
         "setting uid_negative\n"
         "Adding to user list 'root'\n"
         "Adding to user list 'daemon'\n"
         " cmpTime " + kT30 + " \n"
         " cmpTime " + kT7 + " \n"
         "\nsql_query is  " + built + "\n"
         "Getting userid for user root id 0\n "
         "Getting userid for user daemon id 1\n "
         "User_ids = UID NOT IN (0,1)\n"
         "query in uid = " + kExampleQuery + "\n";
  EXPECT_EQ(log, Log());
}

TEST_F(DCQueryTest, GroupListsAndTheirDebugLines) {
  const DCResult r = Convert(
      "find files where groupName NOT IN ('daemon','tqhsm-no-such-group') AND size > 1;");
  EXPECT_EQ(1, r.result);
  EXPECT_EQ(kHead + " where size > 1  AND GID NOT IN (1)", r.query);
  const std::string log = Log();
  EXPECT_NE(std::string::npos, log.find("setting gid_negative\n"));
  EXPECT_NE(std::string::npos, log.find("Adding to group list 'daemon'\n"
                                        "Adding to group list 'tqhsm-no-such-group'\n"));
  EXPECT_EQ(std::string::npos, log.find("query in uid"));
}

struct RuleCase {
  std::string rule;
  int result;
  std::string query;
  unsigned int high;
  unsigned int low;
};

TEST_F(DCQueryTest, ConvertsRules) {
  const std::string where = kHead + " where ";
  const std::vector<RuleCase> cases = {
      // The failure-handling table.
      {"find files where x", 1, "UNTOUCHED", 0, 0},
      {"find files where;", 1, "UNTOUCHED", 0, 0},
      {"find files;", 1, "UNTOUCHED", 0, 0},
      {"search files where x;", 1, "UNTOUCHED", 0, 0},
      {"find dirs where x;", 0, "SELECT from files where x", 0, 0},
      {"find 'files' where x;", 0, "SELECT from files where x", 0, 0},
      {"find files in x;", 1, kHead, 0, 0},
      {"find files where a = 1 where b = 2;", 0, where + "a = 1", 0, 0},
      {"find files where a find b;", 0, where + "a", 0, 0},
      // Plain terms are copied; comparison characters in a row stay together.
      {"find files where size >= 100;", 1, where + "size >= 100", 0, 0},
      {"FIND FILES WHERE (a < 1 OR b <> 2);", 1, kHead + " WHERE ( a < 1 OR b <> 2 )", 0, 0},
      {"find files where x; and more", 1, where + "x", 0, 0},
      {"find\nfiles\nwhere\nx\n;", 1, where + "x", 0, 0},
      {"-no_convert-SELECT 1", 1, "SELECT 1", 0, 0},
      {"-no_convert-", 1, "", 0, 0},
      // Terms that are removed, with the connective after them.
      {"find files where highFreeVolume = 80 AND lowFreeVolume = 60 AND size > 1;", 1,
       where + "size > 1", 80, 60},
      {"find files where HIGHFREEVOLUME 90 or x;", 1, where + "x", 90, 0},
      {"find files where highFreeVolume = 80 size > 1;", 1, where + "size > 1", 80, 0},
      {"find files where x AND highFreeVolume = 80;", 1, where + "x AND", 80, 0},
      // A malformed term goes on after the token where its handler stopped.
      {"find files where lowFreeVolume = abc AND x;", 1, where + "AND x", 0, 0},
      {"find files where lowFreeVolume >= 60 AND x;", 1, where + "60 AND x", 0, 0},
      {"find files where exfilter IN ('a','b') AND size > 1;", 1, where + "size > 1", 0, 0},
      {"find files where userName IN ('root') AND modifiedDays > 7;", 1,
       where + "MTIME < " + kT7 + "  AND UID IN (0)", 0, 0},
      // A user list at the end leaves a dangling AND before the clause.
      {"find files where modifiedDays > 7 AND userName IN ('bin');", 1,
       where + "MTIME < " + kT7 + " AND  AND UID IN (2)", 0, 0},
      {"find files where userName in ('tqhsm-no-such-user') AND x;", 1,
       where + "x  AND UID IN ()", 0, 0},
      {"find files where userName IN ('root','bin') AND groupName IN ('daemon') AND x;", 1,
       where + "x  AND UID IN (0,2)  AND GID IN (1)", 0, 0},
      // A list that is never closed takes the rest of the rule.
      {"find files where x AND userName IN ('root', y;", 1, where + "x AND  AND UID IN (0)", 0,
       0},
      {"find files where lastAccessedDays;", 1, kHead + " where", 0, 0},
      {"find files where modifiedDays is 5;", 1, where + "is 5", 0, 0},
      {"find files where lastAccessedDays <= 30 AND x;", 1,
       where + "ATIME >= " + kT30 + " AND x", 0, 0},
  };
  for (const RuleCase& c : cases) {
    SCOPED_TRACE(c.rule);
    const DCResult r = Convert(c.rule);
    EXPECT_EQ(c.result, r.result);
    EXPECT_EQ(c.query, r.query);
    EXPECT_EQ(c.high, r.high);
    EXPECT_EQ(c.low, r.low);
  }
}

TEST_F(DCQueryTest, ConvertDcToSqlLgLeavesTheClausesOut) {
  std::vector<char> query(4096, '\0');
  auto rule = ExactCopy(kExampleRule);
  EXPECT_EQ(1, convert_dc_to_sql_lg(rule.get(), query.data(), 4096));
  EXPECT_EQ(kHead + " where ATIME > " + kT30 + " AND MTIME < " + kT7, query.data());
  EXPECT_EQ(80, high_free_space);
  EXPECT_EQ((std::vector<std::string>{"root", "daemon"}), v_users);
  EXPECT_EQ(nullptr, fp);
}

// Converting the same rule twice gives the same answer: nothing of the first
// conversion carries into the second.
TEST_F(DCQueryTest, EachConversionStartsFresh) {
  const DCResult first = Convert(kExampleRule);
  const DCResult second = Convert(kExampleRule);
  EXPECT_EQ(first.query, second.query);
  EXPECT_EQ(first.result, second.result);
  EXPECT_EQ(80u, second.high);
  EXPECT_EQ(60u, second.low);
  EXPECT_EQ(27, stackCount);
  EXPECT_EQ(2u, v_users.size());

  const DCResult other = Convert("find files where groupName IN ('root') AND x;");
  EXPECT_EQ(1, other.result);
  EXPECT_EQ(kHead + " where x  AND GID IN (0)", other.query);
  EXPECT_EQ(0u, other.high);
  EXPECT_EQ(0u, other.low);
  EXPECT_FALSE(uid_negative);
  EXPECT_TRUE(v_users.empty());

  // Neither does anything the caller left in the globals.
  uid_negative = true;
  gid_negative = true;
  v_users = {"root"};
  v_groups = {"root"};
  high_free_space = 7;
  stackCount = 4000;
  const DCResult plain = Convert("find files where x;");
  EXPECT_EQ(kHead + " where x", plain.query);
  EXPECT_EQ(0u, plain.high);

  std::vector<char> query(256, '\0');
  auto rule = ExactCopy("-no_convert-SELECT 1");
  high_free_space = 9;
  v_users = {"root"};
  EXPECT_EQ(1, convert_dc_to_sql_lg(rule.get(), query.data(), 256));
  EXPECT_EQ(0, high_free_space);
  EXPECT_TRUE(v_users.empty());
}

TEST_F(DCQueryTest, EachConversionRewritesItsDebugLog) {
  Convert(kExampleRule);
  Convert("find files where x;");
  EXPECT_EQ(
      "Push() string find count 0\nPush() string files count 1\n"
      "Push() string where count 2\nPush() string x count 3\n"
      "after read_all_tokens\nafter append_with_delimiter sql_query is  " + kHead +
          "\nsql_query is  " + kHead + " where x\n",
      Log());
}

int OpenDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  while (readdir(dir)) ++count;
  closedir(dir);
  return count;
}

TEST_F(DCQueryTest, DebugLogIsClosedAfterEveryConversion) {
  Convert(kExampleRule);
  const int before = OpenDescriptors();
  ASSERT_GT(before, 0);
  for (int i = 0; i < 50; ++i) {
    Convert(kExampleRule);
    std::vector<char> query(512);
    auto rule = ExactCopy(kExampleRule);
    convert_dc_to_sql_lg(rule.get(), query.data(), 512);
  }
  EXPECT_EQ(before, OpenDescriptors());
  EXPECT_EQ(nullptr, fp);
}

TEST_F(DCQueryTest, CallersDebugStreamIsGivenBack) {
  FILE* own = tmpfile();
  ASSERT_NE(nullptr, own);
  fp = own;
  Convert("find files where x;");
  EXPECT_EQ(own, fp);
  // Outside a conversion, pushes write to whatever stream the caller set.
  current.type = DC_TOKEN_IDENTIFIER;
  strcpy(current.value, "mine");
  stackCount = 0;
  push();
  fflush(own);
  EXPECT_EQ(static_cast<long>(strlen("Push() string mine count 0\n")), ftell(own));
  fp = nullptr;
  fclose(own);
}

TEST_F(DCQueryTest, ConvertsWithoutADebugLog) {
  const std::vector<std::string> unusable = {
      m_dir.file("missing/log"),  // no such directory
      m_dir.path(),               // a directory
      m_dir.file("link"),         // a symbolic link is not followed
  };
  ASSERT_EQ(0, symlink(m_dir.file("target").c_str(), m_dir.file("link").c_str()));
  for (const std::string& path : unusable) {
    SCOPED_TRACE(path);
    tqhsm::dc::SetDebugLogPath(path.c_str());
    const DCResult r = Convert(kExampleRule);
    EXPECT_EQ(1, r.result);
    EXPECT_EQ(kExampleQuery, r.query);
    EXPECT_EQ(80u, r.high);
    EXPECT_EQ(nullptr, fp);
  }
  EXPECT_FALSE(tqhsm::test::FileExists(m_dir.file("target")));
}

// Every size of query buffer, from one byte up to more than the query needs:
// nothing is written past the buffer, and a query that had to lose words is
// not reported as converted.
TEST_F(DCQueryTest, SmallQueryBuffers) {
  const int full = static_cast<int>(kExampleQuery.size()) + 1;
  for (int size = 1; size <= full + 2; ++size) {
    SCOPED_TRACE(size);
    const DCResult r = Convert(kExampleRule, size, "");
    ASSERT_LT(r.query.size(), static_cast<size_t>(size));
    if (size >= full) {
      EXPECT_EQ(1, r.result);
      EXPECT_EQ(kExampleQuery, r.query);
    } else {
      EXPECT_EQ(0, r.result);
    }
    EXPECT_EQ(80u, r.high);
  }

  const DCResult cut = Convert("-no_convert-SELECT 12345", 6, "");
  EXPECT_EQ(0, cut.result);
  EXPECT_EQ("SELEC", cut.query);
  const DCResult fits = Convert("-no_convert-SELECT 12345", 13, "");
  EXPECT_EQ(1, fits.result);
  EXPECT_EQ("SELECT 12345", fits.query);
}

TEST_F(DCQueryTest, RefusesUnusableArguments) {
  char query[8] = "KEEP";
  unsigned int high = 5, low = 5;
  EXPECT_EQ(0, convert_dc_to_sql("-no_convert-x", query, 0, &high, &low));
  EXPECT_EQ(0, convert_dc_to_sql("-no_convert-x", query, -1, &high, &low));
  EXPECT_EQ(0, convert_dc_to_sql(nullptr, query, 8, &high, &low));
  EXPECT_EQ(0, convert_dc_to_sql_lg("-no_convert-x", query, 0));
  EXPECT_EQ(0, convert_dc_to_sql_lg("find files where x;", nullptr, 8));
  EXPECT_STREQ("KEEP", query);
  EXPECT_EQ(0u, high);
  EXPECT_EQ(0u, low);
  EXPECT_EQ(1, convert_dc_to_sql("-no_convert-x", query, 8, nullptr, nullptr));
  EXPECT_STREQ("x", query);
}

TEST_F(DCQueryTest, RulesWithUnreadableTokensAreNotConverted) {
  const std::vector<std::string> rules = {
      "find files where name = '" + std::string(300, 'n') + "' AND x;",
      "find files where " + std::string(256, 'w') + " = 1;",
      "find files where userName IN ('root",
      "find files where highFreeVolume = 80 AND x = \"",
  };
  for (const std::string& rule : rules) {
    SCOPED_TRACE(rule.substr(0, 40));
    const DCResult r = Convert(rule);
    EXPECT_EQ(0, r.result);
    EXPECT_EQ("UNTOUCHED", r.query);
    EXPECT_EQ(0u, r.high);
  }
}

TEST_F(DCQueryTest, RulesOfThousandsOfTokens) {
  // More tokens than the stack holds: the query is built from what it holds
  // and the conversion says that it is not the whole rule.
  std::string rule = "find files where ";
  for (int i = 0; i < 3000; ++i) rule += "x AND ";
  rule += "y;";
  const DCResult r = Convert(rule, 1 << 16);
  EXPECT_EQ(0, r.result);
  EXPECT_EQ(5119, stackCount);
  EXPECT_EQ(0u, r.query.find(kHead + " where x AND x"));

  // Terms whose look-ahead runs off the end of a full stack.
  for (const char* term :
       {"highFreeVolume", "lastAccessedDays", "modifiedDays", "userName", "exfilter"}) {
    for (int filler = 5112; filler <= 5118; ++filler) {
      SCOPED_TRACE(std::string(term) + " at " + std::to_string(filler));
      std::string longRule = "find files where ";
      for (int i = 3; i < filler; ++i) longRule += "x ";
      longRule += std::string(term) + " <= 5 AND ('a' ) x x x x x x;";
      const DCResult cut = Convert(longRule, 1 << 15);
      EXPECT_EQ(0, cut.result);
      EXPECT_LT(cut.query.size(), static_cast<size_t>(1 << 15));
    }
  }

  // Just below the limit everything is kept.
  std::string fits = "find files where ";
  for (int i = 3; i < 5119; ++i) fits += "x ";
  fits += ";";
  const DCResult kept = Convert(fits, 1 << 15);
  EXPECT_EQ(1, kept.result);
  EXPECT_EQ(5119, stackCount);
}

TEST_F(DCQueryTest, LongUserAndGroupLists) {
  // 2000 names in each list, into buffers too small for the clauses.
  std::string names;
  for (int i = 0; i < 1200; ++i) names += i ? ",'daemon'" : "'daemon'";
  const std::string rule = "find files where userName IN (" + names + ") AND groupName IN (" +
                           names + ") AND x;";
  const std::string head = kHead + " where x";
  const DCResult small = Convert(rule, 1024);
  EXPECT_EQ(0, small.result);
  EXPECT_LT(small.query.size(), 1024u);
  EXPECT_EQ(0u, small.query.find(head));

  // With room, both clauses are whole.
  std::string ids;
  for (int i = 0; i < 1200; ++i) ids += i ? ",1" : "1";
  const DCResult whole = Convert(rule, 1 << 16);
  EXPECT_EQ(1, whole.result);
  EXPECT_EQ(head + "  AND UID IN (" + ids + ")  AND GID IN (" + ids + ")", whole.query);
}

TEST_F(DCQueryTest, ClausesStayWithinFiftyThousandBytes) {
  // A query that already fills 50000 bytes gets no clause, even in a larger
  // buffer, and says so.
  std::string rule = "find files where ";
  for (int i = 0; i < 250; ++i) rule += std::string(200, 'w') + " ";
  rule += "AND userName IN ('root');";
  const DCResult r = Convert(rule, 1 << 17);
  EXPECT_EQ(0, r.result);
  EXPECT_EQ(std::string::npos, r.query.find("UID"));
}

}  // namespace
