#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "TQHSMExport.h"

// Acting only on what was inspected. The users who own a scanned tree can
// rename, replace and plant entries while a root scan runs; a path that is
// resolved again for an act after a check may lead anywhere by then. So every
// act of the library on a file of a scanned tree (delete, punch, re-stub, set
// an attribute) goes through this module:
//
// - the path is resolved once, without following a symbolic link in any
//   component: openat2(2) with RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS, or,
//   where the kernel has no openat2 (ENOSYS), a component-by-component
//   O_NOFOLLOW walk from "/" (or the working directory for a relative path);
//   a link on the way is ELOOP, nothing is opened through it;
// - the file is checked through its descriptor (a regular file, the device and
//   inode decided on) by the caller, which then acts through that descriptor;
// - a delete is unlinkat(2) on the parent's descriptor after fstatat(2) on that
//   descriptor has shown that the name still names the file decided on.
//
// Every system call goes through the HSMStore seam, so tests can swap a
// directory for a link at the exact moment between a check and an act.
// Content paths must therefore be real paths (tqhsm-scan resolves them); a
// symbolic link above the scanned tree makes every act refuse.
namespace tqhsm {

// Opens path (relative paths from the working directory) without following a
// symbolic link anywhere; flags apply to the last component, O_NOFOLLOW and
// O_CLOEXEC are always added. The descriptor, or -1 with errno (ELOOP: a
// symbolic link is in the path).
TQHSM_API int OpenNoFollow(const char* path, int flags);
// The same by the component walk alone, which OpenNoFollow falls back to on
// kernels without openat2 (tests compare the two).
TQHSM_API int OpenNoFollowByWalk(const char* path, int flags);

// Splits a path into its parent directory and its last name: "/a/b" gives "/a"
// and "b", "/x" gives "/" and "x", "x" gives "." and "x"; trailing slashes are
// dropped. False for an empty path, "/", or a last name "." or "..".
TQHSM_API bool SplitParent(const std::string& path, std::string& parent, std::string& name);

// Whether a stat record is the file decided on: its inode equals ino, and its
// device equals dev unless dev is 0 (a view whose device numbers are not the
// host's). An inode of 0 means "not known" and matches nothing.
TQHSM_API bool IsSameFile(const struct stat& st, dev_t dev, ino_t ino);

// One file of a scanned tree opened for an act: the file (O_NOFOLLOW,
// O_NONBLOCK, O_CLOEXEC, O_NOATIME where allowed) and, when asked, its parent
// directory, both reached without following symbolic links, with the file's
// stat record taken through its descriptor. Closes what it opened.
class TQHSM_API SafeFile {
 public:
  SafeFile() = default;
  ~SafeFile();
  SafeFile(const SafeFile&) = delete;
  SafeFile& operator=(const SafeFile&) = delete;

  // flags: O_RDONLY or O_RDWR. False with the reason in why and errno set
  // (ELOOP for a symbolic link in the path, ENOENT ...); a file that is not a
  // regular file is refused too (errno EINVAL, why "not a regular file").
  bool open(const char* path, int flags, bool withParent, std::string& why);
  // Closes what is open; the result of closing the file (a late write error).
  int close();

  int fd() const { return m_nFd; }
  int dirFd() const { return m_nDirFd; }
  const std::string& name() const { return m_sName; }
  const struct stat& st() const { return m_st; }

  // Deletes the name the file was opened by (needs withParent), after
  // checking through the parent's descriptor that the name still names this
  // file. 0 deleted; -2 the name names another file now (nothing deleted);
  // -1 the check or the delete failed (why says which).
  int unlink(std::string& why);
  // The checks of unlink without the delete (a dry run): 0 the name still
  // names this file, -2 or -1 as unlink would answer.
  int checkUnlink(std::string& why);

 private:
  int m_nFd = -1;
  int m_nDirFd = -1;
  std::string m_sDir;   // the parent as given, for messages
  std::string m_sName;
  struct stat m_st {};
};

// Deletes dir/name when name, looked up through dir's descriptor (dir
// resolved without following links), is a regular file and, when expected is
// given, the file that expected describes (device and inode). Returns as
// SafeFile::unlink.
TQHSM_API int UnlinkIfSame(const std::string& dir, const std::string& name,
                           const struct stat* expected, std::string& why);
// The same through a descriptor of dir already held (opened with OpenNoFollow,
// O_PATH | O_DIRECTORY), for callers that delete many names of one directory;
// dir is for messages only.
TQHSM_API int UnlinkAtIfSame(int dirfd, const std::string& dir, const std::string& name,
                             const struct stat* expected, std::string& why);

}  // namespace tqhsm
