#pragma once

#include <cstdint>

#include "TQHSMExport.h"

class EvEvent;

// The agent's performance counter set.
class TQHSM_API PerfCounter {
 public:
  enum CTRBASETYPE { eCtrBaseDefault = 0 };

  explicit PerfCounter(EvEvent* event = nullptr);
  virtual ~PerfCounter();

  void initPerfCounters(EvEvent& event);
  void AddPerfCounter(int id, const char* name, CTRBASETYPE baseType, bool flag);
  void StartPerfCounter(const char* function, int id);
  void StopPerfCounter(const char* function, int id, uint64_t count);
  void LogPerfCounters(const char* function, const char* label, int64_t count);

  bool m_bEnabled = false;
  bool m_bLogAtEveryStop = false;

 protected:
  virtual void log(const char* function, const char* label, int64_t count);
  virtual void start(const char* function, int id);
  virtual void stop(const char* function, int id, uint64_t count);

  EvEvent* m_pEvent;
};
