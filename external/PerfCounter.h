#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "TQHSMExport.h"

class EvEvent;

// The agent's performance counter set. Each registered counter keeps the number
// of start/stop pairs and the time between them on a monotonic clock; the log
// operation writes one line per counter (name, calls, total, mean).
//
// Both flags come from the configuration when initPerfCounters runs (section
// "PerfCounters", keys "Enabled" and "LogAtEveryStop"; a text flag is true when
// it starts with 'y' or 'Y'). While the set is disabled, starting, stopping and
// logging do nothing at all, not even read the clock.
class TQHSM_API PerfCounter {
 public:
  enum CTRBASETYPE { eCtrBaseDefault = 0 };

  explicit PerfCounter(EvEvent* event = nullptr);
  virtual ~PerfCounter();
  PerfCounter(const PerfCounter&) = delete;
  PerfCounter& operator=(const PerfCounter&) = delete;

  // Takes the logger and reads the two flags from the configuration.
  void initPerfCounters(EvEvent& event);
  // Registers (or re-registers, with fresh totals) a counter.
  void AddPerfCounter(int id, const char* name, CTRBASETYPE baseType, bool flag);
  void StartPerfCounter(const char* function, int id);
  void StopPerfCounter(const char* function, int id, uint64_t count);
  void LogPerfCounters(const char* function, const char* label, int64_t count);

  // What one counter has measured so far.
  struct Totals {
    std::string name;
    uint64_t calls = 0;    // completed start/stop pairs
    uint64_t totalNs = 0;  // time between them, nanoseconds
  };
  // false when no counter of that id is registered.
  bool GetTotals(int id, Totals& totals) const;

  bool m_bEnabled = false;
  bool m_bLogAtEveryStop = false;

 protected:
  virtual void log(const char* function, const char* label, int64_t count);
  virtual void start(const char* function, int id);
  virtual void stop(const char* function, int id, uint64_t count);
  // The monotonic clock, in nanoseconds.
  virtual uint64_t now() const;

  EvEvent* m_pEvent;

 private:
  struct Counter {
    Totals totals;
    // Start times of the runs that are still open; a counter may be started
    // again before it is stopped (a timed operation that calls itself).
    std::vector<uint64_t> open;
  };
  std::map<int, Counter> m_mapCounters;
};
