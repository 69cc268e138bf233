#include "Config.h"

#include <fcntl.h>
#include <ini.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "EvEvent.h"

namespace tqhsm {

ConfigSource::~ConfigSource() = default;

TQHSM_DEFINE_BACKEND_SLOT(ConfigSource)

ConfigSource& ConfigSource::Default() {
  static IniConfig* config = [] {
    const char* path = std::getenv("TQHSM_CONFIG");
    std::unique_ptr<IniConfig> c = (path && *path) ? IniConfig::FromFile(path) : IniConfig::Empty();
    if (!c->problem().empty()) {
      EvDebug log;
      log.Error("Configuration", "%s; every configuration key counts as absent.",
                c->problem().c_str());
    }
    return c.release();  // lives for the whole process
  }();
  return *config;
}

bool ConfigSource::getNumber(const std::string& section, const std::string& key,
                             uint64_t& value) const {
  std::string text;
  if (!getString(section, key, text)) return false;
  const char* s = text.c_str();
  while (*s == ' ' || *s == '\t') ++s;
  // Administrators write numbers in decimal, and a value such as 010 or 0755
  // means ten or seven hundred and fifty-five to them, not an octal number.
  int base = 10;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s += 2;
    if (!std::isxdigit(static_cast<unsigned char>(*s))) return false;
  } else if (*s < '0' || *s > '9') {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(s, &end, base);
  while (end && (*end == ' ' || *end == '\t')) ++end;
  if (errno == ERANGE || !end || *end != '\0') return false;
  value = v;
  return true;
}

namespace {

// One parse: the text, the line inih is working on, and what stopped or
// spoiled the parse. inih reads through readLine, one line per call, and calls
// onValue for the line it was handed last.
struct ParseState {
  IniConfig* config = nullptr;
  const std::string* text = nullptr;
  size_t next = 0;       // offset of the line after the current one
  size_t lineStart = 0;  // offset of the current line
  int lineNo = 0;        // number of the current line
  int badLine = 0;       // first line refused by the reader or the handler
  std::string reason;    // why
  bool haveKey = false;  // the handler saw a key before
  std::string lastSection, lastName;
};

void refuseLine(ParseState& p, int line, const std::string& reason) {
  if (p.badLine != 0) return;
  p.badLine = line;
  p.reason = reason;
}

// An fgets for inih over the text. inih reads each line into a buffer of num
// bytes (Debian's libinih: 200, "ini_max_line") and hands a longer line over
// in pieces, the first cut off and the rest read as lines of their own; such a
// line ends the parse here instead, and so does a NUL byte, which would cut
// the line short where it stands.
char* readLine(char* str, int num, void* stream) {
  ParseState& p = *static_cast<ParseState*>(stream);
  const std::string& text = *p.text;
  if (p.badLine != 0 || p.next >= text.size()) return nullptr;
  size_t newline = text.find('\n', p.next);
  size_t end = newline == std::string::npos ? text.size() : newline + 1;
  size_t bytes = end - p.next;
  int lineNo = p.lineNo + 1;
  if (std::memchr(text.data() + p.next, '\0', bytes)) {
    refuseLine(p, lineNo, "the line holds a NUL byte");
    return nullptr;
  }
  if (num < 2 || bytes > static_cast<size_t>(num) - 1) {
    size_t length = bytes - (newline == std::string::npos ? 0 : 1);
    refuseLine(p, lineNo,
               "the line is " + std::to_string(length) + " bytes long; a line may hold at most " +
                   std::to_string(num > 2 ? num - 2 : 0) +
                   " bytes besides its line break (the limit of the INI reader)");
    return nullptr;
  }
  std::memcpy(str, text.data() + p.next, bytes);
  str[bytes] = '\0';
  p.lineStart = p.next;
  p.lineNo = lineNo;
  p.next = end;
  return str;
}

int onValue(void* user, const char* section, const char* name, const char* value) {
  ParseState& p = *static_cast<ParseState*>(user);
  // inih reads an indented line after a key as a continuation of that key's
  // value and hands it over as the key's new value: "  LowFreeSpace = 10" after
  // "HighFreeSpace = 30" would make HighFreeSpace "LowFreeSpace = 10".
  char first = (*p.text)[p.lineStart];
  if ((first == ' ' || first == '\t') && p.haveKey && p.lastSection == section &&
      p.lastName == name) {
    refuseLine(p, p.lineNo,
               std::string("the indented line would continue the value of key ") + name +
                   " above it; a value takes one line (remove the indentation)");
    return 1;
  }
  p.haveKey = true;
  p.lastSection = section;
  p.lastName = name;
  p.config->set(section, name, value ? value : "");
  return 1;
}

// Reads the whole file at path into text; false with the problem text.
bool readConfigFile(const std::string& path, std::string& text, std::string& problem) {
  const std::string name = "configuration file " + path;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    int err = errno;
    problem = (err == ENOENT || err == ENOTDIR ? "Cannot open " : "Cannot read ") + name + ": " +
              std::strerror(err);
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    problem = "Cannot read " + name + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    problem = "Configuration file " + path + " is a directory";
    ::close(fd);
    return false;
  }
  text.clear();
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      problem = "Cannot read " + name + ": " + std::strerror(errno);
      break;
    }
    if (n == 0) break;
    if (text.size() + static_cast<size_t>(n) > IniConfig::kMaxFileSize) {
      problem = "Configuration file " + path + " is larger than " +
                std::to_string(IniConfig::kMaxFileSize) + " bytes; is it the right file?";
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return problem.empty();
}

}  // namespace

void IniConfig::parse(const std::string& text, const std::string& what) {
  ParseState p;
  p.config = this;
  p.text = &text;
  int rc = ini_parse_stream(&readLine, &p, &onValue, &p);
  if (rc == -2) {
    m_sProblem = "Out of memory reading " + what;
  } else if (rc > 0 && (p.badLine == 0 || rc < p.badLine)) {
    m_sProblem = what + " is malformed at line " + std::to_string(rc);
  } else if (p.badLine != 0) {
    m_sProblem = what + " is malformed at line " + std::to_string(p.badLine) + ": " + p.reason;
  }
  // A configuration that cannot be trusted as a whole is not used at all.
  if (!m_sProblem.empty()) m_mapValues.clear();
}

std::unique_ptr<IniConfig> IniConfig::Empty() { return std::unique_ptr<IniConfig>(new IniConfig()); }

std::unique_ptr<IniConfig> IniConfig::FromFile(const std::string& path) {
  std::unique_ptr<IniConfig> c(new IniConfig());
  std::string text;
  if (!readConfigFile(path, text, c->m_sProblem)) return c;
  c->parse(text, "Configuration file " + path);
  return c;
}

std::unique_ptr<IniConfig> IniConfig::FromString(const std::string& text) {
  std::unique_ptr<IniConfig> c(new IniConfig());
  c->parse(text, "Configuration text");
  return c;
}

bool IniConfig::getString(const std::string& section, const std::string& key,
                          std::string& value) const {
  auto it = m_mapValues.find(std::make_pair(section, key));
  if (it == m_mapValues.end()) return false;
  value = it->second;
  return true;
}

void IniConfig::set(const std::string& section, const std::string& key, const std::string& value) {
  m_mapValues[std::make_pair(section, key)] = value;
}

}  // namespace tqhsm
