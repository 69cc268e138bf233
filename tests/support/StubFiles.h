#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "HSMLowLevel.h"

namespace tqhsm {
namespace test {

// A subclient stub (kind 2) of AF 2:1:4711 with GUIDs and app id 5.
ReparseData SampleStub();
// The stub data (binary record) of a record; empty when it cannot be encoded.
std::vector<char> StubBytes(const ReparseData& record);
// Writes size bytes of a repeating pattern to path (created or replaced).
void WritePattern(const std::string& path, size_t size);
// Sets (or, with remove, deletes) the extended attribute "user.OSTUB".
bool SetStubXattr(const std::string& path, const std::vector<char>& value);
bool RemoveStubXattr(const std::string& path);
// The value of "user.OSTUB"; false when absent.
bool GetStubXattr(const std::string& path, std::vector<char>& value);
struct stat StatOf(const std::string& path);
// Sets access and modification time (seconds).
void SetTimes(const std::string& path, time_t atime, time_t mtime);
// Whether this machine's file system under dir releases blocks with punch-hole.
bool PunchHoleWorks(const std::string& dir);

}  // namespace test
}  // namespace tqhsm
