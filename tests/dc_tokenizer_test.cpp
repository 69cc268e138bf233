// The DC converter's front end: classification, tokens and the token stack.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "DCTestSupport.h"

namespace {

using tqhsm::test::DCTest;
using tqhsm::test::ExactCopy;

using Tokens = std::vector<std::pair<int, std::string>>;

Tokens StackTokens() {
  Tokens tokens;
  for (int i = 0; i < stackCount; ++i) tokens.emplace_back(stack[i].type, stack[i].value);
  return tokens;
}

class DCTokenizerTest : public DCTest {};

TEST_F(DCTokenizerTest, ClassifiesKeywordsIgnoringCase) {
  const std::vector<std::pair<const char*, int>> cases = {
      {"find", DC_TOKEN_FIND},   {"FIND", DC_TOKEN_FIND},       {"Where", DC_TOKEN_WHERE},
      {"char", DC_TOKEN_CHAR},   {"CONST", DC_TOKEN_CONST},     {"int", DC_TOKEN_INT},
      {"files", DC_TOKEN_IDENTIFIER}, {"finder", DC_TOKEN_IDENTIFIER},
      {"'find'", DC_TOKEN_IDENTIFIER}, {"", DC_TOKEN_IDENTIFIER}, {"42", DC_TOKEN_IDENTIFIER}};
  for (const auto& c : cases) EXPECT_EQ(c.second, classifyString(c.first)) << c.first;
}

TEST_F(DCTokenizerTest, CharacterAndTextPredicates) {
  EXPECT_TRUE(isAlphaNumeric('a'));
  EXPECT_TRUE(isAlphaNumeric('Z'));
  EXPECT_TRUE(isAlphaNumeric('7'));
  EXPECT_FALSE(isAlphaNumeric('_'));
  EXPECT_FALSE(isAlphaNumeric('-'));
  EXPECT_FALSE(isAlphaNumeric(static_cast<char>(0xC3)));  // no locale-dependent letters

  EXPECT_TRUE(isNumeric("0123456789"));
  EXPECT_TRUE(isNumeric(""));
  EXPECT_FALSE(isNumeric("12a"));
  EXPECT_FALSE(isNumeric("-1"));
  EXPECT_FALSE(isNumeric(" 1"));

  for (const char* yes : {"AND", "and", "Or", "not"}) EXPECT_TRUE(isBoolOperator(yes)) << yes;
  for (const char* no : {"ANDX", "", "XOR", "'AND'"}) EXPECT_FALSE(isBoolOperator(no)) << no;

  EXPECT_TRUE(isSpace(' '));
  EXPECT_FALSE(isSpace('\t'));
  EXPECT_FALSE(isSpace('\n'));
}

TEST_F(DCTokenizerTest, NullTextStopsTheProcessNamingTheUnit) {
  EXPECT_DEATH(isNumeric(nullptr), "TQHSMIfind/TQDCClient.*isNumeric");
  EXPECT_DEATH(isBoolOperator(nullptr), "TQHSMIfind/TQDCClient.*isBoolOperator");
}

struct TokenCase {
  const char* text;
  Tokens tokens;
  const char* rest;  // what follows the ';', or null when the result is null
};

TEST_F(DCTokenizerTest, SplitsRules) {
  const std::vector<TokenCase> cases = {
      {"find files where x;", {{0, "find"}, {2, "files"}, {1, "where"}, {2, "x"}}, ""},
      {"FIND Files WHERE", {{0, "FIND"}, {2, "Files"}, {1, "WHERE"}}, nullptr},
      {"", {}, nullptr},
      {"userName IN ('ann','bob');",
       {{2, "userName"}, {2, "IN"}, {'(', "("}, {2, "'ann'"}, {',', ","}, {2, "'bob'"},
        {')', ")"}},
       ""},
      // Either quote closes a string, whatever opened it; the quotes stay.
      {"'a\" b;", {{2, "'a\""}, {2, "b"}}, ""},
      {"\"it's\";", {{2, "\"it'"}, {2, "s"}}, nullptr},
      {"x\ty;", {{2, "x"}, {'\t', "\t"}, {2, "y"}}, ""},
      {"x\ny\n;", {{2, "x"}, {2, "y"}}, ""},
      {"size>=10;", {{2, "size"}, {'>', ">"}, {'=', "="}, {2, "10"}}, ""},
      {"user_name;", {{2, "user"}, {'_', "_"}, {2, "name"}}, ""},
      {"a-b.c;", {{2, "a"}, {'-', "-"}, {2, "b"}, {'.', "."}, {2, "c"}}, ""},
      {"char const int;", {{3, "char"}, {4, "const"}, {5, "int"}}, ""},
      {"x; y z;", {{2, "x"}}, " y z;"},
      {"';';", {{2, "';'"}}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    tqhsm::test::ClearDCGlobals();
    auto text = ExactCopy(c.text);
    const char* rest = read_all_tokens(text.get(), &stackCount);
    EXPECT_EQ(c.tokens, StackTokens());
    if (c.rest) {
      ASSERT_NE(nullptr, rest);
      EXPECT_STREQ(c.rest, rest);
    } else {
      EXPECT_EQ(nullptr, rest);
    }
  }
}

TEST_F(DCTokenizerTest, GetNextTokenReadsOneToken) {
  auto text = ExactCopy("(ab");
  const char* pos = getNextToken(text.get(), nullptr);
  EXPECT_EQ('(', current.type);
  EXPECT_STREQ("(", current.value);
  pos = getNextToken(pos, nullptr);
  EXPECT_EQ(DC_TOKEN_IDENTIFIER, current.type);
  EXPECT_STREQ("ab", current.value);
  // At the end there is no token to read, and nothing past the NUL is looked at.
  EXPECT_EQ(nullptr, getNextToken(pos, nullptr));
  EXPECT_STREQ("", current.value);
}

TEST_F(DCTokenizerTest, ReadAllTokensAppendsToTheStack) {
  auto first = ExactCopy("a b;");
  auto second = ExactCopy("c;");
  ASSERT_NE(nullptr, read_all_tokens(first.get(), &stackCount));
  ASSERT_NE(nullptr, read_all_tokens(second.get(), &stackCount));
  EXPECT_EQ((Tokens{{2, "a"}, {2, "b"}, {2, "c"}}), StackTokens());
}

TEST_F(DCTokenizerTest, TokensUpTo255CharactersAreKept) {
  const std::string word(255, 'w');
  const std::string quoted = "'" + std::string(253, 'q') + "'";
  Tokenize(word + " " + quoted + ";");
  EXPECT_EQ((Tokens{{2, word}, {2, quoted}}), StackTokens());
}

TEST_F(DCTokenizerTest, UnreadableTokensStopTheTokenizer) {
  const std::vector<std::string> cases = {
      "x " + std::string(256, 'w') + " y;",
      "x '" + std::string(254, 'q') + "' y;",
      "x 'never closed",
      "x \"",
      "x '",
  };
  for (const auto& text : cases) {
    SCOPED_TRACE(text.substr(0, 20));
    tqhsm::test::ClearDCGlobals();
    auto copy = ExactCopy(text);
    EXPECT_EQ(nullptr, read_all_tokens(copy.get(), &stackCount));
    // What came before the bad token stays; nothing was cut short.
    EXPECT_EQ((Tokens{{2, "x"}}), StackTokens());
  }
}

TEST_F(DCTokenizerTest, StackHoldsAtMost5119Tokens) {
  std::string text;
  for (int i = 0; i < 6000; ++i) text += "t" + std::to_string(i) + " ";
  text += ";";
  auto copy = ExactCopy(text);
  const char* rest = read_all_tokens(copy.get(), &stackCount);
  ASSERT_NE(nullptr, rest);
  EXPECT_STREQ("", rest);
  EXPECT_EQ(5119, stackCount);
  EXPECT_STREQ("t5118", stack[5118].value);

  // A full stack takes no more.
  current.type = DC_TOKEN_IDENTIFIER;
  strcpy(current.value, "more");
  push();
  EXPECT_EQ(5119, stackCount);
}

TEST_F(DCTokenizerTest, PushAndPop) {
  pop();
  EXPECT_EQ(0, stackCount);

  // An unterminated text in `current` is cut at the field's end, not read past.
  current.type = DC_TOKEN_IDENTIFIER;
  memset(current.value, 'v', sizeof current.value);
  push();
  ASSERT_EQ(1, stackCount);
  EXPECT_EQ(std::string(255, 'v'), stack[0].value);

  pop();
  EXPECT_EQ(0, stackCount);
  pop();
  EXPECT_EQ(0, stackCount);
}

TEST_F(DCTokenizerTest, DumpParseTreePrintsTheStack) {
  Tokenize("find (;");
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, dump_parse_tree());
  EXPECT_EQ(
      "Stack Item : [0]\n\tType  : [" + std::string(1, '\0') +
          "]\n\tValue : [find]\n"
          "Stack Item : [1]\n\tType  : [(]\n\tValue : [(]\n",
      testing::internal::GetCapturedStdout());
}

}  // namespace
