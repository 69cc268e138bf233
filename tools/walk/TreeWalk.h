#pragma once

// The scan's walk of a directory tree, safe against a tree that its owners
// change while root walks it.
//
// Every directory is reached through the descriptor of the directory that
// holds it: its entries are read from its own descriptor, each entry is looked
// at with fstatat(dirfd, name, AT_SYMLINK_NOFOLLOW), and a subdirectory is
// opened with openat(dirfd, name, O_DIRECTORY | O_NOFOLLOW) and must then have
// the device and inode number its entry had. A directory that was swapped for
// a symbolic link, or for another directory, between the look and the open is
// never read: it is reported as changed and left out. No path is ever resolved
// again, so a link planted in the middle of the tree can never lead the walk
// out of it; symbolic links are reported, never followed.
//
// Entries come in name order (byte order, as strcmp compares), each
// directory's entries right after the directory itself, so an unchanged tree
// is walked the same way every time. At any moment the walk holds the names of
// one directory per level of the current path, nothing more.
//
// The path text of each entry is kept as well, for callers that hand it on;
// the walk itself never uses it to reach anything below the root.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tqhsm {
namespace walk {

enum class EntryKind {
  kDirectory,
  kFile,   // a regular file
  kOther,  // symbolic links, devices, sockets, FIFOs
};

// One entry as the walk hands it to its visitor. Valid during the call only.
struct Entry {
  EntryKind m_kind;
  const char* m_pPath;  // the whole path, NUL-terminated
  size_t m_nPathLen;
  const char* m_pName;  // the last component (the whole path for the root)
  struct stat* m_pStat;  // the entry itself, never what a link names
  int m_nLevel;          // 0 for the root, 1 for its entries, ...
  dev_t m_parentDev;     // device of the directory that holds it (the root: its own)
  long m_lParentNumber;  // the number the visitor gave that directory (the root: 0)
  long m_lNumber;        // directories: set by the visitor, seen by their entries
};

enum class Problem {
  kStat,     // the entry could not be looked at (gone, for instance)
  kOpen,     // a directory could not be opened (m_nErrno says why)
  kRead,     // a directory's entries could not be read
  kChanged,  // a directory was swapped for something else between its look and its open
  kMoved,    // a directory that the walk had to reopen is no longer where it was
};

struct WalkProblem {
  Problem m_problem;
  const char* m_pPath;
  int m_nErrno;         // 0 for kChanged and kMoved
  const char* m_pText;  // what to tell the administrator, without the path
};

enum class Action {
  kContinue,  // go on (a directory: enter it)
  kSkip,      // a directory: leave it and everything below it out
  kStop,      // end the walk now
};

class Visitor {
 public:
  virtual ~Visitor();
  // A directory, before its entries.
  virtual Action directory(Entry& entry) = 0;
  virtual Action file(Entry& entry) = 0;
  virtual Action other(Entry& entry) = 0;
  // A directory that is its own ancestor (a bind mount of a directory below
  // itself): never entered. Not an error.
  virtual Action cycle(Entry& entry);
  // Something that was left out; the walk goes on with the next entry.
  virtual Action problem(const WalkProblem& problem) = 0;
};

struct WalkOptions {
  // Directory descriptors kept open at most. A deeper path closes those of its
  // top levels and gets each back through ".." of its child when the walk
  // returns to it (checked by device and inode like any open), so a tree of
  // any depth costs this many descriptors.
  size_t m_nMaxOpenDirs = 128;
  // For tests: called after a directory's entry was looked at and the visitor
  // chose to enter it, right before it is opened.
  std::function<void(int parentFd, const char* name, const char* path)> m_beforeOpen;
};

// Walks root, an absolute path that should contain no symbolic link (the
// answer of realpath): it is opened without following any link in any of its
// components, so a component swapped for a link after realpath is refused
// rather than followed. A root that is not a directory is handed over as one
// entry. False when the visitor stopped the walk; true when it ran to its end
// (with or without problems).
bool Walk(const std::string& root, Visitor& visitor, const WalkOptions& options = WalkOptions());


}  // namespace walk
}  // namespace tqhsm
