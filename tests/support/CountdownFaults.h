#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "FileUtf.h"
#include "HSMStore.h"

namespace tqhsm {
namespace test {

// The countdown injector of the I/O-error loops (after SQLite's): one counter
// over every call of the platform seam through which the library changes what
// it keeps or what it was given, in either backend (FileSystem: write,
// pwrite, fsync, fallocate, ftruncate, rename, unlink, close; HSMStore:
// pwrite, fsync, syncfs, fallocate, unlinkat, fsetxattr, fremovexattr, close). Armed
// at k, the k-th such call fails with the chosen errno without reaching the
// system; with eFromThenOn every later one fails too (a disk that stays full,
// or dead). A close counts only for a descriptor opened for writing: closing
// a descriptor through which nothing was written cannot lose anything, and a
// failed close still releases the descriptor, as close(2) does.
//
// A test runs the same work for k = 1, 2, ... until a run ends with no fault
// fired (calls() < k): then every such call of that work has failed once.
// Installs itself into both slots for its lifetime.
class CountdownFaults {
 public:
  enum Mode { eOnce, eFromThenOn };

  // One fault that fired: the call, the file (its path, or what the kernel
  // names its descriptor), the errno given, and its number in the countdown.
  struct Fired {
    std::string op;
    std::string path;
    int err;
    long call;
  };

  CountdownFaults();
  ~CountdownFaults();
  CountdownFaults(const CountdownFaults&) = delete;
  CountdownFaults& operator=(const CountdownFaults&) = delete;

  // Starts a fresh count; k 0 counts without failing anything.
  void arm(long k, int err, Mode mode);
  // Calls counted since arm, and the faults fired.
  long calls() const { return m_nCalls; }
  const std::vector<Fired>& fired() const { return m_fired; }
  // Every counted call as "op path", in order (for a failure's message).
  const std::vector<std::string>& trace() const { return m_trace; }

  // Counts one call; true (errno set) when it is to fail. For the backends.
  bool fail(const char* op, const std::string& path);
  bool failFd(const char* op, int fd);
  // Whether closing fd is a counted call (the descriptor was opened for
  // writing).
  static bool writable(int fd);
  static std::string pathOfFd(int fd);

 private:
  class Files;
  class Store;

  long m_nAt = 0;
  int m_nErr = 0;
  Mode m_mode = eOnce;
  long m_nCalls = 0;
  std::vector<Fired> m_fired;
  std::vector<std::string> m_trace;
  std::unique_ptr<Files> m_pFiles;
  std::unique_ptr<Store> m_pStore;
  FileSystem* m_pPrevFiles = nullptr;
  HSMStore* m_pPrevStore = nullptr;
};

}  // namespace test
}  // namespace tqhsm
