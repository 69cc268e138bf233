#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace tqhsm {
namespace test {

// The build directory whose tools a test runs: TQHSM_TEST_BINARY_DIR, else
// the one the test program was built in (<build>/tests/<program>).
std::string ToolDir();

// A tool started as a child process: standard output and error go to files,
// env is added to the environment. Stop it with Kill or wait for it with
// Wait; the destructor kills and reaps a child still running.
class ToolProcess {
 public:
  ToolProcess(const std::vector<std::string>& argv, const std::string& out,
              const std::string& err, const std::map<std::string, std::string>& env = {});
  ~ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  pid_t pid() const { return m_pid; }
  // Waits at most seconds for the exit. The exit status; -1 when it did not
  // exit by itself in time (it is then killed) or died of a signal.
  int Wait(int seconds);
  // SIGKILL and reap. Whether it was still running when killed.
  bool Kill();

 private:
  pid_t m_pid = -1;
  bool m_bReaped = false;
  int m_nStatus = 0;
};

// Runs a tool to its end (killed after seconds); its exit status or -1.
int RunTool(const std::vector<std::string>& argv, const std::string& out, const std::string& err,
            const std::map<std::string, std::string>& env = {}, int seconds = 120);

}  // namespace test
}  // namespace tqhsm
