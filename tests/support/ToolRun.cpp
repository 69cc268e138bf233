#include "ToolRun.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace tqhsm {
namespace test {

std::string ToolDir() {
  const char* dir = std::getenv("TQHSM_TEST_BINARY_DIR");
  if (dir && *dir) return dir;
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return ".";
  std::string path(self, static_cast<size_t>(n));
  for (int up = 0; up < 2; ++up) path.erase(path.rfind('/'));
  return path;
}

ToolProcess::ToolProcess(const std::vector<std::string>& argv, const std::string& out,
                         const std::string& err, const std::map<std::string, std::string>& env) {
  m_pid = fork();
  if (m_pid != 0) return;
  int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (o < 0 || e < 0) _exit(126);
  dup2(o, 1);
  dup2(e, 2);
  for (const auto& v : env) setenv(v.first.c_str(), v.second.c_str(), 1);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

ToolProcess::~ToolProcess() {
  if (m_pid > 0 && !m_bReaped) Kill();
}

int ToolProcess::Wait(int seconds) {
  if (m_pid <= 0) return -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!m_bReaped) {
    pid_t r = waitpid(m_pid, &m_nStatus, WNOHANG);
    if (r == m_pid) {
      m_bReaped = true;
      break;
    }
    if (r < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() > deadline) {
      Kill();
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return WIFEXITED(m_nStatus) ? WEXITSTATUS(m_nStatus) : -1;
}

bool ToolProcess::Kill() {
  if (m_pid <= 0 || m_bReaped) return false;
  // Still running when nobody has reaped it yet and it has not exited.
  bool running = waitpid(m_pid, &m_nStatus, WNOHANG) == 0;
  if (!running) {
    m_bReaped = true;
    return false;
  }
  kill(m_pid, SIGKILL);
  while (waitpid(m_pid, &m_nStatus, 0) < 0 && errno == EINTR) {
  }
  m_bReaped = true;
  return true;
}

int RunTool(const std::vector<std::string>& argv, const std::string& out, const std::string& err,
            const std::map<std::string, std::string>& env, int seconds) {
  ToolProcess p(argv, out, err, env);
  return p.Wait(seconds);
}

}  // namespace test
}  // namespace tqhsm
