#include "PerfCounter.h"

#include <cinttypes>
#include <ctime>

#include "Config.h"
#include "EvEvent.h"

namespace {

bool flagFromConfig(const char* key) {
  std::string value;
  if (!tqhsm::ConfigSource::Current().getString("PerfCounters", key, value)) return false;
  return !value.empty() && (value[0] == 'y' || value[0] == 'Y');
}

}  // namespace

PerfCounter::PerfCounter(EvEvent* event) : m_pEvent(event) {}
PerfCounter::~PerfCounter() = default;

void PerfCounter::initPerfCounters(EvEvent& event) {
  m_pEvent = &event;
  m_bEnabled = flagFromConfig("Enabled");
  m_bLogAtEveryStop = flagFromConfig("LogAtEveryStop");
}

void PerfCounter::AddPerfCounter(int id, const char* name, CTRBASETYPE, bool) {
  Counter& c = m_mapCounters[id];
  c = Counter();
  c.totals.name = name ? name : "";
}

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

bool PerfCounter::GetTotals(int id, Totals& totals) const {
  auto it = m_mapCounters.find(id);
  if (it == m_mapCounters.end()) return false;
  totals = it->second.totals;
  return true;
}

uint64_t PerfCounter::now() const {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

void PerfCounter::start(const char*, int id) {
  auto it = m_mapCounters.find(id);
  if (it == m_mapCounters.end()) return;  // only registered counters measure
  it->second.open.push_back(now());
}

void PerfCounter::stop(const char*, int id, uint64_t) {
  auto it = m_mapCounters.find(id);
  // A stop without a start (the set was enabled in between) has nothing to measure.
  if (it == m_mapCounters.end() || it->second.open.empty()) return;
  Counter& c = it->second;
  uint64_t began = c.open.back();
  c.open.pop_back();
  uint64_t end = now();
  c.totals.calls += 1;
  c.totals.totalNs += end > began ? end - began : 0;
}

void PerfCounter::log(const char* function, const char* label, int64_t count) {
  EvDebug fallback;
  EvDebug& out = m_pEvent ? static_cast<EvDebug&>(*m_pEvent) : fallback;
  if (!out.isLevelEnabled(0)) return;
  const char* tag = function ? function : "PerfCounter";
  std::string over = count >= 0 ? " over " + std::to_string(count) + " items" : std::string();
  for (const auto& entry : m_mapCounters) {
    const Totals& t = entry.second.totals;
    double totalMs = static_cast<double>(t.totalNs) / 1e6;
    double meanUs = t.calls ? static_cast<double>(t.totalNs) / 1e3 / static_cast<double>(t.calls) : 0.0;
    out.DebugLvl(tag, 0,
                 "Perf counter %-14s [%s]: calls %" PRIu64 ", total %.3f ms, mean %.3f us%s",
                 t.name.c_str(), label ? label : "", t.calls, totalMs, meanUs, over.c_str());
  }
}
