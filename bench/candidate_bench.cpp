// The cost of one candidate decision. A file the rules turn down costs map
// look-ups and arithmetic; a candidate is inspected (a few system calls) and
// written to StubCollect.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "TQHSMHelper.h"

namespace {

struct Scratch {
  Scratch() {
    char tmpl[] = "/tmp/tqhsm-bench-XXXXXX";
    dir = mkdtemp(tmpl);
    file = dir + "/f";
    FILE* f = std::fopen(file.c_str(), "w");
    std::fputs("data", f);
    std::fclose(f);
    TQHSMHelperInitArgs args;
    args.m_sJobResultsDir = dir;
    args.m_sCollectFileName = "StubCollect";
    helper.reset(new TQHSMHelper(args));
    TQHSMHelper& h = *helper;
    h.m_bRulesInitialized = true;
    h.m_rules.m_ulRulesFlag = 0;
    h.m_rules.m_lDaysOld = 30;
    h.m_tInitTime = time(nullptr);
    h.m_pLowLevelCtx = new TQHSMLowLevelCtx(0);
    h.m_stubCollect.Initialize(dir + "/StubCollect");
    h.m_stubCollect.SetSeperator('|');
    h.m_mapAmountToArchive[volume] = INT64_MAX / 2;
    h.m_mapFsBlockSize[volume] = 4096;
    stat(file.c_str(), &st);
    st.st_size = 100000;
  }
  ~Scratch() {
    helper.reset();
    std::string cmd = "rm -rf '" + dir + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", dir.c_str());
  }
  std::string dir, file, volume = "/";
  struct stat st;
  std::unique_ptr<TQHSMHelper> helper;
};

void BM_NotACandidate(benchmark::State& state) {
  Scratch s;
  struct stat st = s.st;
  st.st_atime = time(nullptr) - 86400;  // accessed yesterday
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        s.helper->IsDMCandidate(s.file.c_str(), &st, s.volume, true, false, false));
  }
}
BENCHMARK(BM_NotACandidate);

void BM_Candidate(benchmark::State& state) {
  Scratch s;
  struct stat st = s.st;
  st.st_atime = time(nullptr) - 400 * 86400L;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        s.helper->IsDMCandidate(s.file.c_str(), &st, s.volume, true, false, false));
  }
}
BENCHMARK(BM_Candidate);

// A file the rules turn down on a scan that prunes (HonorArchiverRetention):
// it is asked only whether it is a stub, which for a file without stub data
// is one attribute read by path.
void BM_NotACandidatePruneCheck(benchmark::State& state) {
  Scratch s;
  struct stat st = s.st;
  st.st_atime = time(nullptr) - 86400;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        s.helper->IsDMCandidate(s.file.c_str(), &st, s.volume, true, false, true));
  }
}
BENCHMARK(BM_NotACandidatePruneCheck);

}  // namespace

BENCHMARK_MAIN();
