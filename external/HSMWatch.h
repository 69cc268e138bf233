#pragma once

#include <functional>
#include <string>
#include <vector>

#include "TQHSMExport.h"

// The persistent state of the HSM low-level library on this machine: the watch
// list and the list of migrated directory trees. Both live in small text files
// under the state directory (key StateDirectory of section [HSM], default
// /var/lib/tqhsm). A file is only ever replaced as a whole (temporary file,
// fsync, rename, fsync of the directory), so a crash in the middle of a write
// leaves either the old or the new list, never a torn one. Every change is a
// read-modify-write under an exclusive lock on the file "lock" in the same
// directory, so two scans that change the lists at once lose nothing.
//
// File layout: a header line, then one record per line. Fields are separated by
// one blank; a blank, tab, newline or backslash inside a field is written as an
// octal escape (\040, \011, \012, \134), as in /proc/self/mounts.
//   watched_dirs    header "tqhsm-watched-dirs 1",    records "<dir>"
//   migrated_trees  header "tqhsm-migrated-trees 1",  records "<client> <dir>"

namespace tqhsm {

extern const char* const kWatchListFile;
extern const char* const kMigratedTreesFile;

// The configured state directory, without trailing slashes.
TQHSM_API std::string HSMStateDirectory();

// A directory path as the lists keep it: absolute, without trailing slashes
// ("/" stays "/"). False (with the reason in error) for an empty or relative
// path.
bool NormalizeWatchPath(const char* path, std::string& normalized, std::string& error);

// One list file of the state directory. Records are vectors of fields.
class StateList {
 public:
  StateList(std::string directory, std::string fileName, std::string header, size_t fields);

  // Reads the records. A missing file is an empty list. False with the reason in
  // error when the file cannot be read or is not such a list (it is then left
  // alone, never overwritten).
  bool load(std::vector<std::vector<std::string>>& records, std::string& error) const;
  // Replaces the file atomically. createDirectory: make the state directory
  // (and its parents) when it is missing.
  bool store(const std::vector<std::vector<std::string>>& records, bool createDirectory,
             std::string& error) const;
  // One change as a read-modify-write under the lock: change edits the records
  // and answers whether it changed anything (an unchanged list is not written).
  // False with the reason in error when the lock, the read or the write fails.
  bool update(bool createDirectory,
              const std::function<bool(std::vector<std::vector<std::string>>&)>& change,
              std::string& error) const;

  // Holds the state directory's lock for the life of the object. A lock that
  // cannot be taken (read-only state directory, missing directory ...) is
  // reported by ok().
  class Lock {
   public:
    Lock(const std::string& directory, bool createDirectory);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    bool ok() const { return m_nFd >= 0; }
    const std::string& error() const { return m_sError; }

   private:
    int m_nFd;
    std::string m_sError;
  };

  const std::string& path() const { return m_sPath; }
  const std::string& directory() const { return m_sDirectory; }

 private:
  std::string m_sDirectory;
  std::string m_sPath;
  std::string m_sHeader;
  size_t m_nFields;
};

}  // namespace tqhsm
