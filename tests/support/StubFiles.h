#pragma once

#include <sys/stat.h>

#include <ctime>
#include <string>
#include <vector>

#include "HSMLowLevel.h"

namespace tqhsm {
namespace test {

// Every test program runs under one fixed stub key, installed before main; no
// test reads or makes a key file unless it installs a StubKeyFile itself.
const std::string& TestStubKey();

// A subclient stub (kind 2) of AF 2:1:4711 with GUIDs and app id 5.
ReparseData SampleStub();
// The stub data (binary record) of a record, signed under the current stub
// key; empty when it cannot be encoded. The record names no file (inode 0),
// so on a file of its own it is an authentic but stale attribute.
std::vector<char> StubBytes(const ReparseData& record);
// The same record signed under another key.
std::vector<char> StubBytesUnderKey(const ReparseData& record, const std::string& key);
// The record in the layout of format version 1 (a CRC-32 where version 2 has
// its MAC), as an older library wrote it.
std::vector<char> StubBytesV1(const ReparseData& record);
// Turns path into a real stub of record through the low-level library's
// stubFile (time: the modification time to give it, -1 keeps it; head: a
// sparse-file stub). False with the reason in why.
bool MakeStub(const std::string& path, const ReparseData& record, time_t time = -1,
              bool head = false, std::string* why = nullptr);
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
