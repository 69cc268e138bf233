// The cost of one collect-file line: the writer (space reserved ahead, lines
// acknowledged only once a full disk can no longer lose them) against a plain
// stdio stream with the same 64 KiB buffer writing the same, already formatted
// bytes with one fwrite per line. Both write real files in one directory
// (TQHSM_BENCH_DIR, else $TMPDIR or /tmp). Repetitions of the two run
// interleaved in one process; the ratio is taken pair by pair and reported as
// median and range. The writer's closing sync is a cost per file, not per line,
// and is not in the figures.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "CollectFile.h"

namespace {

const int64_t kLinesPerRun = 400000;
const int kRepetitions = 12;

std::string benchDir() {
  const char* dir = std::getenv("TQHSM_BENCH_DIR");
  if (!dir || !*dir) dir = std::getenv("TMPDIR");
  return dir && *dir ? dir : "/tmp";
}

// Entries as a scan writes them: paths of varied length with an inode number.
const std::vector<std::string>& entries() {
  static std::vector<std::string> e = [] {
    std::vector<std::string> v;
    for (int i = 0; i < 1024; ++i) {
      std::string p = "/data/projects/" + std::to_string(2000 + i % 24) + "/department-" +
                      std::to_string(i % 37) + "/" + std::string(static_cast<size_t>(i % 40), 'r') +
                      "report-" + std::to_string(i) + ".bin:" + std::to_string(1000000 + i * 7);
      v.push_back(p);
    }
    return v;
  }();
  return e;
}

struct Scratch {
  Scratch() : path(benchDir() + "/tqhsm-writer-bench-" + std::to_string(getpid())) {}
  ~Scratch() { unlink(path.c_str()); }
  std::string path;
};

void BM_CollectFileWriter(benchmark::State& state) {
  Scratch s;
  const std::vector<std::string>& e = entries();
  CollectFile cf;
  if (!cf.Initialize(s.path)) {
    state.SkipWithError("cannot create the collect file");
    return;
  }
  cf.SetSeperator('|');
  size_t i = 0;
  for (auto _ : state) {
    if (!cf.AddToCollectFile(e[i++ & 1023], true, true, 0)) {
      state.SkipWithError("a line was refused");
      break;
    }
  }
  cf.DeInitialize();  // after the timed loop
}

void BM_PlainFwrite(benchmark::State& state) {
  Scratch s;
  std::vector<std::string> lines;
  for (const std::string& entry : entries()) lines.push_back("|" + entry + "|0|\n");
  FILE* f = std::fopen(s.path.c_str(), "w");
  if (!f) {
    state.SkipWithError("cannot create the file");
    return;
  }
  std::setvbuf(f, nullptr, _IOFBF, CollectFile::kBufferSize);
  size_t i = 0;
  for (auto _ : state) {
    const std::string& l = lines[i++ & 1023];
    if (std::fwrite(l.data(), 1, l.size(), f) != l.size()) {
      state.SkipWithError("fwrite failed");
      break;
    }
  }
  std::fclose(f);
}

BENCHMARK(BM_CollectFileWriter)->Iterations(kLinesPerRun)->Repetitions(kRepetitions);
BENCHMARK(BM_PlainFwrite)->Iterations(kLinesPerRun)->Repetitions(kRepetitions);

// Keeps the time per line of every repetition, in order, per benchmark.
class PairReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration && !r.error_occurred)
        m_times[r.run_name.function_name].push_back(r.GetAdjustedRealTime());
  }
  int summarize() const {
    auto a = m_times.find("BM_CollectFileWriter");
    auto b = m_times.find("BM_PlainFwrite");
    if (a == m_times.end() || b == m_times.end()) return 1;
    std::vector<double> ratios;
    for (size_t i = 0; i < a->second.size() && i < b->second.size(); ++i)
      ratios.push_back(a->second[i] / b->second[i]);
    if (ratios.empty()) return 1;
    std::sort(ratios.begin(), ratios.end());
    double median = ratios.size() % 2 ? ratios[ratios.size() / 2]
                                      : (ratios[ratios.size() / 2 - 1] + ratios[ratios.size() / 2]) / 2;
    std::vector<double> wa = a->second, wb = b->second;
    std::sort(wa.begin(), wa.end());
    std::sort(wb.begin(), wb.end());
    std::printf("\nper line: writer %.1f ns, plain fwrite %.1f ns (medians of %zu runs of %lld "
                "lines)\n",
                wa[wa.size() / 2], wb[wb.size() / 2], wa.size(),
                static_cast<long long>(kLinesPerRun));
    std::printf("writer / fwrite, pair by pair: median %.2fx, range %.2fx - %.2fx over %zu pairs "
                "(goal: at most 1.20x: %s)\n",
                median, ratios.front(), ratios.back(), ratios.size(),
                median <= 1.2 ? "met" : "NOT met");
    return 0;
  }

 private:
  std::map<std::string, std::vector<double>> m_times;
};

}  // namespace

int main(int argc, char** argv) {
  // Pairs in one run: the repetitions of the two alternate (in random order).
  std::vector<char*> args(argv, argv + argc);
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  bool given = false;
  for (int i = 1; i < argc; ++i)
    given |= std::strncmp(argv[i], "--benchmark_enable_random_interleaving", 38) == 0;
  if (!given) args.insert(args.begin() + 1, interleave);
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 2;
  PairReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return reporter.summarize();
}
