#pragma once

#include <cstdint>
#include <string>

#include "TempDir.h"

namespace tqhsm {
namespace test {

// A small real file system of known size, mounted for the life of the object
// in a fresh directory: a tmpfs, or an ext4 image on a loop device. Mounting
// needs root; ok() is false (with the reason in why()) where it cannot be done,
// and tests then skip.
class ScratchMount {
 public:
  enum Kind { eTmpfs, eExt4 };
  ScratchMount(Kind kind, uint64_t bytes);
  ~ScratchMount();
  ScratchMount(const ScratchMount&) = delete;
  ScratchMount& operator=(const ScratchMount&) = delete;

  bool ok() const { return m_bMounted; }
  const std::string& why() const { return m_sWhy; }
  const std::string& path() const { return m_sMount; }
  const char* name() const { return m_kind == eTmpfs ? "tmpfs" : "ext4"; }

  // Bytes an unprivileged writer could still allocate.
  uint64_t available() const;
  // Fills the file system with files under "filler/" until at most `bytes`
  // are available (a block or two less where a new file also cost metadata).
  bool fillTo(uint64_t bytes);

 private:
  Kind m_kind;
  TempDir m_dir;
  std::string m_sMount;
  std::string m_sWhy;
  bool m_bMounted = false;
  int m_nFillers = 0;
};

}  // namespace test
}  // namespace tqhsm
