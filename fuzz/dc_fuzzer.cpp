// Fuzzes convert_dc_to_sql: any bytes as a rule, into a roomy buffer and into a
// small one, and checks what must hold whatever the rule:
//  - the query always ends within its buffer (the sanitizer watches the rest);
//  - converting the same rule again gives the same answer;
//  - a conversion that reports success in the small buffer produced the whole
//    query, the same as in the roomy one.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TQDCClient.h"
#include "detail/TQDCClientHooks.h"

namespace {

time_t FixedClock() { return 1700000000; }

struct Outcome {
  int result;
  std::string query;
  unsigned int high;
  unsigned int low;
  bool operator==(const Outcome& o) const {
    return result == o.result && query == o.query && high == o.high && low == o.low;
  }
};

Outcome Convert(const char* rule, int size) {
  // Exactly `size` bytes, so that a write or read one past the end is caught.
  std::vector<char> query(static_cast<size_t>(size));
  query[0] = '\0';
  Outcome out;
  out.high = out.low = 0;
  out.result = convert_dc_to_sql(rule, query.data(), size, &out.high, &out.low);
  const void* nul = memchr(query.data(), '\0', query.size());
  if (!nul) abort();
  if (out.result != 0 && out.result != 1) abort();
  out.query.assign(query.data());
  return out;
}

std::string g_logDir;
std::string g_logPath;

void RemoveLog() {
  unlink(g_logPath.c_str());
  rmdir(g_logDir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tqhsm::dc::SetClock(&FixedClock);
  // The log lines are formatted and written to a scratch file that every
  // conversion empties again (a device such as /dev/null is refused as a log,
  // which would leave the trace lines unformatted).
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tqhsm-dc-fuzz-XXXXXX";
  if (!mkdtemp(&tmpl[0])) abort();
  g_logDir = tmpl;
  g_logPath = g_logDir + "/log";
  tqhsm::dc::SetDebugLogPath(g_logPath.c_str());
  atexit(RemoveLog);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The rule in a block of its exact length plus the NUL; an embedded NUL just
  // ends the rule early, as it would for any caller.
  std::vector<char> rule(data, data + size);
  rule.push_back('\0');

  const Outcome roomy = Convert(rule.data(), 1 << 18);
  const Outcome again = Convert(rule.data(), 1 << 18);
  if (!(roomy == again)) abort();

  const int small = 1 + static_cast<int>((size * 7) % 300);
  const Outcome tight = Convert(rule.data(), small);
  if (tight.query.size() >= static_cast<size_t>(small)) abort();
  if (tight.high != roomy.high || tight.low != roomy.low) abort();
  if (tight.result == 1 && roomy.result == 1 && tight.query != roomy.query) abort();
  if (roomy.result == 1 && roomy.query.size() < static_cast<size_t>(small) && !(tight == roomy))
    abort();
  return 0;
}
