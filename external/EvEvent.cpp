#include "EvEvent.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace tqhsm {

LogSink::~LogSink() = default;

void LogSink::debugBreak(const char*, const char*, int, int, bool) {}

TQHSM_DEFINE_BACKEND_SLOT(LogSink)

LogSink& LogSink::Default() {
  static FileLogSink* sink = [] {
    const char* path = std::getenv("TQHSM_LOG");
    const char* level = std::getenv("TQHSM_DEBUG_LEVEL");
    int lvl = 1;
    if (level && *level) {
      char* end = nullptr;
      long v = std::strtol(level, &end, 10);
      if (end && *end == '\0') lvl = static_cast<int>(v);
    }
    // Never freed: log lines may still be written from static destructors.
    return new FileLogSink(path ? path : "", lvl);
  }();
  return *sink;
}

FileLogSink::FileLogSink(const std::string& path, int level)
    : m_nFd(2), m_bOwnFd(false), m_nLevel(level) {
  if (!path.empty()) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
      m_nFd = fd;
      m_bOwnFd = true;
    } else {
      int err = errno;
      std::string msg = "tqhsm: cannot open log file " + path + ": " + std::strerror(err) +
                        "; logging to standard error\n";
      (void)!::write(2, msg.data(), msg.size());
    }
  }
}

FileLogSink::~FileLogSink() {
  if (m_bOwnFd) ::close(m_nFd);
}

namespace {

std::string linePrefix() {
  char stamp[32];
  time_t now = time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tmv);
  return std::string(stamp) + " " + std::to_string(getpid()) + " ";
}

// Length of the well-formed UTF-8 sequence at p (at most left bytes), 0 when
// there is none. Overlong forms, surrogates and code points past U+10FFFF are
// not well-formed.
size_t utf8Length(const unsigned char* p, size_t left) {
  unsigned char c = p[0];
  size_t n;
  unsigned char lo = 0x80, hi = 0xbf;  // range of the second byte
  if (c >= 0xc2 && c <= 0xdf) {
    n = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    n = 3;
    if (c == 0xe0) lo = 0xa0;
    if (c == 0xed) hi = 0x9f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    n = 4;
    if (c == 0xf0) lo = 0x90;
    if (c == 0xf4) hi = 0x8f;
  } else {
    return 0;
  }
  if (left < n || p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < n; ++i)
    if (p[i] < 0x80 || p[i] > 0xbf) return 0;
  return n;
}

void appendHex(std::string& out, unsigned char c) {
  static const char kDigits[] = "0123456789abcdef";
  out += '\\';
  out += 'x';
  out += kDigits[c >> 4];
  out += kDigits[c & 15];
}

}  // namespace

void AppendEscaped(std::string& out, const char* text, size_t size, bool bracket) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < size) {
    // Runs of plain printable ASCII are copied in one go.
    size_t run = i;
    while (run < size && p[run] >= 0x20 && p[run] < 0x7f && p[run] != '\\' &&
           !(bracket && p[run] == ']'))
      ++run;
    if (run > i) {
      out.append(text + i, run - i);
      i = run;
      continue;
    }
    unsigned char c = p[i];
    if (c < 0x80) {
      switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\\': out += "\\\\"; break;
        default: appendHex(out, c); break;
      }
      ++i;
      continue;
    }
    size_t n = utf8Length(p + i, size - i);
    if (n == 0 || (n == 2 && c == 0xc2 && p[i + 1] <= 0x9f)) {
      // Not UTF-8, or a C1 control: every byte of it as an escape.
      size_t bytes = n == 0 ? 1 : 2;
      for (size_t k = 0; k < bytes; ++k) appendHex(out, p[i + k]);
      i += bytes;
      continue;
    }
    out.append(text + i, n);
    i += n;
  }
}

std::string EscapeLogText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  AppendEscaped(out, text.data(), text.size());
  return out;
}

namespace {

void appendText(std::string& out, const char* text) {
  if (text) AppendEscaped(out, text, std::strlen(text));
}

}  // namespace

void FileLogSink::emit(const std::string& body) {
  std::string line = linePrefix() + body + "\n";
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(m_nFd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report a failing log
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void FileLogSink::write(LogKind kind, const char* tag, int level, const std::string& text) {
  std::string body = kind == LogKind::Error ? "ERROR " : "DEBUG ";
  body += std::to_string(level);
  body += ' ';
  appendText(body, tag);
  body += ' ';
  AppendEscaped(body, text.data(), text.size());
  emit(body);
}

void FileLogSink::event(unsigned int eventId, long long jobId, int arg,
                        const std::vector<std::string>& args) {
  char head[96];
  snprintf(head, sizeof head, "EVENT 0x%08x job=%lld arg=%d args=", eventId, jobId, arg);
  std::string body = head;
  for (const std::string& a : args) {
    body += '[';
    AppendEscaped(body, a.data(), a.size(), true);
    body += ']';
  }
  emit(body);
}

void FileLogSink::debugBreak(const char* marker, const char*, int, int, bool) {
  // The hook only notes that the marker was reached; it never stops the scan.
  if (marker && ::access(marker, F_OK) == 0) {
    std::string body = "DEBUG 2 debugBreak marker ";
    appendText(body, marker);
    emit(body + " present, continuing");
  }
}

}  // namespace tqhsm

namespace {

std::string vformat(const char* format, va_list ap) {
  char small[512];
  va_list copy;
  va_copy(copy, ap);
  int n = vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(&big[0], big.size(), format, ap);
  big.resize(static_cast<size_t>(n));
  return big;
}

}  // namespace

tqhsm::LogSink& EvDebug::sink() const {
  return m_pSink ? *m_pSink : tqhsm::LogSink::Current();
}

bool EvDebug::isLevelEnabled(int level) const { return level <= sink().level(); }

namespace {

// Formats and writes one message; a level above the sink's is dropped before any
// formatting is done.
void writeFormatted(tqhsm::LogSink& s, tqhsm::LogKind kind, const char* tag, int level,
                    const char* format, va_list ap) {
  if (kind != tqhsm::LogKind::Error && level > s.level()) return;
  s.write(kind, tag, level, vformat(format, ap));
}

}  // namespace

void EvDebug::Debug(const char* tag, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  writeFormatted(sink(), tqhsm::LogKind::Debug, tag, 1, format, ap);
  va_end(ap);
}

void EvDebug::DebugLvl(const char* tag, int level, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  writeFormatted(sink(), tqhsm::LogKind::Debug, tag, level, format, ap);
  va_end(ap);
}

void EvDebug::Error(const char* tag, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  writeFormatted(sink(), tqhsm::LogKind::Error, tag, -1, format, ap);
  va_end(ap);
}

void EvDebug::debug(int level, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  writeFormatted(sink(), tqhsm::LogKind::Debug, "", level, format, ap);
  va_end(ap);
}

void EvDebug::debugBreak(const char* marker, const char* arg, int count, int level, bool flag) {
  sink().debugBreak(marker, arg, count, level, flag);
}

EvEvent& EvEvent::operator<<(const std::string& text) {
  m_vecArgs.push_back(text);
  return *this;
}

EvEvent& EvEvent::operator<<(const char* text) {
  m_vecArgs.emplace_back(text ? text : "");
  return *this;
}

void EvEvent::CriticalEvent(unsigned int eventId, long long jobId, int arg) {
  sink().event(eventId, jobId, arg, m_vecArgs);
  m_vecArgs.clear();
}
