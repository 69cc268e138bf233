// bench-treewalk DIR: the scan's own walk (tools/walk/TreeWalk.h) with nothing
// else, for comparison with bench-walk's fts + lstat: every entry looked at
// once, in name order; prints the number of regular files and their bytes.
#include <cstdio>

#include "walk/TreeWalk.h"

namespace {

using tqhsm::walk::Action;
using tqhsm::walk::Entry;

class Count : public tqhsm::walk::Visitor {
 public:
  Action directory(Entry&) override { return Action::kContinue; }
  Action file(Entry& e) override {
    ++m_ullFiles;
    m_ullBytes += static_cast<unsigned long long>(e.m_pStat->st_size);
    return Action::kContinue;
  }
  Action other(Entry&) override { return Action::kContinue; }
  Action problem(const tqhsm::walk::WalkProblem& p) override {
    std::fprintf(stderr, "%s: %s\n", p.m_pPath, p.m_pText);
    return Action::kContinue;
  }
  unsigned long long m_ullFiles = 0;
  unsigned long long m_ullBytes = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench-treewalk DIR\n");
    return 2;
  }
  Count c;
  tqhsm::walk::Walk(argv[1], c);
  std::printf("%llu files, %llu bytes\n", c.m_ullFiles, c.m_ullBytes);
  return 0;
}
