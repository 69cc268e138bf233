#include "SafePath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "HSMStore.h"

namespace tqhsm {

namespace {

// Set once a kernel has answered ENOSYS: the walk is used from then on.
std::atomic<bool> g_noOpenat2{false};

std::string errText(const std::string& what, int err) { return what + ": " + strerror(err); }

// The component walk for kernels without openat2: every directory on the way
// is opened with O_PATH | O_NOFOLLOW and must be a directory, not a link.
int walkOpen(HSMStore& store, const char* path, int flags) {
  std::vector<std::string> parts;
  for (const char* p = path; *p;) {
    const char* slash = std::strchr(p, '/');
    size_t n = slash ? static_cast<size_t>(slash - p) : std::strlen(p);
    if (n > 0) parts.emplace_back(p, n);
    p += n;
    if (*p == '/') ++p;
  }
  int cur = store.open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY, 0);
  if (cur < 0) return -1;
  if (parts.empty()) {
    // "/" or ".": the directory itself, opened as asked.
    int fd = store.openat(cur, ".", flags, 0);
    int err = errno;
    store.close(cur);
    errno = err;
    return fd;
  }
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    int next = store.openat(cur, parts[i].c_str(), O_PATH | O_NOFOLLOW, 0);
    int err = errno;
    store.close(cur);
    if (next < 0) {
      errno = err;
      return -1;
    }
    struct stat st;
    if (store.fstat(next, &st) != 0) {
      err = errno;
      store.close(next);
      errno = err;
      return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
      store.close(next);
      errno = S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR;
      return -1;
    }
    cur = next;
  }
  int fd = store.openat(cur, parts.back().c_str(), flags | O_NOFOLLOW, 0);
  int err = errno;
  if (fd < 0 && err == ENOTDIR && (flags & O_DIRECTORY)) {
    // A link asked for as a directory: refused as a link, as openat2 does.
    struct stat st;
    if (store.fstatat(cur, parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode))
      err = ELOOP;
  }
  store.close(cur);
  if (fd >= 0 && (flags & O_PATH)) {
    // O_PATH | O_NOFOLLOW opens a link itself rather than refusing it.
    struct stat st;
    bool ok = store.fstat(fd, &st) == 0;
    if (!ok || S_ISLNK(st.st_mode)) {
      err = ok ? ELOOP : errno;
      store.close(fd);
      errno = err;
      return -1;
    }
  }
  errno = err;
  return fd;
}

int openNoFollow(HSMStore& store, const char* path, int flags) {
  if (!path || !*path) {
    errno = ENOENT;
    return -1;
  }
  if (!g_noOpenat2.load(std::memory_order_relaxed)) {
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    // No O_NOFOLLOW here: with O_PATH it would open a link in the last place
    // instead of refusing it; RESOLVE_NO_SYMLINKS refuses every component.
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    int fd = store.openat2(AT_FDCWD, path, &how, sizeof how);
    if (fd >= 0) return fd;
    // Some sandboxes filter openat2 with EPERM; an EPERM that O_NOATIME
    // earned is the caller's to handle.
    bool filtered = errno == EPERM && !(flags & O_NOATIME);
    if (errno != ENOSYS && !filtered) return fd;
    // Remembered for the real kernel only, not for a test's stand-in.
    if (errno == ENOSYS && &store == &HSMStore::Default())
      g_noOpenat2.store(true, std::memory_order_relaxed);
  }
  return walkOpen(store, path, flags);
}

// Opens a scanned file for an act, with O_NOATIME where the kernel allows it.
int openFile(HSMStore& store, const char* path, int flags) {
  int fd = openNoFollow(store, path, flags | O_NONBLOCK | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = openNoFollow(store, path, flags | O_NONBLOCK);
  return fd;
}

// Deletes name of dirfd when it names a regular file with dev/ino of want;
// with act false only the checks are made (the answer a delete would give,
// short of the delete's own failure).
int unlinkChecked(HSMStore& store, int dirfd, const std::string& dir, const std::string& name,
                  const struct stat* want, std::string& why, bool act = true) {
  struct stat now;
  if (store.fstatat(dirfd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
    int err = errno;
    why = errText("Cannot look up " + name + " in " + dir, err);
    errno = err;
    return err == ENOENT ? -2 : -1;
  }
  if (!S_ISREG(now.st_mode)) {
    why = dir + "/" + name + " is not a regular file any more";
    return -2;
  }
  if (want && !IsSameFile(now, want->st_dev, want->st_ino)) {
    why = dir + "/" + name + " names another file now (inode " + std::to_string(now.st_ino) +
          ", decided on inode " + std::to_string(want->st_ino) + ")";
    return -2;
  }
  if (!act) return 0;
  if (store.unlinkat(dirfd, name.c_str(), 0) != 0) {
    why = errText("Cannot delete " + dir + "/" + name, errno);
    return -1;
  }
  return 0;
}

}  // namespace

int OpenNoFollow(const char* path, int flags) {
  return openNoFollow(HSMStore::Current(), path, flags);
}

int OpenNoFollowByWalk(const char* path, int flags) {
  if (!path || !*path) {
    errno = ENOENT;
    return -1;
  }
  return walkOpen(HSMStore::Current(), path, flags);
}

bool SplitParent(const std::string& path, std::string& parent, std::string& name) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (p.empty() || p == "/") return false;
  size_t slash = p.rfind('/');
  if (slash == std::string::npos) {
    parent = ".";
    name = p;
  } else {
    name = p.substr(slash + 1);
    parent = p.substr(0, slash);
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    if (parent.empty()) parent = "/";
  }
  return !name.empty() && name != "." && name != "..";
}

