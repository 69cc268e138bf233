#pragma once

#include <string>
#include <vector>

#include "Backend.h"

namespace tqhsm {

enum class LogKind { Debug, Error };

// Where log lines and events end up. The default writes one line per message to
// the file named by TQHSM_LOG (standard error when unset) and drops debug
// messages above TQHSM_DEBUG_LEVEL (default 1) before they are formatted.
class TQHSM_API LogSink {
  TQHSM_BACKEND_SLOT(LogSink)

 public:
  virtual ~LogSink();
  // Messages of a level above this are dropped before formatting.
  virtual int level() const = 0;
  virtual void write(LogKind kind, const char* tag, int level, const std::string& text) = 0;
  virtual void event(unsigned int eventId, long long jobId, int arg,
                     const std::vector<std::string>& args) = 0;
  // A debugging hook keyed by a marker path; it always returns to the caller.
  virtual void debugBreak(const char* marker, const char* arg, int count, int level, bool flag);
};

// How a text is written into the log, so that no name can forge or overwrite a
// line on the terminal that shows it. Bytes below 0x20 and 0x7f become escapes
// (\n, \r, \t, else \xHH with two lower-case hex digits); a backslash becomes
// \\, so that every backslash in the log starts an escape. Well-formed UTF-8
// is kept, except the C1 control characters U+0080 to U+009F (\xc2\x80 ...),
// which some terminals obey as well; bytes that are not well-formed UTF-8 are
// written as \xHH one by one. With bracket set, ']' is written as \x5d too
// (an event argument stands between brackets).
TQHSM_API void AppendEscaped(std::string& out, const char* text, size_t size,
                             bool bracket = false);
// The text as the log writes it.
TQHSM_API std::string EscapeLogText(const std::string& text);

class TQHSM_API FileLogSink : public LogSink {
 public:
  // path empty: standard error. Lines are appended with one write() each;
  // texts, tags and event arguments are written as AppendEscaped writes them.
  FileLogSink(const std::string& path, int level);
  ~FileLogSink() override;
  FileLogSink(const FileLogSink&) = delete;
  FileLogSink& operator=(const FileLogSink&) = delete;

  int level() const override { return m_nLevel; }
  void write(LogKind kind, const char* tag, int level, const std::string& text) override;
  void event(unsigned int eventId, long long jobId, int arg,
             const std::vector<std::string>& args) override;
  void debugBreak(const char* marker, const char* arg, int count, int level, bool flag) override;

 private:
  void emit(const std::string& body);

  int m_nFd;
  bool m_bOwnFd;
  int m_nLevel;
};

}  // namespace tqhsm

// The agent's logger. Plain Debug lines count as level 1; Error lines are always
// written. A logger built without a sink writes to the process's current sink.
class TQHSM_API EvDebug {
 public:
  EvDebug() = default;
  explicit EvDebug(tqhsm::LogSink* sink) : m_pSink(sink) {}
  virtual ~EvDebug() = default;

  void Debug(const char* tag, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void DebugLvl(const char* tag, int level, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  void Error(const char* tag, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void debug(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void debugBreak(const char* marker, const char* arg, int count, int level, bool flag);

  bool isLevelEnabled(int level) const;
  // The same test, for one check before a group of DebugLvl lines: a DebugLvl
  // call whose level is off still evaluates its arguments and passes them on,
  // so per-file code asks once and skips the group.
  bool enabled(int level) const { return isLevelEnabled(level); }

 protected:
  tqhsm::LogSink& sink() const;

 private:
  tqhsm::LogSink* m_pSink = nullptr;
};

// The agent's event raiser: text arguments are collected with operator<< and
// raised, together, by the next CriticalEvent.
class TQHSM_API EvEvent : public EvDebug {
 public:
  EvEvent() = default;
  explicit EvEvent(tqhsm::LogSink* sink) : EvDebug(sink) {}

  EvEvent& operator<<(const std::string& text);
  EvEvent& operator<<(const char* text);
  void CriticalEvent(unsigned int eventId, long long jobId, int arg);

 private:
  std::vector<std::string> m_vecArgs;
};
