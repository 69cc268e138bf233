#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CaptureLog.h"
#include "Config.h"
#include "TQHSMHelper.h"

using tqhsm::IniConfig;
using tqhsm::ScopedBackend;
using tqhsm::test::CaptureLog;

namespace {

// The default counter set on a clock the test moves by hand. Every clock read
// and every call of the three operations is recorded.
class ManualClockPerf : public PerfCounter {
 public:
  uint64_t now() const override {
    ++clockReads;
    return clock;
  }
  void start(const char* function, int id) override {
    calls.push_back("start " + std::string(function) + " " + std::to_string(id));
    PerfCounter::start(function, id);
  }
  void stop(const char* function, int id, uint64_t count) override {
    calls.push_back("stop " + std::string(function) + " " + std::to_string(id) + " " +
                    std::to_string(count));
    PerfCounter::stop(function, id, count);
  }
  void log(const char* function, const char* label, int64_t count) override {
    calls.push_back("log " + std::string(function) + " " + label + " " + std::to_string(count));
    PerfCounter::log(function, label, count);
  }

  uint64_t clock = 1000;
  mutable int clockReads = 0;
  std::vector<std::string> calls;
};

PerfCounter::Totals TotalsOf(const PerfCounter& p, int id) {
  PerfCounter::Totals t;
  EXPECT_TRUE(p.GetTotals(id, t)) << id;
  return t;
}

int LeaveEarly(PerfCounter& perf, bool early) {
  CScopedPerf scope(perf, "TQHSMHelper::IsDMCandidate", ePerfIsDMCandidate);
  if (early) return 0;
  return 1;
}

}  // namespace

TEST(PerfCounterTest, DisabledSetCallsNothingAndReadsNoClock) {
  CaptureLog log;
  EvEvent ev;
  ManualClockPerf perf;
  perf.initPerfCounters(ev);  // no configuration: disabled
  perf.AddPerfCounter(ePerfGetFileInfo, "GetFileInfo", PerfCounter::eCtrBaseDefault, false);
  perf.m_bLogAtEveryStop = true;  // has no effect while disabled
  {
    CScopedPerf scope(perf, "TQHSMHelper::GetFileInfo", ePerfGetFileInfo);
  }
  perf.StartPerfCounter("f", ePerfGetFileInfo);
  perf.StopPerfCounter("f", ePerfGetFileInfo, 0);
  perf.LogPerfCounters("f", nullptr, -1);
  EXPECT_TRUE(perf.calls.empty());
  EXPECT_EQ(perf.clockReads, 0);
  EXPECT_TRUE(log.lines.empty());
  EXPECT_EQ(TotalsOf(perf, ePerfGetFileInfo).calls, 0u);
}

TEST(PerfCounterTest, ForwardingFollowsTheFlags) {
  CaptureLog log;
  ManualClockPerf perf;
  perf.m_bEnabled = true;
  perf.AddPerfCounter(ePerfBackupStub, "backupStub", PerfCounter::eCtrBaseDefault, false);

  perf.StartPerfCounter("TQHSMHelper::PruneStub", ePerfBackupStub);
  perf.StopPerfCounter("TQHSMHelper::PruneStub", ePerfBackupStub, 0);
  perf.LogPerfCounters("TQHSMHelper::DeInitialize", nullptr, -1);
  perf.LogPerfCounters("X", "Per Volume", 12);
  EXPECT_EQ(perf.calls, (std::vector<std::string>{
                            "start TQHSMHelper::PruneStub 3",
                            "stop TQHSMHelper::PruneStub 3 0",
                            "log TQHSMHelper::DeInitialize For All The Files -1",
                            "log X Per Volume 12",
                        }));

  // With log-at-every-stop every stop is followed by one log of all files.
  perf.calls.clear();
  perf.m_bLogAtEveryStop = true;
  perf.StartPerfCounter("P", ePerfBackupStub);
  perf.StopPerfCounter("P", ePerfBackupStub, 0);
  perf.StartPerfCounter("P", ePerfBackupStub);
  perf.StopPerfCounter("P", ePerfBackupStub, 0);
  EXPECT_EQ(perf.calls, (std::vector<std::string>{
                            "start P 3",
                            "stop P 3 0",
                            "log P For All The Files -1",
                            "start P 3",
                            "stop P 3 0",
                            "log P For All The Files -1",
                        }));
}

