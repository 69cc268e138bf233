#include "TestUser.h"

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace tqhsm {
namespace test {

const char* const TestUser::kName = "tqhsm-test";

namespace {

bool lookup(uid_t& uid, gid_t& gid) {
  struct passwd* pw = getpwnam(TestUser::kName);
  if (!pw) return false;
  uid = pw->pw_uid;
  gid = pw->pw_gid;
  return true;
}

// In a child: become the test user for good. Exits the child on failure.
void dropToTestUser() {
  uid_t uid;
  gid_t gid;
  if (!lookup(uid, gid)) _exit(125);
  if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 ||
      setresuid(uid, uid, uid) != 0)
    _exit(125);
  if (geteuid() == 0) _exit(125);
}

}  // namespace

bool TestUser::Ensure(std::string* why) {
  if (geteuid() != 0) {
    if (why) *why = "the tests do not run as root";
    return false;
  }
  uid_t uid;
  gid_t gid;
  if (lookup(uid, gid)) return true;
  std::string cmd = std::string("useradd --system --no-create-home --shell /usr/sbin/nologin ") +
                    kName + " >/dev/null 2>&1";
  // Two test processes may race to create it; the loser finds it made.
  if (std::system(cmd.c_str()) != 0 && !lookup(uid, gid)) {
    if (why) *why = std::string("useradd ") + kName + " failed";
    return false;
  }
  if (!lookup(uid, gid)) {
    if (why) *why = std::string("no account ") + kName + " after useradd";
    return false;
  }
  return true;
}

uid_t TestUser::Uid() {
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid;
  lookup(uid, gid);
  return uid;
}

gid_t TestUser::Gid() {
  uid_t uid;
  gid_t gid = static_cast<gid_t>(-1);
  lookup(uid, gid);
  return gid;
}

int TestUser::Run(const std::function<int()>& fn) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    dropToTestUser();
    _exit(fn() & 0xff);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t TestUser::Start(const std::function<void()>& fn) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    dropToTestUser();
    fn();
    _exit(0);
  }
  return pid;
}

void TestUser::Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

bool TestUser::Chown(const std::string& path) {
  std::string cmd = std::string("chown -R ") + kName + ": '" + path + "'";
  return std::system(cmd.c_str()) == 0;
}

}  // namespace test
}  // namespace tqhsm
