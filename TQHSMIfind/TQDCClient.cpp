#include "TQDCClient.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "detail/TQDCClientHooks.h"

// A null text or index handed to these functions is a caller's bug, not bad
// input: stop the process whatever the build type, and name this unit the way
// the agent's crash reports expect.
#define DC_REQUIRE(expr) \
  ((expr) ? (void)0 : RequirementFailed(#expr, __LINE__, __PRETTY_FUNCTION__))

DCToken stack[DC_STACK_SIZE];
int stackCount = 0;
DCToken current;
FILE* fp = nullptr;

bool uid_negative = false;
bool gid_negative = false;
std::vector<std::string> v_users;
std::vector<std::string> v_groups;
int high_free_space = 0;
int low_free_space = 0;

namespace {

[[noreturn]] void RequirementFailed(const char* expr, unsigned line, const char* function) {
  fprintf(stderr, "%s: %s:%u: %s: Assertion `%s' failed.\n", program_invocation_short_name,
          "../TQHSMIfind/TQDCClient", line, function, expr);
  fflush(stderr);
  abort();
}

const char kDefaultLogPath[] = "/tmp/log";
const char kNoConvert[] = "-no_convert-";
const char kColumns[] = "ANAME,SIZE,FILE_TYPE,CTIME,MODE,NLINK";
const int kClauseLimit = 50000;

tqhsm::dc::Clock g_clock = nullptr;
const char* g_logPath = kDefaultLogPath;

// Set when a rule held more tokens than the stack keeps, or when the query
// buffer had no room for a word; either way the query is not the whole rule.
bool g_tokensDropped = false;
bool g_queryTruncated = false;
// Set when the tokenizer met a word or quoted string it cannot hold, or a quote
// that is never closed: such a rule is not converted at all.
bool g_unreadableToken = false;

time_t Now() { return g_clock ? g_clock() : time(nullptr); }

__attribute__((format(printf, 1, 2))) void DebugLine(const char* format, ...) {
  if (!fp) return;
  va_list args;
  va_start(args, format);
  vfprintf(fp, format, args);
  va_end(args);
}

// The debug log of one conversion. It lives in a directory that everybody can
// write, so whatever is found at its name may have been planted there: the
// open follows no symbolic link, never waits (a FIFO without a reader fails at
// once, one with a reader is refused below), and the file is truncated and
// written only when it is a regular file of the converting user with no other
// name (a hard link to some other file must not be emptied). Anything else
// leaves the conversion without its debug lines. The stream is closed when the
// conversion ends, so none outlives its call.
class ConversionLog {
 public:
  ConversionLog() : m_pPrevious(fp), m_pOwn(nullptr) {
    int fd = open(g_logPath, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd >= 0) {
      struct stat st;
      if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
          st.st_uid == geteuid() && ftruncate(fd, 0) == 0 &&
          fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0)
        m_pOwn = fdopen(fd, "w");
      if (!m_pOwn) close(fd);
    }
    fp = m_pOwn;
  }
  ~ConversionLog() {
    if (m_pOwn) fclose(m_pOwn);
    fp = m_pPrevious;
  }
  ConversionLog(const ConversionLog&) = delete;
  ConversionLog& operator=(const ConversionLog&) = delete;

 private:
  FILE* m_pPrevious;
  FILE* m_pOwn;
};


// Look-ahead past the last token (or before the first) sees an empty token.
const DCToken& TokenAt(long long index) {
  static const DCToken kEmpty = {};
  if (index < 0 || index >= stackCount || index >= DC_STACK_SIZE) return kEmpty;
  return stack[index];
}

bool IsComparison(const DCToken& token) {
  return token.type == '<' || token.type == '>' || token.type == '=';
}

// atoi's reading of a number, held to the range of int instead of overflowing.
int ToInt(const char* text) {
  long long value = strtoll(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

void CopyToken(DCToken& to, const DCToken& from) {
  to.type = from.type;
  size_t length = strnlen(from.value, sizeof from.value - 1);
  memcpy(to.value, from.value, length);
  to.value[length] = '\0';
}

// A name of a user or group list is written in quotes; a token too short to
// carry them stands for no name at all.
std::string StripQuotes(const char* text) {
  size_t length = strlen(text);
  if (length < 2) return std::string();
  return std::string(text + 1, length - 2);
}

// The names of a userName or groupName term, from the token after its opening
// parenthesis up to its ')'. Leaves index just past the ')'.
void CollectNames(int& index, bool user) {
  if (strcasecmp(TokenAt(index + 1).value, "NOT") == 0) {
    if (user) {
      uid_negative = true;
      DebugLine("setting uid_negative\n");
    } else {
      gid_negative = true;
      DebugLine("setting gid_negative\n");
    }
    index += 4;
  } else {
    index += 3;
  }
  while (index < stackCount && stack[index].type != ')') {
    if (stack[index].type != ',') {
      std::string name = StripQuotes(stack[index].value);
      if (user) {
        DebugLine("Adding to user list '%s'\n", name.c_str());
        v_users.push_back(name);
      } else {
        v_groups.push_back(name);
        DebugLine("Adding to group list '%s'\n", name.c_str());
      }
    }
    ++index;
  }
  ++index;
}

int ConvertRule(const char* rule, char* query, int size) {
  if (strncmp(rule, kNoConvert, sizeof kNoConvert - 1) == 0) {
    const char* sql = rule + sizeof kNoConvert - 1;
    if (strlen(sql) > static_cast<size_t>(size - 1)) g_queryTruncated = true;
    strncpy(query, sql, size - 1);
    query[size - 1] = '\0';
    return g_queryTruncated ? 0 : 1;
  }

  // Without a ';' the rule is not complete yet and the query is left alone; an
  // unreadable token leaves it alone too, but is reported.
  if (!read_all_tokens(rule, &stackCount)) return g_unreadableToken ? 0 : 1;
  DebugLine("after read_all_tokens\n");

  int result = 1;
  if (stackCount > 3) {
    if (stack[0].type != DC_TOKEN_FIND) return 1;
    query[0] = '\0';
    append_with_delimiter(query, "SELECT", ' ', size);
    if (stack[1].type != DC_TOKEN_IDENTIFIER) result = 0;
    if (strcasecmp(stack[1].value, "files") == 0) {
      append_with_delimiter(query, kColumns, ' ', size);
    } else {
      result = 0;
    }
    append_with_delimiter(query, "from files", ' ', size);
    if (stack[2].type != DC_TOKEN_WHERE) return g_queryTruncated ? 0 : 1;
    DebugLine("after append_with_delimiter sql_query is  %s", query);
    append_with_delimiter(query, stack[2].value, ' ', size);
  }

  int index = 3;
  while (index < stackCount) {
    const DCToken& token = stack[index];
    if (token.type == DC_TOKEN_WHERE || token.type == DC_TOKEN_FIND) {
      // A second statement inside the terms: what was built is not the rule.
      return 0;
    } else if (strcasecmp(token.value, "lastAccessedDays") == 0) {
      handle_day_to_time(0, &index, query, size);
    } else if (strcasecmp(token.value, "modifiedDays") == 0) {
      handle_day_to_time(1, &index, query, size);
    } else if (strcasecmp(token.value, "lowFreeVolume") == 0) {
      handle_free_space(0, &index);
    } else if (strcasecmp(token.value, "highFreeVolume") == 0) {
      handle_free_space(1, &index);
    } else if (strcasecmp(token.value, "userName") == 0) {
      CollectNames(index, true);
    } else if (strcasecmp(token.value, "groupName") == 0) {
      CollectNames(index, false);
    } else if (strcasecmp(token.value, "exfilter") == 0) {
      index += 3;
      while (index < stackCount && stack[index].type != ')') ++index;
      ++index;
    } else if (IsComparison(token) && IsComparison(TokenAt(index - 1))) {
      if (!safe_strncat(query, token.value, size)) g_queryTruncated = true;
    } else {
      append_with_delimiter(query, token.value, ' ', size);
    }
    ++index;
  }
  DebugLine("\nsql_query is  %s\n", query);
  if (g_tokensDropped || g_queryTruncated) return 0;
  return result;
}

// Adds " AND " and a user or group clause to the query.
void AppendClause(char* query, const std::string& clause, int size) {
  int limit = size < kClauseLimit ? size : kClauseLimit;
  append_with_delimiter(query, " AND ", ' ', limit);
  append_with_delimiter(query, clause.c_str(), ' ', limit);
}

}  // namespace

namespace tqhsm {
namespace dc {

Clock SetClock(Clock clock) {
  Clock previous = g_clock;
  g_clock = clock;
  return previous;
}

const char* SetDebugLogPath(const char* path) {
  const char* previous = g_logPath;
  g_logPath = path ? path : kDefaultLogPath;
  return previous;
}

// Each conversion starts from nothing; the globals keep the outcome afterwards.
void ResetConversionState() {
  stackCount = 0;
  memset(&current, 0, sizeof current);
  uid_negative = false;
  gid_negative = false;
  v_users.clear();
  v_groups.clear();
  high_free_space = 0;
  low_free_space = 0;
  g_tokensDropped = false;
  g_queryTruncated = false;
  g_unreadableToken = false;
}

}  // namespace dc
}  // namespace tqhsm

int classifyString(const char* text) {
  if (!text) return DC_TOKEN_IDENTIFIER;
  if (strcasecmp(text, "char") == 0) return DC_TOKEN_CHAR;
  if (strcasecmp(text, "const") == 0) return DC_TOKEN_CONST;
  if (strcasecmp(text, "int") == 0) return DC_TOKEN_INT;
  if (strcasecmp(text, "find") == 0) return DC_TOKEN_FIND;
  if (strcasecmp(text, "where") == 0) return DC_TOKEN_WHERE;
  return DC_TOKEN_IDENTIFIER;
}

bool isAlphaNumeric(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool isNumeric(const char* text) {
  DC_REQUIRE(text != nullptr);
  for (; *text; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

bool isBoolOperator(const char* text) {
  DC_REQUIRE(text != nullptr);
  return strcasecmp(text, "AND") == 0 || strcasecmp(text, "OR") == 0 ||
         strcasecmp(text, "NOT") == 0;
}

bool isSpace(char c) { return c == ' '; }

void push() {
  if (stackCount < 0) return;
  if (stackCount > DC_STACK_SIZE - 2) {
    g_tokensDropped = true;
    return;
  }
  CopyToken(stack[stackCount], current);
  DebugLine("Push() string %s count %d\n", stack[stackCount].value, stackCount);
  ++stackCount;
}

void pop() {
  if (stackCount > 0) --stackCount;
}

const char* getNextToken(const char* pos, int* /*unused*/) {
  memset(&current, 0, sizeof current);
  if (!pos || *pos == '\0') return nullptr;

  const char* end;
  if (*pos == '\'' || *pos == '"') {
    // Either quote closes the string, whichever opened it.
    end = pos + 1;
    while (*end && *end != '\'' && *end != '"') ++end;
    if (*end == '\0') {
      g_unreadableToken = true;
      return nullptr;
    }
    ++end;
  } else if (isAlphaNumeric(*pos)) {
    end = pos + 1;
    while (isAlphaNumeric(*end)) ++end;
  } else {
    current.type = *pos;
    current.value[0] = *pos;
    return pos + 1;
  }

  // A longer word would not survive in the token; cutting it short would change
  // the rule, so the rule is not read at all.
  size_t length = static_cast<size_t>(end - pos);
  if (length > DC_TOKEN_TEXT_SIZE - 1) {
    g_unreadableToken = true;
    return nullptr;
  }
  memcpy(current.value, pos, length);
  current.value[length] = '\0';
  current.type = static_cast<char>(classifyString(current.value));
  return end;
}

const char* read_all_tokens(const char* text, int* count) {
  if (!text) return nullptr;
  const char* pos = text;
  while (*pos != '\0') {
    pos = getNextToken(pos, count);
    if (!pos) return nullptr;
    if (current.type == ';') return pos;
    if (current.type == ' ' || current.type == '\n') continue;
    push();
  }
  return nullptr;
}

int handle_day_to_time(int kind, int* index, char* query, int size) {
  DC_REQUIRE(index != nullptr);
  static const char* const kTerms[] = {"ATIME ", "MTIME ", "CTIME "};
  if (kind < 0 || kind > 2) return 0;
  const long long k = *index;
  if (k < 0 || k + 1 >= stackCount) return 0;

  const DCToken& op = TokenAt(k + 1);
  const DCToken& second = TokenAt(k + 2);
  const bool twoCharacters = IsComparison(second);
  const int days = ToInt(TokenAt(twoCharacters ? k + 3 : k + 2).value);

  // 64-bit arithmetic: day counts beyond 24855 would overflow an int product.
  long cmpTime = 0;
  if (days > 0) {
    cmpTime = static_cast<long>(Now()) - static_cast<long>(days) * 86400L;
    DebugLine(" cmpTime %ld \n", cmpTime);
  }

  char term[1024];
  snprintf(term, sizeof term, "%s", kTerms[kind]);
  if (!IsComparison(op)) return 0;

  // An age below N days is a time after now minus N days, and so on.
  char flipped = '>';
  if (days > 0) flipped = op.type == '<' ? '>' : op.type == '>' ? '<' : '=';
  size_t length = strlen(term);
  term[length] = flipped;
  term[length + 1] = '\0';

  *index = static_cast<int>(k + 1);
  if (twoCharacters) {
    safe_strncat(term, second.value, sizeof term);
    *index = static_cast<int>(k + 2);
  }

  char timeText[256];
  snprintf(timeText, sizeof timeText, "%ld", cmpTime);
  append_with_delimiter(term, timeText, ' ', sizeof term);
  append_with_delimiter(query, term, ' ', size);
  *index += 1;
  return 1;
}

int handle_free_space(int selector, int* index) {
  DC_REQUIRE(index != nullptr);
  const long long k = *index;
  if (k < 0 || k >= stackCount) return 0;

  long long at = k;
  if (IsComparison(TokenAt(at + 1))) ++at;
  ++at;
  *index = static_cast<int>(at);

  const char* value = TokenAt(at).value;
  if (!isNumeric(value)) return 0;
  if (selector) {
    high_free_space = ToInt(value);
  } else {
    low_free_space = ToInt(value);
  }
  if (isBoolOperator(TokenAt(at + 1).value)) {
    *index = static_cast<int>(at + 1);
    return 1;
  }
  return 0;
}

int get_user_id_for_user(const char* name) {
  if (!name) return -1;
  struct passwd* entry = getpwnam(name);
  return entry ? static_cast<int>(entry->pw_uid) : -1;
}

int get_group_id_for_group(const char* name) {
  if (!name) return -1;
  struct group* entry = getgrnam(name);
  return entry ? static_cast<int>(entry->gr_gid) : -1;
}

int handle_user_id(std::string& clause) {
  try {
    clause = uid_negative ? "UID NOT IN (" : "UID IN (";
    if (v_users.empty()) return -1;
    bool first = true;
    for (const std::string& name : v_users) {
      int id = get_user_id_for_user(name.c_str());
      DebugLine("Getting userid for user %s id %d\n ", name.c_str(), id);
      if (id == -1) continue;
      if (!first) clause += ",";
      clause += std::to_string(id);
      first = false;
    }
    clause += ")";
    DebugLine("User_ids = %s\n", clause.c_str());
    return 0;
  } catch (...) {
    return -1;
  }
}

int handle_group_id(std::string& clause) {
  try {
    clause = gid_negative ? "GID NOT IN (" : "GID IN (";
    if (v_groups.empty()) return -1;
    bool first = true;
    for (const std::string& name : v_groups) {
      int id = get_group_id_for_group(name.c_str());
      if (id == -1) continue;
      if (!first) clause += ",";
      clause += std::to_string(id);
      first = false;
    }
    clause += ")";
    return 0;
  } catch (...) {
    return -1;
  }
}

int safe_strncat(char* dest, const char* src, int size) {
  if (!dest || !src || size <= 0) return 0;
  const size_t limit = static_cast<size_t>(size);
  const size_t destLength = strnlen(dest, limit);
  const size_t srcLength = strlen(src);
  if (destLength >= limit || destLength + srcLength + 1 > limit) {
    g_queryTruncated = true;
    return 0;
  }
  memcpy(dest + destLength, src, srcLength + 1);
  return 1;
}

void append_with_delimiter(char* dest, const char* src, char delim, int size) {
  if (!dest || !src || size <= 0) return;
  const size_t limit = static_cast<size_t>(size);
  const size_t destLength = strnlen(dest, limit);
  if (destLength >= limit) {
    g_queryTruncated = true;
    return;
  }
  if (destLength == 0) {
    const size_t srcLength = strnlen(src, limit);
    if (srcLength > limit - 1) g_queryTruncated = true;
    const size_t copied = srcLength < limit - 1 ? srcLength : limit - 1;
    memcpy(dest, src, copied);
    dest[copied] = '\0';
    return;
  }
  if (dest[destLength - 1] != delim && destLength + 1 < limit) {
    dest[destLength] = delim;
    dest[destLength + 1] = '\0';
  }
  safe_strncat(dest, src, size);
}

int convert_dc_to_sql_lg(const char* rule, char* query, int size) {
  if (!rule || !query || size <= 0) return 0;
  tqhsm::dc::ResetConversionState();
  ConversionLog log;
  try {
    return ConvertRule(rule, query, size);
  } catch (...) {
    return 0;
  }
}

int convert_dc_to_sql(const char* rule, char* query, int size, unsigned int* highFree,
                      unsigned int* lowFree) {
  if (!rule || !query || size <= 0) {
    if (highFree) *highFree = 0;
    if (lowFree) *lowFree = 0;
    return 0;
  }
  tqhsm::dc::ResetConversionState();
  ConversionLog log;
  try {
    int result = ConvertRule(rule, query, size);
    if (highFree) *highFree = static_cast<unsigned int>(high_free_space);
    if (lowFree) *lowFree = static_cast<unsigned int>(low_free_space);
    if (!v_users.empty()) {
      std::string clause;
      handle_user_id(clause);
      AppendClause(query, clause, size);
      DebugLine("query in uid = %s\n", query);
    }
    if (!v_groups.empty()) {
      std::string clause;
      handle_group_id(clause);
      AppendClause(query, clause, size);
    }
    if (g_queryTruncated) result = 0;
    return result;
  } catch (...) {
    return 0;
  }
}

int dump_parse_tree() {
  int count = stackCount < DC_STACK_SIZE ? stackCount : DC_STACK_SIZE;
  for (int i = 0; i < count; ++i) {
    printf("Stack Item : [%d]\n", i);
    printf("\tType  : [%c]\n", stack[i].type);
    printf("\tValue : [%s]\n", stack[i].value);
  }
  return 0;
}
