// The DC converter's term handlers: age terms, free-volume terms and the user
// and group clauses (against the machine's real password and group files).

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "DCTestSupport.h"

namespace {

using tqhsm::test::DCTest;
using tqhsm::test::kDCNow;

const char kNoSuchName[] = "tqhsm-no-such-name";

std::string DaysBefore(long long days) { return std::to_string(kDCNow - days * 86400LL); }

class DCTermsTest : public DCTest {};

struct DayCase {
  const char* tokens;  // the term, starting at index 0
  int kind;
  int result;
  std::string appended;  // what the query "Q" gains after a blank
  int index;             // where the handler leaves the index
};

TEST_F(DCTermsTest, AgeTermsBecomeTimeComparisons) {
  const std::vector<DayCase> cases = {
      {"lastAccessedDays < 30;", 0, 1, "ATIME > " + DaysBefore(30), 2},
      {"lastAccessedDays = 10;", 0, 1, "ATIME = " + DaysBefore(10), 2},
      {"modifiedDays > 7 AND x;", 1, 1, "MTIME < " + DaysBefore(7), 2},
      {"x = 1;", 2, 1, "CTIME = " + DaysBefore(1), 2},
      {"lastAccessedDays <= 30;", 0, 1, "ATIME >= " + DaysBefore(30), 3},
      {"lastAccessedDays >= 30;", 0, 1, "ATIME <= " + DaysBefore(30), 3},
      {"modifiedDays > 0;", 1, 1, "MTIME > 0", 2},
      {"modifiedDays < 0;", 1, 1, "MTIME > 0", 2},
      {"modifiedDays = abc;", 1, 1, "MTIME > 0", 2},
      {"modifiedDays = -5;", 1, 1, "MTIME > 0", 2},  // '-' is a token of its own
      {"modifiedDays <= 0;", 1, 1, "MTIME >= 0", 3},
      // Day counts whose seconds do not fit an int, and one beyond int itself.
      {"lastAccessedDays < 100000;", 0, 1, "ATIME > " + DaysBefore(100000), 2},
      {"lastAccessedDays < 99999999999999999999;", 0, 1, "ATIME > " + DaysBefore(INT_MAX), 2},
      {"lastAccessedDays;", 0, 0, "", 0},
      {"lastAccessedDays is 5;", 0, 0, "", 0},
      {"lastAccessedDays 'x' 5;", 0, 0, "", 0},
      {"lastAccessedDays < 5;", 3, 0, "", 0},  // no such time kind
  };
  for (const DayCase& c : cases) {
    SCOPED_TRACE(c.tokens);
    Tokenize(c.tokens);
    char query[256] = "Q";
    int index = 0;
    EXPECT_EQ(c.result, handle_day_to_time(c.kind, &index, query, sizeof query));
    EXPECT_EQ(c.index, index);
    EXPECT_EQ(c.result ? "Q " + c.appended : std::string("Q"), query);
  }
}

TEST_F(DCTermsTest, AgeTermIntoAnEmptyOrFullQuery) {
  Tokenize("modifiedDays > 7;");
  char empty[64] = "";
  int index = 0;
  EXPECT_EQ(1, handle_day_to_time(1, &index, empty, sizeof empty));
  EXPECT_EQ("MTIME < " + DaysBefore(7), empty);

  // No room: the term is dropped, the buffer is not overrun.
  char small[12] = "SELECT";
  index = 0;
  EXPECT_EQ(1, handle_day_to_time(1, &index, small, sizeof small));
  EXPECT_STREQ("SELECT ", small);
}

TEST_F(DCTermsTest, NullIndexStopsTheProcess) {
  char query[8] = "";
  EXPECT_DEATH(handle_day_to_time(0, nullptr, query, sizeof query),
               "TQHSMIfind/TQDCClient.*handle_day_to_time");
  EXPECT_DEATH(handle_free_space(0, nullptr), "TQHSMIfind/TQDCClient.*handle_free_space");
}

struct FreeCase {
  const char* tokens;
  int selector;
  int result;
  int high;
  int low;
  int index;
};

TEST_F(DCTermsTest, FreeVolumeTermsSetThePercentages) {
  const std::vector<FreeCase> cases = {
      {"highFreeVolume = 80 AND x;", 1, 1, 80, -1, 3},
      {"highFreeVolume = 80 or x;", 1, 1, 80, -1, 3},
      {"highFreeVolume < 80 NOT x;", 1, 1, 80, -1, 3},
      {"highFreeVolume = 80;", 1, 0, 80, -1, 2},
      {"highFreeVolume = 80 x;", 1, 0, 80, -1, 2},
      {"lowFreeVolume 60 AND x;", 0, 1, -1, 60, 2},
      {"lowFreeVolume = abc AND x;", 0, 0, -1, -1, 2},
      {"lowFreeVolume >= 60 AND x;", 0, 0, -1, -1, 2},  // stops at the second '='
      {"lowFreeVolume = 99999999999 AND;", 0, 1, -1, INT_MAX, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tokens);
    Tokenize(c.tokens);
    high_free_space = -1;
    low_free_space = -1;
    int index = 0;
    EXPECT_EQ(c.result, handle_free_space(c.selector, &index));
    EXPECT_EQ(c.high, high_free_space);
    EXPECT_EQ(c.low, low_free_space);
    EXPECT_EQ(c.index, index);
  }
}

TEST_F(DCTermsTest, FreeVolumeTermAtTheEndLooksAtNothingBeyondTheStack) {
  Tokenize("x highFreeVolume =;");
  high_free_space = 5;
  int index = 1;
  // The value is missing: the empty text counts as the number 0.
  EXPECT_EQ(0, handle_free_space(1, &index));
  EXPECT_EQ(0, high_free_space);
  EXPECT_EQ(3, index);
}

TEST_F(DCTermsTest, LooksUpUsersAndGroups) {
  EXPECT_EQ(0, get_user_id_for_user("root"));
  EXPECT_EQ(1, get_user_id_for_user("daemon"));
  EXPECT_EQ(2, get_user_id_for_user("bin"));
  EXPECT_EQ(-1, get_user_id_for_user(kNoSuchName));
  EXPECT_EQ(-1, get_user_id_for_user(""));
  EXPECT_EQ(0, get_group_id_for_group("root"));
  EXPECT_EQ(1, get_group_id_for_group("daemon"));
  EXPECT_EQ(-1, get_group_id_for_group(kNoSuchName));
}

TEST_F(DCTermsTest, UserClauseDropsUnknownNames) {
  std::string clause = "old";
  EXPECT_EQ(-1, handle_user_id(clause));

  v_users = {"root", kNoSuchName, "daemon", "bin"};
  EXPECT_EQ(0, handle_user_id(clause));
  EXPECT_EQ("UID IN (0,1,2)", clause);

  uid_negative = true;
  v_users = {kNoSuchName, "bin", "root"};
  EXPECT_EQ(0, handle_user_id(clause));
  EXPECT_EQ("UID NOT IN (2,0)", clause);

  v_users = {kNoSuchName};
  EXPECT_EQ(0, handle_user_id(clause));
  EXPECT_EQ("UID NOT IN ()", clause);
}

TEST_F(DCTermsTest, GroupClauseDropsUnknownNames) {
  std::string clause;
  EXPECT_EQ(-1, handle_group_id(clause));

  v_groups = {"daemon", kNoSuchName, "root"};
  EXPECT_EQ(0, handle_group_id(clause));
  EXPECT_EQ("GID IN (1,0)", clause);

  gid_negative = true;
  v_groups = {kNoSuchName};
  EXPECT_EQ(0, handle_group_id(clause));
  EXPECT_EQ("GID NOT IN ()", clause);
}

TEST_F(DCTermsTest, ClausesOfLongListsAreWhole) {
  v_users.assign(20000, "daemon");
  v_groups.assign(20000, "daemon");
  std::string expected;
  for (int i = 0; i < 20000; ++i) expected += i ? ",1" : "1";
  std::string clause;
  EXPECT_EQ(0, handle_user_id(clause));
  EXPECT_EQ("UID IN (" + expected + ")", clause);
  EXPECT_EQ(0, handle_group_id(clause));
  EXPECT_EQ("GID IN (" + expected + ")", clause);
}

}  // namespace
