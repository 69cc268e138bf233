#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

namespace tqhsm {
namespace test {

// What a file of a scanned tree is, as far as a scan may change it: its
// identity, size, modification time, allocated blocks, a checksum of its
// content and its "user.OSTUB" attribute.
struct FileState {
  bool exists = false;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime {};
  blkcnt_t blocks = 0;
  uint32_t crc = 0;
  bool hasStub = false;
  std::string stub;  // the attribute's bytes

  // Same content, size, time, attribute and inode (blocks are not compared:
  // a file system may allocate differently for the same content).
  bool sameAs(const FileState& o) const;
  std::string describe() const;
};

FileState StateOfFile(const std::string& path);
// Every regular file below root, by its path relative to root.
std::map<std::string, FileState> SnapshotTree(const std::string& root);

}  // namespace test
}  // namespace tqhsm
