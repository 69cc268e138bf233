// Fuzzes the collect-file readers on arbitrary file content, and the log's
// escaping on every line they complain about. What must hold whatever the
// bytes:
//  - CountLines counts the line ends, plus one for a last line without one;
//  - GetLine, with any buffer size, returns exactly that many lines, each
//    NUL-terminated within its buffer, holding the line's head and no line end;
//  - GetLineFromCollectFile returns at most that many records, none with a
//    line break in its entry, and each record written out again in the
//    record layout reads back as the same record;
//  - every logged text, escaped as the log file writes it, is one line of
//    printable, well-formed UTF-8 that unescapes to the very text.

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

#include "CollectFile.h"
#include "EvEvent.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The inverse of the log's escaping; aborts on anything the escaping never
// writes, so that the two together prove the escapes unambiguous.
std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7f) abort();
    if (c != '\\') {
      out += s[i];
      continue;
    }
    if (++i >= s.size()) abort();
    switch (s[i]) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case '\\': out += '\\'; break;
      case 'x': {
        int hi = i + 1 < s.size() ? HexValue(s[i + 1]) : -1;
        int lo = i + 2 < s.size() ? HexValue(s[i + 2]) : -1;
        if (hi < 0 || lo < 0) abort();
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      default: abort();
    }
  }
  return out;
}

// Well-formed UTF-8 without C1 controls: what an escaped text must be.
bool PrintableUtf8(const std::string& s) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size();
  for (size_t i = 0; i < n;) {
    unsigned char c = p[i];
    if (c < 0x80) {
      if (c < 0x20 || c == 0x7f) return false;
      ++i;
      continue;
    }
    size_t len = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : 2;
    if (c < 0xc2 || c > 0xf4 || i + len > n) return false;
    uint32_t cp = c & (len == 2 ? 0x1f : len == 3 ? 0x0f : 0x07);
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3f);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10ffff)) ||
        (cp >= 0xd800 && cp <= 0xdfff) || (cp >= 0x80 && cp <= 0x9f))
      return false;
    i += len;
  }
  return true;
}

void CheckEscaping(const std::string& text) {
  const std::string escaped = tqhsm::EscapeLogText(text);
  if (!PrintableUtf8(escaped)) abort();
  if (Unescape(escaped) != text) abort();
  std::string bracketed;
  tqhsm::AppendEscaped(bracketed, text.data(), text.size(), true);
  if (bracketed.find(']') != std::string::npos) abort();
  if (Unescape(bracketed) != text) abort();
}

// Every line the readers log is checked as the log file would write it.
class CheckingSink : public tqhsm::LogSink {
 public:
  int level() const override { return 10; }
  void write(tqhsm::LogKind, const char*, int, const std::string& text) override {
    CheckEscaping(text);
  }
  void event(unsigned int, long long, int, const std::vector<std::string>& args) override {
    for (const std::string& a : args) CheckEscaping(a);
  }
};

CheckingSink g_sink;

FILE* Open(const uint8_t* data, size_t size) {
  // fmemopen refuses an empty buffer.
  return size ? fmemopen(const_cast<uint8_t*>(data), size, "r") : fopen("/dev/null", "r");
}

// One file in a directory of this process's own, removed at exit.
const std::string& ScratchFile() {
  static const std::string path = [] {
    const char* base = getenv("TMPDIR");
    std::string dir = std::string(base && *base ? base : "/tmp") + "/collect-fuzz-XXXXXX";
    if (!mkdtemp(&dir[0])) abort();
    static std::string file = dir + "/lines";
    static std::string d = dir;
    atexit([] {
      unlink(file.c_str());
      rmdir(d.c_str());
    });
    return file;
  }();
  return path;
}

// A separator that a number written after it can be told from.
bool RoundTrips(char separator) {
  return separator != '\n' && separator != '-' && separator != '+' && !isdigit(static_cast<unsigned char>(separator)) &&
         !isspace(static_cast<unsigned char>(separator));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tqhsm::LogSink::Install(&g_sink);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CheckEscaping(text);

  long ends = 0;
  for (size_t i = 0; i < size; ++i) ends += data[i] == '\n';
  const long lines = ends + (size > 0 && data[size - 1] != '\n' ? 1 : 0);

  // CountLines reads a path, and only a regular file of this user that is
  // reached without a link: the bytes go into a scratch file first.
  const std::string path = ScratchFile();
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) abort();
  if (size && write(fd, data, size) != static_cast<ssize_t>(size)) abort();
  close(fd);
  if (CountLines(path.c_str()) != lines) abort();

  // GetLine into a buffer of a size the input chooses, and the usual 1032.
  for (size_t bufSize : {static_cast<size_t>(1 + (size ? data[0] % 40 : 0)), size_t{1032}}) {
    FILE* f = Open(data, size);
    if (!f) abort();
    std::vector<char> buffer(bufSize);
    long got = 0;
    size_t at = 0;
    while (GetLine(f, buffer.data(), bufSize)) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) end = size;
      size_t keep = std::min(end - at, bufSize - 1);
      if (memcmp(buffer.data(), data + at, keep) != 0 || buffer[keep] != '\0') abort();
      at = end + 1;
      ++got;
    }
    fclose(f);
    if (got != lines) abort();
  }

  for (char separator : {'|', static_cast<char>(size ? data[size - 1] : ':')}) {
    FILE* f = Open(data, size);
    if (!f) abort();
    HSMCollectFile record;
    long records = 0;
    while (GetLineFromCollectFile(f, separator, record)) {
      if (++records > lines) abort();
      if (record.m_sEntry.find('\n') != std::string::npos) abort();
      if (!RoundTrips(separator)) continue;
      std::string again = std::string(1, separator) + record.m_sEntry + separator +
                          std::to_string(record.m_llNumber) + separator + "\n";
      FILE* g = fmemopen(&again[0], again.size(), "r");
      if (!g) abort();
      HSMCollectFile back;
      if (!GetLineFromCollectFile(g, separator, back) || back.m_sEntry != record.m_sEntry ||
          back.m_llNumber != record.m_llNumber)
        abort();
      fclose(g);
    }
    fclose(f);
  }
  return 0;
}