bool IsSameFile(const struct stat& st, dev_t dev, ino_t ino) {
  return ino != 0 && st.st_ino == ino && (dev == 0 || st.st_dev == dev);
}

SafeFile::~SafeFile() { close(); }

int SafeFile::close() {
  HSMStore& store = HSMStore::Current();
  int rc = 0;
  if (m_nFd >= 0) rc = store.close(m_nFd);
  int err = errno;
  if (m_nDirFd >= 0) store.close(m_nDirFd);
  m_nFd = m_nDirFd = -1;
  errno = err;
  return rc;
}

bool SafeFile::open(const char* path, int flags, bool withParent, std::string& why) {
  close();
  HSMStore& store = HSMStore::Current();
  std::string p = path ? path : "";
  std::string& parent = m_sDir;
  if (!SplitParent(p, parent, m_sName)) {
    why = "Not a file path: '" + p + "'";
    errno = EINVAL;
    return false;
  }
  if (withParent) {
    m_nDirFd = openNoFollow(store, parent.c_str(), O_PATH | O_DIRECTORY);
    if (m_nDirFd < 0) {
      int err = errno;
      why = err == ELOOP ? "A symbolic link is in the path of " + p
                         : errText("Cannot open the directory of " + p, err);
      errno = err;
      return false;
    }
    // The file itself from the parent's descriptor: the same directory that
    // the delete will later go through.
    m_nFd = store.openat(m_nDirFd, m_sName.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOATIME, 0);
    if (m_nFd < 0 && errno == EPERM)
      m_nFd = store.openat(m_nDirFd, m_sName.c_str(), flags | O_NOFOLLOW | O_NONBLOCK, 0);
  } else {
    m_nFd = openFile(store, p.c_str(), flags);
  }
  if (m_nFd < 0) {
    int err = errno;
    why = err == ELOOP ? "A symbolic link is in the path of " + p
                       : errText("Cannot open " + p, err);
    close();
    errno = err;
    return false;
  }
  if (store.fstat(m_nFd, &m_st) != 0) {
    int err = errno;
    why = errText("Cannot stat " + p, err);
    close();
    errno = err;
    return false;
  }
  if (!S_ISREG(m_st.st_mode)) {
    why = p + " is not a regular file";
    close();
    errno = EINVAL;
    return false;
  }
  return true;
}

int SafeFile::unlink(std::string& why) {
  if (m_nFd < 0 || m_nDirFd < 0) {
    why = "Not opened for a delete";
    return -1;
  }
  return unlinkChecked(HSMStore::Current(), m_nDirFd, m_sDir, m_sName, &m_st, why);
}

int SafeFile::checkUnlink(std::string& why) {
  if (m_nFd < 0 || m_nDirFd < 0) {
    why = "Not opened for a delete";
    return -1;
  }
  return unlinkChecked(HSMStore::Current(), m_nDirFd, m_sDir, m_sName, &m_st, why, false);
}

int UnlinkIfSame(const std::string& dir, const std::string& name, const struct stat* expected,
                 std::string& why) {
  HSMStore& store = HSMStore::Current();
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    why = "Not a name in " + dir + ": '" + name + "'";
    return -1;
  }
  int dfd = openNoFollow(store, dir.c_str(), O_PATH | O_DIRECTORY);
  if (dfd < 0) {
    int err = errno;
    why = err == ELOOP ? "A symbolic link is in the path of " + dir
                       : errText("Cannot open the directory " + dir, err);
    return -1;
  }
  int rc = unlinkChecked(store, dfd, dir, name, expected, why);
  store.close(dfd);
  return rc;
}

int UnlinkAtIfSame(int dirfd, const std::string& dir, const std::string& name,
                   const struct stat* expected, std::string& why) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    why = "Not a name in " + dir + ": '" + name + "'";
    return -1;
  }
  return unlinkChecked(HSMStore::Current(), dirfd, dir, name, expected, why);
}

}  // namespace tqhsm
