#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace tqhsm {
namespace test {

// The second account of the tests: an ordinary user who owns part of a
// scanned tree and acts against a scan that root runs. Tests that need it call
// TQHSM_REQUIRE_TEST_USER() first, which skips them cleanly when the process
// is not root or the account cannot be made.
class TestUser {
 public:
  static const char* const kName;  // "tqhsm-test"

  // Creates the account when it is missing (useradd, no home, no login shell).
  // False with the reason in why when not root or the account cannot be had.
  static bool Ensure(std::string* why = nullptr);
  static uid_t Uid();
  static gid_t Gid();

  // Runs fn in a child process that has dropped to the test user for good
  // (supplementary groups cleared, gid then uid), and waits for it. fn's
  // return value is the child's exit status; -1 when the child could not be
  // started or died of a signal. The child never returns into the test.
  static int Run(const std::function<int()>& fn);

  // Starts fn as the test user in a child that keeps running; returns its pid
  // (or -1). Stop it with Stop(pid), which kills and reaps it.
  static pid_t Start(const std::function<void()>& fn);
  static void Stop(pid_t pid);

  // Hands path (and, recursively, all below it) to the test user.
  static bool Chown(const std::string& path);
};

}  // namespace test
}  // namespace tqhsm

#define TQHSM_REQUIRE_TEST_USER()                                              \
  do {                                                                        \
    std::string tqhsm_test_user_why;                                          \
    if (!::tqhsm::test::TestUser::Ensure(&tqhsm_test_user_why))               \
      GTEST_SKIP() << "no test user: " << tqhsm_test_user_why;                \
  } while (0)
