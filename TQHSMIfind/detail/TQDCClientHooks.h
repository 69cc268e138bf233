#pragma once

// Seams of the DC converter for tests and the fuzz target. Not installed and
// not exported from the shared library.

#include <ctime>

namespace tqhsm {
namespace dc {

// The clock that age terms read; null restores time(). Returns the previous one.
using Clock = time_t (*)();
Clock SetClock(Clock clock);

// Where conversions write their debug log; null restores "/tmp/log". The text
// must outlive its use. Returns the previous path.
const char* SetDebugLogPath(const char* path);

// Clears the token stack, the user and group lists, the negation flags and the
// two percentages, as every conversion does when it starts.
void ResetConversionState();

}  // namespace dc
}  // namespace tqhsm
