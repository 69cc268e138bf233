#pragma once

#include <string>
#include <vector>

#include "Backend.h"
#include "EvEvent.h"

namespace tqhsm {
namespace test {

struct LogLine {
  LogKind kind;
  std::string tag;
  int level;
  std::string text;
};

struct EventRecord {
  unsigned int id;
  long long jobId;
  int arg;
  std::vector<std::string> args;
};

// Captures every log line and event while it is installed (it installs itself).
class CaptureLog : public LogSink {
 public:
  explicit CaptureLog(int level = 10) : m_nLevel(level), m_scope(this) {}

  int level() const override { return m_nLevel; }
  void write(LogKind kind, const char* tag, int level, const std::string& text) override {
    lines.push_back({kind, tag ? tag : "", level, text});
  }
  void event(unsigned int id, long long jobId, int arg,
             const std::vector<std::string>& args) override {
    events.push_back({id, jobId, arg, args});
  }
  void debugBreak(const char* marker, const char*, int, int, bool) override {
    breaks.push_back(marker ? marker : "");
  }

  // Texts of the lines with this tag, in order.
  std::vector<std::string> texts(const std::string& tag) const;
  // Whether some line has exactly this tag and text.
  bool has(const std::string& tag, const std::string& text) const;
  bool hasText(const std::string& text) const;
  size_t count(const std::string& text) const;
  const LogLine* find(const std::string& text) const;
  void clear() {
    lines.clear();
    events.clear();
    breaks.clear();
  }

  std::vector<LogLine> lines;
  std::vector<EventRecord> events;
  std::vector<std::string> breaks;

 private:
  int m_nLevel;
  ScopedBackend<LogSink> m_scope;
};

}  // namespace test
}  // namespace tqhsm
