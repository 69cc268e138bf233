#include "PerfCounter.h"

// The measuring counter set arrives with the helper's initialisation; until then
// the set is disabled and every operation is free.

PerfCounter::PerfCounter(EvEvent* event) : m_pEvent(event) {}
PerfCounter::~PerfCounter() = default;

void PerfCounter::initPerfCounters(EvEvent& event) { m_pEvent = &event; }
void PerfCounter::AddPerfCounter(int, const char*, CTRBASETYPE, bool) {}

void PerfCounter::StartPerfCounter(const char* function, int id) {
  if (!m_bEnabled) return;
  start(function, id);
}

void PerfCounter::StopPerfCounter(const char* function, int id, uint64_t count) {
  if (!m_bEnabled) return;
  stop(function, id, count);
  if (m_bLogAtEveryStop) log(function, "For All The Files", -1);
}

void PerfCounter::LogPerfCounters(const char* function, const char* label, int64_t count) {
  if (!m_bEnabled) return;
  log(function, label ? label : "For All The Files", count);
}

void PerfCounter::log(const char*, const char*, int64_t) {}
void PerfCounter::start(const char*, int) {}
void PerfCounter::stop(const char*, int, uint64_t) {}