TEST(PerfCounterTest, MeasuresCallsAndTimeOnTheMonotonicClock) {
  ManualClockPerf perf;
  perf.m_bEnabled = true;
  perf.AddPerfCounter(ePerfIsDMCandidate, "IsDMCandidate", PerfCounter::eCtrBaseDefault, false);
  perf.AddPerfCounter(ePerfGetFileInfo, "GetFileInfo", PerfCounter::eCtrBaseDefault, false);

  // An outer run with a nested run of another counter and a nested run of itself.
  perf.StartPerfCounter("a", ePerfIsDMCandidate);  // t=1000
  perf.clock += 100;
  perf.StartPerfCounter("b", ePerfGetFileInfo);  // 1100
  perf.clock += 50;
  perf.StopPerfCounter("b", ePerfGetFileInfo, 0);  // 1150: 50
  perf.StartPerfCounter("a", ePerfIsDMCandidate);  // 1150
  perf.clock += 10;
  perf.StopPerfCounter("a", ePerfIsDMCandidate, 0);  // 1160: 10
  perf.clock += 40;
  perf.StopPerfCounter("a", ePerfIsDMCandidate, 0);  // 1200: 200

  PerfCounter::Totals dm = TotalsOf(perf, ePerfIsDMCandidate);
  EXPECT_EQ(dm.name, "IsDMCandidate");
  EXPECT_EQ(dm.calls, 2u);
  EXPECT_EQ(dm.totalNs, 210u);
  PerfCounter::Totals gfi = TotalsOf(perf, ePerfGetFileInfo);
  EXPECT_EQ(gfi.calls, 1u);
  EXPECT_EQ(gfi.totalNs, 50u);

  // A stop without a start, and an unregistered counter, measure nothing and
  // read no clock.
  int reads = perf.clockReads;
  perf.StopPerfCounter("a", ePerfGetFileInfo, 0);
  perf.StartPerfCounter("a", ePerfRestubCheck);
  perf.StopPerfCounter("a", ePerfRestubCheck, 0);
  EXPECT_EQ(perf.clockReads, reads);
  EXPECT_EQ(TotalsOf(perf, ePerfGetFileInfo).calls, 1u);
  PerfCounter::Totals none;
  EXPECT_FALSE(perf.GetTotals(ePerfRestubCheck, none));

  // Registering again starts the counter afresh.
  perf.AddPerfCounter(ePerfGetFileInfo, "GetFileInfo", PerfCounter::eCtrBaseDefault, false);
  EXPECT_EQ(TotalsOf(perf, ePerfGetFileInfo).calls, 0u);
}

TEST(PerfCounterTest, RealClockMeasuresElapsedTime) {
  PerfCounter perf;
  perf.m_bEnabled = true;
  perf.AddPerfCounter(ePerfRestubCheck, "RestubCheck", PerfCounter::eCtrBaseDefault, false);
  for (int i = 0; i < 3; ++i) {
    CScopedPerf scope(perf, "TQHSMHelper::IsFileShouldBeReStubbed", ePerfRestubCheck);
    volatile uint64_t sink = 0;
    for (int j = 0; j < 10000; ++j) sink = sink + static_cast<uint64_t>(j);
  }
  PerfCounter::Totals t = TotalsOf(perf, ePerfRestubCheck);
  EXPECT_EQ(t.calls, 3u);
  EXPECT_GT(t.totalNs, 0u);
}

