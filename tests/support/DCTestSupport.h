#pragma once

// Shared set-up for the DC converter suites: a fixed clock, a debug log in a
// scratch directory, and clean converter globals around every test.

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "TQDCClient.h"
#include "TempDir.h"
#include "detail/TQDCClientHooks.h"

namespace tqhsm {
namespace test {

// 2023-11-14 22:13:20 UTC.
constexpr time_t kDCNow = 1700000000;
inline time_t FixedDCClock() { return kDCNow; }

inline void ClearDCGlobals() { dc::ResetConversionState(); }

// A copy of text in a heap block of exactly its size, so that the sanitizer
// notices any read past its terminating NUL.
inline std::unique_ptr<char[]> ExactCopy(const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  memcpy(copy.get(), text.c_str(), text.size() + 1);
  return copy;
}

struct DCResult {
  int result;
  std::string query;
  unsigned int high;
  unsigned int low;
};

class DCTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_previousClock = dc::SetClock(&FixedDCClock);
    m_sLogPath = m_dir.file("log");
    m_previousLog = dc::SetDebugLogPath(m_sLogPath.c_str());
    ClearDCGlobals();
  }
  void TearDown() override {
    dc::SetClock(m_previousClock);
    dc::SetDebugLogPath(m_previousLog);
    ClearDCGlobals();
  }

  // convert_dc_to_sql into a heap buffer of exactly `size` bytes that holds
  // `initial` beforehand (so an untouched query shows).
  DCResult Convert(const std::string& rule, int size = 8192,
                   const std::string& initial = "UNTOUCHED") {
    std::unique_ptr<char[]> buffer(new char[size]);
    snprintf(buffer.get(), size, "%s", initial.c_str());
    DCResult r;
    r.high = 12345;
    r.low = 12345;
    auto text = ExactCopy(rule);
    r.result = convert_dc_to_sql(text.get(), buffer.get(), size, &r.high, &r.low);
    r.query = std::string(buffer.get(), strnlen(buffer.get(), size));
    return r;
  }

  // Puts the tokens of text (which needs its ';') on a clean stack.
  static void Tokenize(const std::string& text) {
    ClearDCGlobals();
    auto copy = ExactCopy(text);
    read_all_tokens(copy.get(), &stackCount);
  }

  std::string Log() const { return ReadFile(m_sLogPath); }

  TempDir m_dir;
  std::string m_sLogPath;

 private:
  dc::Clock m_previousClock = nullptr;
  const char* m_previousLog = nullptr;
};

}  // namespace test
}  // namespace tqhsm
