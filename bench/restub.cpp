// bench-restub DIR MOUNT_POINT JOB_RESULTS APP_ID: the re-stubbing pass, timed
// on its own. Drives the helper as tqhsm-scan does (Initialize with the
// configuration of $TQHSM_CONFIG; resetVolume of DIR; IsDMCandidate for every
// regular file of DIR's real path, in the scan's own walk; the pass;
// DeInitialize) and times only ProcessFilesForReStubbing with a monotonic
// clock. Meant for a tree of recalled files with current cached stubs
// (bench-stubs recall), where every candidate goes through the pass.
//
// Prints "candidates C restubbed R pass_seconds S us_per_file U", R counted
// afterwards as the files that carry stub data, U = S / R. Exit 1 when
// Initialize or resetVolume fail or the pass reports a fall-back.
#include <sys/xattr.h>
#include <limits.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <utility>

#include "TQHSMHelper.h"
#include "walk/TreeWalk.h"

namespace {

using tqhsm::walk::Action;
using tqhsm::walk::Entry;

class Scan : public tqhsm::walk::Visitor {
 public:
  Scan(TQHSMHelper* h, std::string volume) : m_pHelper(h), m_sVolume(std::move(volume)) {}
  Action directory(Entry&) override { return Action::kContinue; }
  Action file(Entry& e) override {
    if (!m_pHelper) {
      char value[16];
      if (lgetxattr(e.m_pPath, "user.OSTUB", value, 0) >= 0) ++m_ulStubs;
      return Action::kContinue;
    }
    if (m_pHelper->IsDMCandidate(e.m_pPath, e.m_pStat, m_sVolume, true, false, false) == 1)
      ++m_ulCandidates;
    return Action::kContinue;
  }
  Action other(Entry&) override { return Action::kContinue; }
  Action problem(const tqhsm::walk::WalkProblem& p) override {
    std::fprintf(stderr, "%s: %s\n", p.m_pPath, p.m_pText);
    return Action::kContinue;
  }
  unsigned long m_ulCandidates = 0;
  unsigned long m_ulStubs = 0;

 private:
  TQHSMHelper* m_pHelper;
  std::string m_sVolume;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: bench-restub DIR MOUNT_POINT JOB_RESULTS APP_ID\n");
    return 2;
  }
  char root[PATH_MAX];
  if (!realpath(argv[1], root)) {
    std::perror(argv[1]);
    return 1;
  }
  int appId = std::atoi(argv[4]);
  TQHSMHelperInitArgs args;
  args.m_sJobResultsDir = argv[3];
  args.m_sCollectFileName = "StubCollect";
  args.m_nAppId = appId;
  unsigned long candidates = 0;
  double seconds = 0;
  bool passed = false;
  {
    TQHSMHelper helper(args);
    if (helper.Initialize(0, appId, 2) <= 0) {
      std::fprintf(stderr, "bench-restub: Initialize failed or the rules are off (see the log)\n");
      return 1;
    }
    std::string error;
    if (helper.resetVolume(root, error, true) < 0) {
      std::fprintf(stderr, "bench-restub: resetVolume: %s\n", error.c_str());
      return 1;
    }
    Scan scan(&helper, argv[2]);
    tqhsm::walk::Walk(root, scan);
    candidates = scan.m_ulCandidates;
    auto start = std::chrono::steady_clock::now();
    passed = helper.ProcessFilesForReStubbing(nullptr);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    helper.DeInitialize(0);
  }
  Scan count(nullptr, "");
  tqhsm::walk::Walk(root, count);
  unsigned long restubbed = count.m_ulStubs;
  std::printf("candidates %lu restubbed %lu pass_seconds %.6f us_per_file %.1f\n", candidates,
              restubbed, seconds, restubbed ? seconds * 1e6 / static_cast<double>(restubbed) : 0.0);
  if (!passed) {
    std::fprintf(stderr, "bench-restub: the pass fell back (see the log)\n");
    return 1;
  }
  return 0;
}