TEST(PerfCounterTest, LogWritesOneReadableLinePerCounter) {
  CaptureLog log;
  EvEvent ev;
  ManualClockPerf perf;
  perf.initPerfCounters(ev);
  perf.m_bEnabled = true;
  perf.AddPerfCounter(ePerfIsDMCandidate, "IsDMCandidate", PerfCounter::eCtrBaseDefault, false);
  perf.AddPerfCounter(ePerfIsAFilePruned, "isAFilePruned", PerfCounter::eCtrBaseDefault, false);
  for (int i = 0; i < 4; ++i) {
    perf.StartPerfCounter("x", ePerfIsDMCandidate);
    perf.clock += 2500000;  // 2.5 ms
    perf.StopPerfCounter("x", ePerfIsDMCandidate, 0);
  }
  perf.LogPerfCounters("TQHSMHelper::DeInitialize", nullptr, -1);
  perf.LogPerfCounters("TQHSMHelper::DeInitialize", "Volume /data", 4);

  std::vector<std::string> lines = log.texts("TQHSMHelper::DeInitialize");
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Perf counter IsDMCandidate  [For All The Files]: calls 4, total 10.000 ms, "
                       "mean 2500.000 us",
                       "Perf counter isAFilePruned  [For All The Files]: calls 0, total 0.000 ms, "
                       "mean 0.000 us",
                       "Perf counter IsDMCandidate  [Volume /data]: calls 4, total 10.000 ms, "
                       "mean 2500.000 us over 4 items",
                       "Perf counter isAFilePruned  [Volume /data]: calls 0, total 0.000 ms, "
                       "mean 0.000 us over 4 items",
                   }));
  for (const auto& l : log.lines) EXPECT_EQ(l.level, 0);
}

TEST(PerfCounterTest, FlagsComeFromTheConfiguration) {
  struct Case {
    const char* config;
    bool enabled;
    bool everyStop;
  };
  const Case cases[] = {
      {"", false, false},
      {"[PerfCounters]\nEnabled = yes\n", true, false},
      {"[PerfCounters]\nEnabled = Y\nLogAtEveryStop = yes\n", true, true},
      {"[PerfCounters]\nEnabled = no\nLogAtEveryStop = Yes\n", false, true},
      {"[PerfCounters]\nEnabled =\n", false, false},
      {"[FileSystemAgent]\nEnabled = yes\n", false, false},
  };
  for (const Case& c : cases) {
    auto config = IniConfig::FromString(c.config);
    ScopedBackend<tqhsm::ConfigSource> scope(config.get());
    EvEvent ev;
    PerfCounter perf;
    perf.m_bEnabled = !c.enabled;  // initPerfCounters decides, whatever was there
    perf.initPerfCounters(ev);
    EXPECT_EQ(perf.m_bEnabled, c.enabled) << c.config;
    EXPECT_EQ(perf.m_bLogAtEveryStop, c.everyStop) << c.config;
  }
}

TEST(PerfCounterTest, ScopeLeftEarlyStillStopsItsCounter) {
  ManualClockPerf perf;
  perf.m_bEnabled = true;
  perf.AddPerfCounter(ePerfIsDMCandidate, "IsDMCandidate", PerfCounter::eCtrBaseDefault, false);
  EXPECT_EQ(LeaveEarly(perf, true), 0);
  EXPECT_EQ(LeaveEarly(perf, false), 1);
  EXPECT_EQ(perf.calls, (std::vector<std::string>{
                            "start TQHSMHelper::IsDMCandidate 1",
                            "stop TQHSMHelper::IsDMCandidate 1 0",
                            "start TQHSMHelper::IsDMCandidate 1",
                            "stop TQHSMHelper::IsDMCandidate 1 0",
                        }));
  EXPECT_EQ(TotalsOf(perf, ePerfIsDMCandidate).calls, 2u);

  // The guard copies nothing: start and stop get the very name it was given.
  struct SeenNames : PerfCounter {
    void start(const char* function, int) override { started = function; }
    void stop(const char* function, int, uint64_t) override { stopped = function; }
    const char* started = nullptr;
    const char* stopped = nullptr;
  } seen;
  seen.m_bEnabled = true;
  const char* name = "TQHSMHelper::GetFileInfo";
  { CScopedPerf scope(seen, name, ePerfGetFileInfo); }
  EXPECT_EQ(seen.started, name);
  EXPECT_EQ(seen.stopped, name);
}
